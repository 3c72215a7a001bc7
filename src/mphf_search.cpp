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

namespace {

// The general search over one bucket of up to 64 keys: per-key state of the rotation being tried,
// and the steps of trying it.
class BucketSearch {
 public:
  BucketSearch(const Level& level, std::span<const std::uint64_t> keys, Map& map,
               std::uint64_t origin)
      : keys_(keys),
        n_(keys.size()),
        map_(map),
        mask_(level.part - 1),
        shift_(level.shift),
        span_(level.slots - origin) {
    for (std::size_t i = 0; i < n_; ++i) {
      rel_[i] = mulhi(keys[i], level.slots) - origin;
      reach_[i] = rel_[i] + level.part > span_;
      check_invariant(!reach_[i] || origin == 0,
                      "a window past the level's end is searched from slot 0");
    }
  }

  // Takes rotation r: each key's offset base, wrap point and displacement-0 slot. False when two
  // keys share that slot, which vetoes the rotation.
  bool rotate(unsigned r) {
    for (std::size_t i = 0; i < n_; ++i) {
      a_[i] = (keys_[i] >> (8 * r)) & mask_;
      nr_[i] = 64 - static_cast<unsigned>(a_[i] >> shift_);
      pos_[i] = slot(i, 0);
    }
    return !has_duplicate(pos_);
  }

  // Bit d set when some key's slot at displacement d is taken (and bit 0 for rotation 0, whose
  // seed byte 0 means "no seed").
  std::uint64_t occupied(unsigned r) const {
    std::uint64_t occ = r == 0 ? 1 : 0;
    for (std::size_t i = 0; i < n_ && occ != ~std::uint64_t{0}; ++i) {
      if (!reach_[i]) {
        occ |= window_word(map_, rel_[i] + a_[i], a_[i], nr_[i]);
      } else {
        for (unsigned d = 0; d < 64; ++d)
          if (map_.test(slot(i, d))) occ |= std::uint64_t{1} << d;
      }
    }
    return occ;
  }

  // The first displacements of the segments between wrap points, where costs restart.
  std::uint64_t segment_starts() const {
    std::uint64_t starts = 1;
    for (std::size_t i = 0; i < n_; ++i)
      if (nr_[i] < 64) starts |= std::uint64_t{1} << nr_[i];
    return starts;
  }

  std::uint64_t cost(unsigned d) const {
    const std::uint32_t* weights = log2_table() + 95;
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n_; ++i)
      c += weights[(a_[i] + (std::uint64_t{d} << shift_)) & mask_];
    return c;
  }

  // Whether two keys land on one slot at displacement d.
  bool collides(unsigned d) {
    for (std::size_t i = 0; i < n_; ++i) q_[i] = slot(i, d);
    return has_duplicate(q_);
  }

  // Claims the slots of every key at rotation r, displacement d.
  void place(unsigned r, unsigned d) {
    for (std::size_t i = 0; i < n_; ++i) a_[i] = (keys_[i] >> (8 * r)) & mask_;
    for (std::size_t i = 0; i < n_; ++i) map_.set(slot(i, d));
  }

 private:
  // Slot (relative to the map) of key i at displacement d of the current rotation.
  std::uint64_t slot(std::size_t i, unsigned d) const {
    std::uint64_t x = rel_[i] + ((a_[i] + (std::uint64_t{d} << shift_)) & mask_);
    if (x >= span_) x -= span_;
    return x;
  }
  bool has_duplicate(const std::uint64_t* v) const {
    if (n_ <= 16) {
      for (std::size_t j = 1; j < n_; ++j)
        for (std::size_t k = 0; k < j; ++k)
          if (v[j] == v[k]) return true;
      return false;
    }
    std::uint64_t sorted[64];
    std::copy(v, v + n_, sorted);
    std::sort(sorted, sorted + n_);
    return std::adjacent_find(sorted, sorted + n_) != sorted + n_;
  }

  std::span<const std::uint64_t> keys_;
  std::size_t n_;
  Map& map_;
  std::uint64_t mask_;
  std::uint32_t shift_;
  std::uint64_t span_;
  std::uint64_t rel_[64], a_[64], pos_[64], q_[64];
  unsigned nr_[64];
  bool reach_[64];
};

}  // namespace

std::uint8_t seed_bucket(const Level& level, std::span<const std::uint64_t> keys, Map& map,
                         std::uint64_t origin) {
  const std::size_t n = keys.size();
  if (n > 64 || n == 0) return 0;
  // Only the geometry every builder uses is searched; older geometries are never built.
  check_invariant(level.mode == 2, "a built level has two rotation bits");
  BucketSearch search(level, keys, map, origin);
  bool held = false;
  std::uint64_t held_cost = 0;
  unsigned held_r = 0, held_d = 0;
  for (unsigned r = 0; r < 4; ++r) {
    if (!search.rotate(r)) continue;
    std::uint64_t occ = search.occupied(r);
    if (occ == ~std::uint64_t{0}) continue;
    // In each segment the first free displacement without a collision is the segment's
    // cheapest; it replaces the held choice only when strictly cheaper.
    for (std::uint64_t starts = search.segment_starts(); starts != 0; starts &= starts - 1) {
      const unsigned st = static_cast<unsigned>(std::countr_zero(starts));
      for (;;) {
        const std::uint64_t free = ~occ & (~std::uint64_t{0} << st);
        if (free == 0) break;
        const unsigned d = static_cast<unsigned>(std::countr_zero(free));
        const std::uint64_t cost = search.cost(d);
        if (held && held_cost <= cost) break;
        if (search.collides(d)) {
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
  search.place(held_r, held_d);
  return static_cast<std::uint8_t>(held_r * 64 + held_d);
}

}  // namespace quenlith::mphf
