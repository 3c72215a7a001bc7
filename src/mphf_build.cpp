// The minimal-perfect-hash build: level 0 over all keys, later levels over the keys each level
// bumps (rehashed per level), a tail with a 16-bit seed per bucket for the rest, and the remap
// values that send every slot used beyond level 0 to a free level-0 id.
#include <algorithm>

#include "mphf_build.hpp"
#include "threads.hpp"
#include "bytes.hpp"

namespace quenlith::mphf {

using hash::G;
using hash::mix;
using hash::mulhi;

namespace {

constexpr std::uint64_t kSmall = 256;
const char* const kCountMismatch =
    "minimal perfect hash: the source yielded other than the promised number of keys";

using bytes::ceil_div;

// The hash of h on later level i.
inline std::uint64_t rehash(std::uint64_t h, std::uint64_t i) { return mix((h ^ (i * G)) + G); }

// Rehashes the m bumped hashes for level i and groups them by bucket among B with a counting
// sort; within a bucket they keep the order of `bumped`. The scatter runs on threads, each owning
// a range of buckets and the output range those buckets cover.
std::vector<std::uint64_t> group_by_bucket(std::span<const std::uint64_t> bumped,
                                           std::uint64_t level, std::uint64_t B, unsigned threads) {
  std::vector<std::uint64_t> next(static_cast<std::size_t>(B + 1), 0);
  for (std::uint64_t h : bumped) ++next[mulhi(rehash(h, level), B) + 1];
  for (std::uint64_t b = 1; b <= B; ++b) next[b] += next[b - 1];
  std::vector<std::uint64_t> out(bumped.size());
  const std::uint64_t per = std::max<std::uint64_t>(ceil_div(B, threads), 4096);
  const std::uint64_t tasks = ceil_div(B, per);
  threads::run_workers(static_cast<unsigned>(tasks), [&](unsigned j) {
    const std::uint64_t lo = j * per;
    const std::uint64_t hi = std::min(B, lo + per);
    for (std::uint64_t h : bumped) {
      const std::uint64_t x = rehash(h, level);
      const std::uint64_t b = mulhi(x, B);
      if (b >= lo && b < hi) out[next[b]++] = x;
    }
  });
  return out;
}

// Reads every hash of a small input.
std::vector<std::uint64_t> read_all(HashInput input) {
  if (input.kind() != HashInput::Kind::Source) {
    const auto s = input.slice();
    return {s.begin(), s.end()};
  }
  std::vector<std::uint64_t> out;
  std::uint64_t buf[256];
  for (;;) {
    const std::size_t got = input.hash_source().next_batch(buf);
    if (got == 0) break;
    if (got > 256) panic("a source writes no more hashes than asked");
    out.insert(out.end(), buf, buf + got);
    if (out.size() > kSmall) break;  // already more than promised
  }
  return out;
}

}  // namespace

Tail build_tail(std::span<const std::uint64_t> hashes) {
  const std::uint64_t m = hashes.size();
  Tail tail;
  tail.keys = m;
  tail.buckets = std::max<std::uint64_t>(ceil_div(2 * m, 13), 1);
  tail.slots = std::max<std::uint64_t>(
      static_cast<std::uint64_t>((static_cast<unsigned __int128>(25) * m + 23) / 24), m);
  const std::uint64_t St = tail.slots;
  tail.bitmap.assign(static_cast<std::size_t>(St / 64 + 3), 0);
  tail.seeds = Pages<std::uint16_t>::allocate(tail.buckets);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs(static_cast<std::size_t>(m));
  struct Run {
    std::uint64_t bucket, from, to;
  };
  std::vector<Run> runs;
  std::vector<std::uint64_t> taken;
  for (std::uint64_t attempt = 0; attempt < 64; ++attempt) {
    const std::uint64_t seed = mix(attempt + 0x1848d8a67f4a7c15ULL);
    for (std::uint64_t i = 0; i < m; ++i) {
      const std::uint64_t t = mix((hashes[i] ^ seed) + G);
      pairs[i] = {mulhi(t, tail.buckets), t};
    }
    std::sort(pairs.begin(), pairs.end());
    runs.clear();
    for (std::uint64_t i = 0; i < m;) {
      std::uint64_t j = i + 1;
      while (j < m && pairs[j].first == pairs[i].first) ++j;
      runs.push_back({pairs[i].first, i, j});
      i = j;
    }
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Run& a, const Run& b) { return a.to - a.from > b.to - b.from; });
    std::fill(tail.bitmap.begin(), tail.bitmap.end(), 0);
    std::fill(tail.seeds.begin(), tail.seeds.end(), 0);
    bool ok = true;
    for (const Run& run : runs) {
      bool placed = false;
      for (std::uint64_t s = 0; s < 65536 && !placed; ++s) {
        // Set the run's bits one by one; a bit already set (by another bucket or an earlier key
        // of this run) rejects the seed, and the bits set so far are cleared again.
        taken.clear();
        bool fits = true;
        for (std::uint64_t i = run.from; i < run.to; ++i) {
          const std::uint64_t p = mulhi(mix(pairs[i].second + G + s * G), St);
          std::uint64_t& word = tail.bitmap[p >> 6];
          const std::uint64_t bit = std::uint64_t{1} << (p & 63);
          if (word & bit) {
            fits = false;
            break;
          }
          word |= bit;
          taken.push_back(p);
        }
        if (fits) {
          tail.seeds[run.bucket] = static_cast<std::uint16_t>(s);
          placed = true;
        } else {
          for (std::uint64_t p : taken) tail.bitmap[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
        }
      }
      if (!placed) {
        ok = false;
        break;
      }
    }
    if (ok) {
      tail.seed = seed;
      return tail;
    }
  }
  throw IndexError::build("minimal perfect hash: no seed placed every bucket");
}

V2 V2::build_from(std::uint64_t n, HashInput input, unsigned threads) {
  const unsigned t = threads < 2 ? 1 : threads;
  V2 out;
  out.n = n;
  out.geometry = 2;
  std::vector<Level> levels;
  std::vector<Map> maps;
  std::vector<std::uint64_t> bumped;
  if (n <= kSmall) {
    bumped = read_all(input);
    if (bumped.size() != n) throw IndexError::build(kCountMismatch);
  } else {
    LevelBuild l0 = build_level(n, input, t, false);
    if (l0.read != n) throw IndexError::build(kCountMismatch);
    levels.push_back(std::move(l0.level));
    maps.push_back(std::move(l0.map));
    bumped = std::move(l0.bumped);
    while (bumped.size() > kSmall && levels.size() < kMaxLevels) {
      const std::uint64_t i = levels.size();
      const std::uint64_t m = bumped.size();
      const std::uint64_t B = ceil_div(2 * m, 9);
      std::vector<std::uint64_t> grouped = group_by_bucket(bumped, i, B, t);
      LevelBuild li = build_level(m, HashInput::ordered(grouped), t, true);
      grouped = {};
      // Keep, in order, the unrehashed hashes this level bumped.
      std::size_t kept = 0;
      for (std::uint64_t h : bumped)
        if (li.level.seed_of(rehash(h, i)) == 0) bumped[kept++] = h;
      if (kept == m) break;  // the level placed nothing: drop it, the tail takes the keys
      bumped.resize(kept);
      levels.push_back(std::move(li.level));
      maps.push_back(std::move(li.map));
    }
  }

  Tail tail;
  if (!bumped.empty()) tail = build_tail(bumped);
  bumped = {};

  // Remap values: walk the later levels' slots, then the tail's; an occupied slot takes the next
  // free level-0 id, a free slot repeats the last one taken.
  std::vector<std::uint64_t> holes;
  if (levels.empty()) {
    holes.resize(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) holes[i] = i;
  } else {
    holes = Map::holes(maps[0], n);
  }
  std::uint64_t entries = tail.slots;
  for (std::size_t i = 1; i < levels.size(); ++i) entries += levels[i].slots;
  std::vector<std::uint64_t> values;
  values.reserve(static_cast<std::size_t>(entries));
  std::size_t next_hole = 0;
  std::uint64_t current = holes.empty() ? 0 : holes[0];
  auto take = [&](bool occupied) {
    if (occupied) {
      if (next_hole >= holes.size()) panic("a hole per value a key landed on");
      current = holes[next_hole++];
    }
    values.push_back(current);
  };
  for (std::size_t i = 1; i < levels.size(); ++i)
    for (std::uint64_t s = 0; s < levels[i].slots; ++s) take(maps[i].test(s));
  for (std::uint64_t s = 0; s < tail.slots; ++s) take((tail.bitmap[s >> 6] >> (s & 63)) & 1u);
  std::vector<Map>().swap(maps);
  holes = {};
  out.remap = Remap::encode(values, n);

  if (!levels.empty()) {
    out.level0 = std::move(levels[0]);
    for (std::size_t i = 1; i < levels.size(); ++i) out.levels.push_back(std::move(levels[i]));
  }
  out.tail_seeds = std::move(tail.seeds);
  out.tail_keys = tail.keys;
  out.tail_buckets = tail.buckets;
  out.tail_slots = tail.slots;
  out.tail_seed = tail.seed;
  return out;
}

}  // namespace quenlith::mphf
