// The rules inside a level build, each against a naive model: the bucket seed search (against an
// exhaustive evaluation of all 255 seeds), the order of a run, the chunk geometry, the occupancy
// map and the grouping of unordered hashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <thread>

#include "mphf_build.hpp"

namespace quenlith::mphf {
namespace {

using hash::mulhi;

Level geometry(std::uint64_t slots, std::uint64_t part) {
  Level l;
  l.slots = slots;
  l.part = part;
  l.mode = 2;
  l.shift = Level::shift_for(part, 2);
  l.buckets = 1;
  return l;
}

// A hash whose base on a level of S slots is `base` and whose low 32 bits are `low`.
std::uint64_t key_at(std::uint64_t base, std::uint64_t S, std::uint32_t low) {
  const std::uint64_t h =
      static_cast<std::uint64_t>((static_cast<unsigned __int128>(base) << 64) / S) +
      (std::uint64_t{1} << 33);
  return (h & ~std::uint64_t{0xFFFFFFFF}) | low;
}

// The choice rule written out: every (r, d) but (0, 0); a rotation whose displacement-0 slots
// collide is vetoed; a candidate puts every key on a free slot, no two together; least
// (cost, r, d) wins. Returns cost * 256 + byte, or 0.
std::uint64_t exhaustive_choice(const Level& lv, std::span<const std::uint64_t> keys,
                                const Map& map, std::uint64_t origin) {
  if (keys.size() > 64) return 0;
  const std::uint32_t* weight = log2_table();
  const std::uint64_t span = lv.slots - origin;
  auto slot_of = [&](std::uint64_t h, unsigned r, unsigned d) {
    const std::uint64_t o =
        (((h >> (8 * r)) & (lv.part - 1)) + (std::uint64_t{d} << lv.shift)) % lv.part;
    std::uint64_t q = mulhi(h, lv.slots) - origin + o;
    if (q >= span) q -= span;
    return q;
  };
  std::uint64_t best = 0;
  for (unsigned r = 0; r < 4; ++r) {
    std::vector<std::uint64_t> zero;
    for (std::uint64_t h : keys) zero.push_back(slot_of(h, r, 0));
    std::sort(zero.begin(), zero.end());
    if (std::adjacent_find(zero.begin(), zero.end()) != zero.end()) continue;
    for (unsigned d = 0; d < 64; ++d) {
      if (r == 0 && d == 0) continue;
      std::vector<std::uint64_t> at;
      std::uint64_t cost = 0;
      bool ok = true;
      for (std::uint64_t h : keys) {
        const std::uint64_t q = slot_of(h, r, d);
        if (map.test(q)) ok = false;
        at.push_back(q);
        cost +=
            weight[(((h >> (8 * r)) & (lv.part - 1)) + (std::uint64_t{d} << lv.shift)) % lv.part +
                   95];
      }
      std::sort(at.begin(), at.end());
      if (!ok || std::adjacent_find(at.begin(), at.end()) != at.end()) continue;
      const std::uint64_t choice = cost * 256 + r * 64 + d;
      if (best == 0 || choice < best) best = choice;
    }
  }
  return best;
}

Map random_map(std::uint64_t region, std::uint32_t shift, double density, std::mt19937_64& rng) {
  Map m = Map::zeroed(((region >> shift) >> 6) + 3, shift);
  std::bernoulli_distribution fill(density);
  for (std::uint64_t q = 0; q < region; ++q)
    if (fill(rng)) m.set(q);
  return m;
}

std::vector<std::uint64_t> set_bits(const Map& m, std::uint64_t region) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t q = 0; q < region; ++q)
    if (m.test(q)) out.push_back(q);
  return out;
}

TEST(MphfWeights, TableEntries) {
  const std::uint32_t* t = log2_table();
  EXPECT_EQ(t[0], 0u);
  EXPECT_EQ(t[1], 0u);
  EXPECT_EQ(t[2], 65536u);
  EXPECT_EQ(t[95], 430562u);
  EXPECT_EQ(t[96], 431552u);
  EXPECT_EQ(t[128], 458752u);
  EXPECT_EQ(t[1118], 663664u);
  EXPECT_EQ(t[4094], 786386u);
  EXPECT_EQ(t[4095], 786409u);
  for (unsigned i = 96; i < 1119; ++i) EXPECT_LT(t[i - 1], t[i]);
}

// Both forms of the search against the exhaustive rule, on random occupancy, for every part size,
// windows inside a region with a non-zero origin and windows that run past the level's end.
TEST(MphfSeedSearch, MatchesExhaustiveRule) {
  std::mt19937_64 rng(20240611);
  int placed = 0, bumped = 0, outside = 0;
  for (std::uint64_t part : {256u, 512u, 1024u}) {
    for (int trial = 0; trial < 700; ++trial) {
      const std::uint64_t S = part * (3 + rng() % 4) + rng() % part;
      const Level lv = geometry(S, part);
      const bool from_zero = trial % 2 == 0;
      const std::uint64_t origin = from_zero ? 0 : part;
      const std::uint64_t region = S - origin;
      const double density = std::vector<double>{0.0, 0.3, 0.6, 0.85, 0.95}[trial % 5];
      Map map = random_map(region, lv.shift, density, rng);
      // Keys: bases packed in a narrow band so that positions often agree modulo P, sometimes
      // near the level's end.
      const std::size_t n = 1 + rng() % (trial % 7 == 0 ? 40 : 16);
      const std::uint64_t band_lo = origin + rng() % (region - std::min(region, 2 * part) + 1);
      std::vector<std::uint64_t> keys;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t base = std::min(S - 1, band_lo + rng() % (2 * part));
        keys.push_back(key_at(base, S, static_cast<std::uint32_t>(rng())));
      }
      bool inside = true;
      for (std::uint64_t h : keys) inside &= mulhi(h, S) - origin + part <= region;
      if (!from_zero && !inside) continue;  // such windows are only searched from slot 0
      const std::uint64_t want = exhaustive_choice(lv, keys, map, origin);
      (want != 0 ? placed : bumped)++;
      outside += !inside;
      SCOPED_TRACE(testing::Message() << "part " << part << " trial " << trial << " keys " << n);

      Map general = Map::zeroed(map.stride, map.shift);
      std::copy(map.words.begin(), map.words.end(), general.words.begin());
      const std::uint8_t byte = seed_bucket(lv, keys, general, origin);
      EXPECT_EQ(byte, want & 255);
      std::vector<std::uint64_t> expect_bits = set_bits(map, region);
      if (want != 0) {
        const unsigned r = static_cast<unsigned>((want >> 6) & 3),
                       d = static_cast<unsigned>(want & 63);
        for (std::uint64_t h : keys) {
          const std::uint64_t o =
              (((h >> (8 * r)) & (part - 1)) + (std::uint64_t{d} << lv.shift)) % part;
          std::uint64_t q = mulhi(h, S) - origin + o;
          if (q >= region) q -= region;
          expect_bits.push_back(q);
        }
        std::sort(expect_bits.begin(), expect_bits.end());
      }
      EXPECT_EQ(set_bits(general, region), expect_bits);

      if (n <= 16) {
        Map lanes = Map::zeroed(map.stride, map.shift);
        std::copy(map.words.begin(), map.words.end(), lanes.words.begin());
        SearchScratch scratch{};
        scratch.epoch = static_cast<std::uint32_t>(trial);  // stale stamps must not matter
        const SearchContext cx{log2_table() + 95, S, origin, part, region, lv.shift};
        const auto [handled, choice] = seed_bucket_lanes_n(cx, keys, lanes, scratch);
        EXPECT_EQ(handled, inside);
        if (handled) {
          EXPECT_EQ(choice, want);
          EXPECT_EQ(set_bits(lanes, region), expect_bits);
        } else {
          EXPECT_EQ(set_bits(lanes, region), set_bits(map, region));
        }
      }
    }
  }
  // The sample covers placements, bumps and windows past the level's end.
  EXPECT_GT(placed, 500);
  EXPECT_GT(bumped, 100);
  EXPECT_GT(outside, 50);
}

TEST(MphfSeedSearch, EdgeRules) {
  const std::uint64_t S = 8192, P = 1024;
  const Level lv = geometry(S, P);
  // One key on an empty map takes the least offset over the rotations: with the low 24 bits of
  // the hash zero, offset 0 is free at rotations 1 and 2, and rotation 0 may not use displacement
  // 0, so the lower of those rotations wins with displacement 0: byte 0x40.
  {
    Map m = Map::for_level(S, lv.shift);
    const std::vector<std::uint64_t> key{key_at(100, S, 0)};
    EXPECT_EQ(exhaustive_choice(lv, key, m, 0), std::uint64_t{log2_table()[95]} * 256 + 0x40);
    EXPECT_EQ(seed_bucket(lv, key, m, 0), 0x40);
    EXPECT_TRUE(m.test(100));
  }
  // Two equal keys veto every rotation: bumped, map unchanged.
  {
    Map m = Map::for_level(S, lv.shift);
    const std::uint64_t h = key_at(3000, S, 12345);
    EXPECT_EQ(seed_bucket(lv, std::vector<std::uint64_t>{h, h}, m, 0), 0);
    EXPECT_TRUE(set_bits(m, S).empty());
    SearchScratch scratch{};
    const SearchContext cx{log2_table() + 95, S, 0, P, S, lv.shift};
    EXPECT_EQ(seed_bucket_lanes_n(cx, std::vector<std::uint64_t>{h, h}, m, scratch),
              (std::pair<bool, std::uint64_t>{true, 0}));
  }
  // 65 keys are bumped without a search.
  {
    Map m = Map::for_level(S, lv.shift);
    std::vector<std::uint64_t> keys;
    for (std::uint32_t i = 0; i < 65; ++i) keys.push_back(key_at(100 + 40 * i, S, i * 7919u));
    EXPECT_EQ(seed_bucket(lv, keys, m, 0), 0);
    EXPECT_TRUE(set_bits(m, S).empty());
  }
  // A full map leaves no seed.
  {
    Map m = Map::for_level(S, lv.shift);
    for (std::uint64_t q = 0; q < S; ++q) m.set(q);
    EXPECT_EQ(seed_bucket(lv, std::vector<std::uint64_t>{key_at(10, S, 1)}, m, 0), 0);
  }
  // Two keys whose displacement-0 positions differ by exactly P clash only where one has wrapped
  // and the other has not: the exhaustive rule and both forms agree on such pairs.
  {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 300; ++i) {
      const std::uint64_t base = 2000 + rng() % 1000;
      const std::uint32_t low = static_cast<std::uint32_t>(rng()) & ~1023u;
      const std::uint32_t a1 = static_cast<std::uint32_t>(rng() % P);
      // p1 = base + a1, p2 = base + P + a2' with a2' = a1 at rotation 0.
      const std::vector<std::uint64_t> keys = {key_at(base, S, low | a1),
                                               key_at(base + P, S, low | a1 | 0)};
      Map m = random_map(S, lv.shift, 0.5, rng);
      Map copy = Map::zeroed(m.stride, m.shift);
      std::copy(m.words.begin(), m.words.end(), copy.words.begin());
      const std::uint64_t want = exhaustive_choice(lv, keys, m, 0);
      EXPECT_EQ(seed_bucket(lv, keys, m, 0), want & 255);
      SearchScratch scratch{};
      const SearchContext cx{log2_table() + 95, S, 0, P, S, lv.shift};
      EXPECT_EQ(seed_bucket_lanes_n(cx, keys, copy, scratch).second, want);
    }
  }
}

// The run order, modelled directly: non-empty buckets by 1024 * i - lead(size), ties by index,
// each searched by the exhaustive rule against the map as the earlier ones left it.
TEST(MphfSeedRun, OrderAndSeedsMatchModel) {
  constexpr std::int64_t mult[16] = {-50137, 65904,  111782, 139890, 159029, 175922,
                                     186995, 198068, 209141, 220214, 231287, 242360,
                                     253433, 264506, 275579, 286652};
  std::mt19937_64 rng(77);
  for (std::uint64_t part : {256u, 512u, 1024u}) {
    const std::uint64_t S = part == 256 ? 3000 : part == 512 ? 12000 : 40000;
    const Level lv = geometry(S, part);
    const std::uint64_t B = (2 * S + 8) / 9;
    // Keys of a run of buckets [0, run), bucket sizes skewed so that every class occurs.
    const std::uint64_t run = B - B / 4;
    std::vector<std::vector<std::uint64_t>> buckets(run);
    for (std::uint64_t i = 0; i < S * 3 / 4; ++i) {
      const std::uint64_t h = rng();
      const std::uint64_t b = mulhi(h, B);
      if (b < run) buckets[b].push_back(h);
    }
    for (int i = 0; i < 40; ++i) {  // some large buckets
      const std::uint64_t b = rng() % run;
      const std::uint64_t lo = (static_cast<unsigned __int128>(b) << 64) / B + 1;
      const std::uint64_t width = ~std::uint64_t{0} / B - 2;
      for (int j = 0; j < 14 + i % 8; ++j) buckets[b].push_back(lo + rng() % width);
    }
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> bounds{0};
    for (auto& bk : buckets) {
      keys.insert(keys.end(), bk.begin(), bk.end());
      bounds.push_back(static_cast<std::uint32_t>(keys.size()));
    }
    Map map = random_map(S, lv.shift, 0.05, rng);
    Map model = Map::zeroed(map.stride, map.shift);
    std::copy(map.words.begin(), map.words.end(), model.words.begin());

    std::vector<std::uint8_t> seeds(run, 0);
    seed_run(lv, keys, bounds, seeds, map, 0);

    std::vector<std::pair<std::int64_t, std::uint64_t>> order;
    for (std::uint64_t i = 0; i < run; ++i) {
      const std::size_t size = buckets[i].size();
      if (size == 0) continue;
      const std::int64_t lead =
          static_cast<std::int64_t>(part) * mult[std::min<std::size_t>(size, 16) - 1] / 1024;
      order.push_back({1024 * static_cast<std::int64_t>(i) - lead, i});
    }
    std::sort(order.begin(), order.end());
    std::vector<std::uint8_t> want(run, 0);
    for (const auto& [value, i] : order) {
      const std::uint64_t choice = exhaustive_choice(lv, buckets[i], model, 0);
      want[i] = static_cast<std::uint8_t>(choice & 255);
      if (choice != 0) {
        const unsigned r = static_cast<unsigned>((choice >> 6) & 3),
                       d = static_cast<unsigned>(choice & 63);
        for (std::uint64_t h : buckets[i]) {
          std::uint64_t q =
              mulhi(h, S) + (((h >> (8 * r)) & (part - 1)) + (std::uint64_t{d} << lv.shift)) % part;
          if (q >= S) q -= S;
          model.set(q);
        }
      }
    }
    EXPECT_EQ(seeds, want) << "part " << part;
    EXPECT_EQ(set_bits(map, S), set_bits(model, S)) << "part " << part;

    std::vector<std::uint64_t> bumped;
    bumped_keys(keys, bounds, seeds, bumped);
    std::vector<std::uint64_t> want_bumped;
    for (std::uint64_t i = 0; i < run; ++i)
      if (want[i] == 0) want_bumped.insert(want_bumped.end(), buckets[i].begin(), buckets[i].end());
    EXPECT_EQ(bumped, want_bumped);
  }
}

TEST(MphfSeedRun, EmptyRunSearchesNothing) {
  const Level lv = geometry(4096, 512);
  Map m = Map::for_level(4096, lv.shift);
  std::vector<std::uint8_t> seeds(10, 0);
  std::vector<std::uint32_t> bounds(11, 0);
  seed_run(lv, {}, bounds, seeds, m, 0);
  EXPECT_EQ(seeds, std::vector<std::uint8_t>(10, 0));
  EXPECT_TRUE(set_bits(m, 4096).empty());
}

TEST(MphfLevelShape, ChunksAndSeams) {
  {
    const LevelShape s = level_shape(257, false);
    EXPECT_EQ(s.buckets, 58u);
    EXPECT_EQ(s.part, 256u);
    EXPECT_EQ(s.shift, 2u);
    EXPECT_EQ(s.starts, std::vector<std::uint64_t>{0});
    EXPECT_EQ(s.seam, 29u);
  }
  EXPECT_EQ(level_shape(4095, false).part, 256u);
  EXPECT_EQ(level_shape(4096, false).part, 512u);
  EXPECT_EQ(level_shape(32767, false).part, 512u);
  EXPECT_EQ(level_shape(32768, false).shift, 4u);
  // Later levels: one chunk below B = 8192, two of 4096 at 8192.
  EXPECT_EQ(level_shape(36859, true).starts.size(), 1u);  // B = 8191
  {
    const LevelShape s = level_shape(36864, true);
    EXPECT_EQ(s.buckets, 8192u);
    EXPECT_EQ(s.starts, (std::vector<std::uint64_t>{0, 4096}));
  }
  // Level 0 with B = 262,144: two chunks of 65,536 then eight of 16,384.
  {
    const LevelShape s = level_shape(1179648, false);
    EXPECT_EQ(s.buckets, 262144u);
    std::vector<std::uint64_t> want{0, 65536};
    for (std::uint64_t x = 131072; x < 262144; x += 16384) want.push_back(x);
    EXPECT_EQ(s.starts, want);
    EXPECT_EQ(s.largest, 65536u);
    // w = min(B / 2, ceil(1026 * B / k) + 1)
    EXPECT_EQ(s.seam, (1026 * 262144 + 1179648 - 1) / 1179648 + 1);
  }
  // B = 262,143 takes the ordinary rule: seven chunks of 32,767 and a last of 32,774.
  {
    const LevelShape s = level_shape(1179643, false);
    EXPECT_EQ(s.buckets, 262143u);
    ASSERT_EQ(s.starts.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(s.starts[i], 32767u * i);
    EXPECT_EQ(s.largest, 32774u);
  }
  // The big-level rule keeps the last chunk between 16,384 and 32,767 buckets.
  for (std::uint64_t B : {262144u, 300000u, 327679u, 327680u, 393215u, 1000000u}) {
    const LevelShape s = level_shape(B * 9 / 2, false);
    ASSERT_EQ(s.buckets, B);
    const std::uint64_t last = B - s.starts.back();
    EXPECT_GE(last, 16384u);
    EXPECT_LE(last, 32767u);
    for (std::size_t i = 1; i < s.starts.size(); ++i) EXPECT_GT(s.starts[i], s.starts[i - 1]);
  }
}

TEST(MphfBucketEnds, BoundsAndSourceFaults) {
  const std::uint64_t B = 100;
  auto in_bucket = [&](std::uint64_t b) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(b) << 64) / B) + 1000;
  };
  std::vector<std::uint64_t> keys = {in_bucket(12), in_bucket(12), in_bucket(14), in_bucket(17)};
  std::vector<std::uint32_t> bounds(9);  // chunk of buckets 10..17
  bucket_ends(keys, B, 10, bounds);
  EXPECT_EQ(bounds, (std::vector<std::uint32_t>{0, 0, 0, 2, 2, 3, 3, 3, 4}));
  // A key below the chunk, past it, or a bucket that goes back: the source did not ascend.
  for (const auto& bad :
       {std::vector<std::uint64_t>{in_bucket(9)}, std::vector<std::uint64_t>{in_bucket(18)},
        std::vector<std::uint64_t>{in_bucket(14), in_bucket(12)}})
    EXPECT_THROW(bucket_ends(bad, B, 10, bounds), Panic);
}

TEST(MphfMap, MergeAndHoles) {
  Map full = Map::for_level(1000, 2);
  for (std::uint64_t q = 0; q < 1000; ++q) full.set(q);
  EXPECT_TRUE(Map::holes(full, 1000).empty());
  Map empty = Map::for_level(1000, 3);
  const auto all = Map::holes(empty, 1000);
  ASSERT_EQ(all.size(), 1000u);
  for (std::uint64_t i = 0; i < 1000; ++i) EXPECT_EQ(all[i], i);
  // Holes in ascending slot order with a model.
  std::mt19937_64 rng(3);
  Map m = Map::for_level(5000, 4);
  std::vector<std::uint64_t> want;
  for (std::uint64_t q = 0; q < 5000; ++q) {
    if (rng() % 7 == 0)
      want.push_back(q);
    else
      m.set(q);
  }
  EXPECT_EQ(Map::holes(m, 5000), want);
  // Merge: a source wider than the room left ORs only the words inside the row; a negative
  // offset skips the first source words.
  Map dst = Map::zeroed(4, 1);
  Map src = Map::zeroed(3, 1);
  for (auto& w : src.words) w = 0;
  src.words[0] = 1;         // row 0 word 0
  src.words[2] = 4;         // row 0 word 2
  src.words[3 + 1] = 2;     // row 1 word 1
  Map::merge(dst, src, 2);  // row 0: words 2, 3 (word 4 outside); row 1: word 3
  EXPECT_EQ(dst.words[2], 1u);
  EXPECT_EQ(dst.words[3], 0u);
  EXPECT_EQ(dst.words[4 + 3], 2u);
  Map dst2 = Map::zeroed(4, 1);
  Map::merge(dst2, src, -2);  // only source word 2 of each row lands, at word 0
  EXPECT_EQ(dst2.words[0], 4u);
  EXPECT_EQ(dst2.words[4], 0u);
}

// Grouped hands out every chunk, in order, with the chunk's keys in bucket order (input order
// within a bucket), whatever the number of chunks, groups and ranges.
TEST(MphfGroupedParallel, ChunksInBucketOrder) {
  std::mt19937_64 rng(11);
  for (std::uint64_t k : {3000u, 150000u, 1179648u}) {
    for (unsigned threads : {1u, 3u}) {
      const LevelShape shape = level_shape(k, false);
      const std::uint64_t n = k;
      std::vector<std::uint64_t> hashes(n);
      for (auto& h : hashes) h = rng();
      Grouped g(hashes, shape.buckets, shape.starts, threads);
      const std::uint64_t C = shape.starts.size();
      EXPECT_EQ(g.groups(), std::min<std::uint64_t>(C, 4));
      std::vector<std::vector<std::uint64_t>> want(C);
      std::vector<std::uint64_t> bounds = shape.starts;
      bounds.push_back(shape.buckets);
      for (std::uint64_t h : hashes) {
        const std::uint64_t b = mulhi(h, shape.buckets);
        const std::uint64_t c =
            static_cast<std::uint64_t>(std::upper_bound(bounds.begin(), bounds.end(), b) -
                                       bounds.begin()) -
            1;
        want[c].push_back(h);
      }
      for (auto& w : want)
        std::stable_sort(w.begin(), w.end(), [&](std::uint64_t a, std::uint64_t b) {
          return mulhi(a, shape.buckets) < mulhi(b, shape.buckets);
        });
      for (std::uint64_t c = 0; c < C; ++c)
        EXPECT_EQ(g.group_of(c),
                  static_cast<std::uint32_t>(shape.starts[c] * g.groups() / shape.buckets));
      // Claim from several threads at once; chunks come out exactly once each.
      std::vector<std::vector<std::uint64_t>> got(C);
      std::vector<int> claimed(C, 0);
      std::mutex mu;
      std::vector<std::thread> workers;
      for (unsigned w = 0; w < threads; ++w)
        workers.emplace_back([&] {
          std::vector<std::uint64_t> out, counters;
          std::uint64_t c;
          while (g.claim(c, out, counters)) {
            std::lock_guard<std::mutex> lock(mu);
            got[c] = out;
            ++claimed[c];
          }
        });
      for (auto& w : workers) w.join();
      for (std::uint64_t c = 0; c < C; ++c) {
        EXPECT_EQ(claimed[c], 1);
        EXPECT_EQ(got[c], want[c]) << "k " << k << " chunk " << c;
      }
    }
  }
}

}  // namespace
}  // namespace quenlith::mphf
