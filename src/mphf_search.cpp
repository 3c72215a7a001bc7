// The occupancy map and the bucket seed search of the minimal-perfect-hash build.
//
// A seed byte names a rotation r (its top two bits) and a displacement d (its low six). A key
// with level hash h sits at base(h) + o, o = ((h >> 8r) + (d << shift)) mod P, wrapped at the
// level's end. The search picks, among the 255 non-zero bytes, the one that puts every key of the
// bucket on a free slot, no two on the same slot, at the least cost (the sum of LOG2[o + 95] over
// the keys, which favours slots near the start of each key's window), ties to the lower rotation,
// then the lower displacement. A rotation at which two keys share their displacement-0 slot is
// vetoed whole.
//
// Between the "wrap points" n_r = 64 - (a_r >> shift) of the bucket's keys no key's offset wraps,
// so every offset, and the cost, grows with d: the first usable displacement of each such segment
// is the segment's cheapest, and only those few candidates need a cost.
#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>

#include "mphf_build.hpp"

namespace quenlith::mphf {

using hash::mulhi;

// ---- occupancy map ----

Map Map::zeroed(std::uint64_t stride, std::uint32_t shift) {
  Map m;
  m.stride = stride;
  m.shift = shift;
  m.words = Pages<std::uint64_t>::allocate(stride << shift);
  std::fill(m.words.begin(), m.words.end(), 0);
  return m;
}

void Map::merge(Map& dst, const Map& src, std::int64_t offset) {
  check_invariant(dst.shift == src.shift, "merged maps share a shift");
  const std::uint64_t rows = std::uint64_t{1} << src.shift;
  for (std::uint64_t r = 0; r < rows; ++r) {
    std::uint64_t* d = dst.words.data() + r * dst.stride;
    const std::uint64_t* s = src.words.data() + r * src.stride;
    for (std::uint64_t j = 0; j < src.stride; ++j) {
      const std::int64_t at = offset + static_cast<std::int64_t>(j);
      if (at < 0) continue;
      if (static_cast<std::uint64_t>(at) >= dst.stride) break;
      d[at] |= s[j];
    }
  }
}

std::vector<std::uint64_t> Map::holes(const Map& map, std::uint64_t n) {
  std::vector<std::uint64_t> out;
  const std::uint64_t rows = std::uint64_t{1} << map.shift;
  std::uint64_t free_rows[64];
  check_invariant(rows <= 64, "a map has at most 64 rows");
  for (std::uint64_t x = 0; x < map.stride; ++x) {
    // Columns 64x to 64x + 63: a column holds a hole when any row has its bit clear.
    std::uint64_t any = 0;
    for (std::uint64_t r = 0; r < rows; ++r) {
      free_rows[r] = ~map.words[r * map.stride + x];
      any |= free_rows[r];
    }
    while (any != 0) {
      const unsigned bit = static_cast<unsigned>(std::countr_zero(any));
      any &= any - 1;
      const std::uint64_t column = 64 * x + bit;
      if ((column << map.shift) >= n) return out;
      for (std::uint64_t r = 0; r < rows; ++r) {
        if ((free_rows[r] >> bit) & 1u) {
          const std::uint64_t slot = (column << map.shift) | r;
          if (slot >= n) return out;
          out.push_back(slot);
        }
      }
    }
  }
  return out;
}

// ---- weights ----

const std::uint32_t* log2_table() {
  static const std::vector<std::uint32_t> table = [] {
    std::vector<std::uint32_t> t(4096, 0);
    for (unsigned i = 2; i < 4096; ++i)
      t[i] = static_cast<std::uint32_t>(std::llround(std::log2(static_cast<double>(i)) * 65536.0));
    return t;
  }();
  return table.data();
}

namespace {

// Bits lo .. hi - 1 of a word (empty when lo >= hi); lo, hi in 0 .. 64.
inline std::uint64_t range_bits(unsigned lo, unsigned hi) noexcept {
  if (lo >= hi) return 0;
  const std::uint64_t upto = hi >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
  return upto & ~((std::uint64_t{1} << lo) - 1);
}

// Occupancy of a key's 64 displacements at one rotation: bit d set when the slot of displacement
// d is taken. p is the key's displacement-0 position relative to the map, a its rotated offset,
// nr its wrap point; the window must lie inside the map's region.
inline std::uint64_t window_word(const Map& map, std::uint64_t p, std::uint64_t a,
                                 unsigned nr) noexcept {
  const std::uint32_t s = map.shift;
  const std::uint64_t row = p & ((std::uint64_t{1} << s) - 1);
  const std::uint64_t c0 = (p >> s) - (a >> s);
  const std::uint64_t i = row * map.stride + (c0 >> 6);
  const unsigned b = static_cast<unsigned>(c0 & 63);
  const std::uint64_t* w = map.words.data();
  std::uint64_t v = w[i] >> b;
  if (b != 0) v |= w[i + 1] << (64 - b);
  return std::rotl(v, static_cast<int>(nr));
}

// The position (relative to the map) of a key at displacement d, for a window inside the region.
inline std::uint64_t slot_at(std::uint64_t p, unsigned nr, unsigned d, std::uint32_t shift,
                             std::uint64_t part) noexcept {
  std::uint64_t q = p + (std::uint64_t{d} << shift);
  if (d >= nr) q -= part;
  return q;
}

}  // namespace

// ---- specialised search ----

template <unsigned N>
std::pair<bool, std::uint64_t> seed_bucket_lanes(const SearchContext& cx, const std::uint64_t* keys,
                                                 Map& map, SearchScratch& scratch) {
  static_assert(N >= 1 && N <= 16);
  const std::uint64_t P = cx.part;
  const std::uint64_t mask = P - 1;
  const std::uint32_t s = cx.shift;
  std::uint64_t rel[N];
  for (unsigned i = 0; i < N; ++i) {
    rel[i] = mulhi(keys[i], cx.slots) - cx.origin;
    if (rel[i] + P > cx.span) return {false, 0};
  }
  std::uint64_t best = ~std::uint64_t{0};
  std::uint64_t a[N], p[N];
  unsigned nr[N];
  for (unsigned r = 0; r < 4; ++r) {
    const std::uint32_t epoch = ++scratch.epoch;
    bool shared = false;
    std::uint64_t occ = r == 0 ? 1 : 0;
    std::uint64_t starts = 1;
    for (unsigned i = 0; i < N; ++i) {
      a[i] = (keys[i] >> (8 * r)) & mask;
      nr[i] = 64 - static_cast<unsigned>(a[i] >> s);
      p[i] = rel[i] + a[i];
      std::uint32_t& stamp = scratch.stamps[p[i] & mask];
      shared |= stamp == epoch;
      stamp = epoch;
      occ |= window_word(map, p[i], a[i], nr[i]);
      starts |= std::uint64_t{1} << (nr[i] & 63);
    }
    if (shared) {
      // Keys whose positions agree modulo P may meet: equal positions veto the rotation; a
      // difference of exactly P clashes where one key has wrapped and the other has not.
      for (unsigned j = 1; j < N && occ != ~std::uint64_t{0}; ++j) {
        for (unsigned k = 0; k < j; ++k) {
          if (p[j] == p[k]) {
            occ = ~std::uint64_t{0};
            break;
          }
          if (p[j] == p[k] + P) occ |= range_bits(nr[j], nr[k]);
          if (p[k] == p[j] + P) occ |= range_bits(nr[k], nr[j]);
        }
      }
    }
    std::uint64_t c = (((occ & starts) + occ) | starts) & ~occ;
    while (c != 0) {
      const unsigned d = static_cast<unsigned>(std::countr_zero(c));
      c &= c - 1;
      std::uint64_t cost = 0;
      for (unsigned i = 0; i < N; ++i) cost += cx.weights[(a[i] + (std::uint64_t{d} << s)) & mask];
      const std::uint64_t choice = (cost << 8) | (r << 6) | d;
      if (choice < best) best = choice;
    }
  }
  if (best == ~std::uint64_t{0}) return {true, 0};
  const unsigned r = static_cast<unsigned>((best >> 6) & 3);
  const unsigned d = static_cast<unsigned>(best & 63);
  for (unsigned i = 0; i < N; ++i) {
    const std::uint64_t ai = (keys[i] >> (8 * r)) & mask;
    const unsigned ni = 64 - static_cast<unsigned>(ai >> s);
    map.set(slot_at(rel[i] + ai, ni, d, s, P));
  }
  return {true, best};
}

std::pair<bool, std::uint64_t> seed_bucket_lanes_n(const SearchContext& cx,
                                                   std::span<const std::uint64_t> keys, Map& map,
                                                   SearchScratch& scratch) {
  const std::uint64_t* k = keys.data();
  switch (keys.size()) {
#define QUENLITH_LANES(n) \
  case n:                 \
    return seed_bucket_lanes<n>(cx, k, map, scratch);
    QUENLITH_LANES(1)
    QUENLITH_LANES(2)
    QUENLITH_LANES(3)
    QUENLITH_LANES(4)
    QUENLITH_LANES(5)
    QUENLITH_LANES(6)
    QUENLITH_LANES(7)
    QUENLITH_LANES(8)
    QUENLITH_LANES(9)
    QUENLITH_LANES(10)
    QUENLITH_LANES(11)
    QUENLITH_LANES(12)
    QUENLITH_LANES(13)
    QUENLITH_LANES(14)
    QUENLITH_LANES(15)
    QUENLITH_LANES(16)
#undef QUENLITH_LANES
    default:
      return {false, 0};
  }
}

// ---- general search ----

std::uint8_t seed_bucket(const Level& level, std::span<const std::uint64_t> keys, Map& map,
                         std::uint64_t origin) {
  const std::size_t n = keys.size();
  if (n > 64 || n == 0) return 0;
  // Only the geometry every builder uses is searched; older geometries are never built.
  check_invariant(level.mode == 2, "a built level has two rotation bits");
  const std::uint64_t S = level.slots;
  const std::uint64_t P = level.part;
  const std::uint64_t mask = P - 1;
  const std::uint32_t s = level.shift;
  const std::uint64_t span = S - origin;
  const std::uint32_t* weights = log2_table() + 95;

  std::uint64_t rel[64], a[64], pos[64], q[64];
  unsigned nr[64];
  bool reach[64];
  for (std::size_t i = 0; i < n; ++i) {
    rel[i] = mulhi(keys[i], S) - origin;
    reach[i] = rel[i] + P > span;
    check_invariant(!reach[i] || origin == 0,
                    "a window past the level's end is searched from slot 0");
  }
  // Slot (relative to the map) of key i at displacement d of the current rotation.
  auto slot = [&](std::size_t i, unsigned d) {
    std::uint64_t x = rel[i] + ((a[i] + (std::uint64_t{d} << s)) & mask);
    if (x >= span) x -= span;
    return x;
  };
  auto has_duplicate = [&](std::uint64_t* v) {
    if (n <= 16) {
      for (std::size_t j = 1; j < n; ++j)
        for (std::size_t k = 0; k < j; ++k)
          if (v[j] == v[k]) return true;
      return false;
    }
    std::uint64_t sorted[64];
    std::copy(v, v + n, sorted);
    std::sort(sorted, sorted + n);
    return std::adjacent_find(sorted, sorted + n) != sorted + n;
  };

  bool held = false;
  std::uint64_t held_cost = 0;
  unsigned held_r = 0, held_d = 0;
  for (unsigned r = 0; r < 4; ++r) {
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = (keys[i] >> (8 * r)) & mask;
      nr[i] = 64 - static_cast<unsigned>(a[i] >> s);
      pos[i] = slot(i, 0);
    }
    if (has_duplicate(pos)) continue;
    std::uint64_t occ = r == 0 ? 1 : 0;
    for (std::size_t i = 0; i < n && occ != ~std::uint64_t{0}; ++i) {
      if (!reach[i]) {
        occ |= window_word(map, rel[i] + a[i], a[i], nr[i]);
      } else {
        for (unsigned d = 0; d < 64; ++d)
          if (map.test(slot(i, d))) occ |= std::uint64_t{1} << d;
      }
    }
    if (occ == ~std::uint64_t{0}) continue;
    std::uint64_t starts = 1;
    for (std::size_t i = 0; i < n; ++i)
      if (nr[i] < 64) starts |= std::uint64_t{1} << nr[i];
    while (starts != 0) {
      const unsigned st = static_cast<unsigned>(std::countr_zero(starts));
      starts &= starts - 1;
      for (;;) {
        const std::uint64_t free = ~occ & (~std::uint64_t{0} << st);
        if (free == 0) break;
        const unsigned d = static_cast<unsigned>(std::countr_zero(free));
        std::uint64_t cost = 0;
        for (std::size_t i = 0; i < n; ++i)
          cost += weights[(a[i] + (std::uint64_t{d} << s)) & mask];
        if (held && held_cost <= cost) break;
        for (std::size_t i = 0; i < n; ++i) q[i] = slot(i, d);
        if (has_duplicate(q)) {
          occ |= std::uint64_t{1} << d;
          continue;
        }
        held = true;
        held_cost = cost;
        held_r = r;
        held_d = d;
        break;
      }
    }
  }
  if (!held) return 0;
  for (std::size_t i = 0; i < n; ++i) {
    a[i] = (keys[i] >> (8 * held_r)) & mask;
    map.set(slot(i, held_d));
  }
  return static_cast<std::uint8_t>(held_r * 64 + held_d);
}

}  // namespace quenlith::mphf
