// The minimal perfect hash end to end: bijection over edge sizes, the remap and tail rules on
// built tables, one level against a sequential model of the chunk protocol, byte-identical
// results for any thread count and input order, the batched query against the single one, and
// the build's refusals and fault handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>

#include "mphf_build.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUENLITH_SANITIZED 1
#else
#define QUENLITH_SANITIZED 0
#endif

namespace quenlith::mphf {
namespace {

using hash::G;
using hash::mix;
using hash::mulhi;

std::vector<std::uint64_t> distinct_hashes(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> h(n);
  for (auto& x : h) x = rng();
  std::vector<std::uint64_t> s = h;
  std::sort(s.begin(), s.end());
  if (std::adjacent_find(s.begin(), s.end()) != s.end())
    ADD_FAILURE() << "seed " << seed << " repeats a hash";
  return h;
}

std::vector<std::uint64_t> sorted(std::vector<std::uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// The slot a key reaches beyond level 0 (its remap entry), or nothing when level 0 places it.
std::optional<std::uint64_t> entry_of(const V2& t, std::uint64_t h) {
  if (t.level0 && t.level0->seed_of(h) != 0) return std::nullopt;
  return t.bumped_entry(h);
}

// Every id distinct and below n; the batched query equal to the single one for members and
// others; the remap values exactly those the rule gives (occupied entries take the free level-0
// ids in ascending order, a free entry repeats the current one).
void check_table(const Mphf& m, const std::vector<std::uint64_t>& keys) {
  const std::uint64_t n = keys.size();
  ASSERT_EQ(m.n(), n);
  std::vector<std::uint8_t> seen(n, 0);
  for (std::uint64_t h : keys) {
    const std::uint64_t id = m.index(h);
    ASSERT_LT(id, n);
    ASSERT_EQ(seen[id], 0) << "two keys share id " << id;
    seen[id] = 1;
  }
  std::vector<std::uint64_t> probe = keys;
  std::mt19937_64 rng(n);
  for (int i = 0; i < 20000; ++i) probe.push_back(rng());
  std::shuffle(probe.begin(), probe.end(), rng);
  const std::vector<std::uint64_t> batched = m.index_all(probe);
  ASSERT_EQ(batched.size(), probe.size());
  for (std::size_t i = 0; i < probe.size(); ++i) {
    ASSERT_EQ(batched[i], m.index(probe[i])) << "hash " << probe[i];
    if (n > 0) {
      ASSERT_LT(batched[i], n);
    }
  }

  const V2& t = *m.v2();
  std::map<std::uint64_t, std::uint64_t> occupied;  // entry -> id
  std::vector<std::uint8_t> on_level0(n, 0);
  for (std::uint64_t h : keys) {
    const auto e = entry_of(t, h);
    if (e) {
      ASSERT_NE(*e, V2::kNoEntry);
      occupied[*e] = m.index(h);
    } else {
      on_level0[m.index(h)] = 1;
    }
  }
  std::vector<std::uint64_t> holes;
  for (std::uint64_t i = 0; i < n; ++i)
    if (!on_level0[i]) holes.push_back(i);
  ASSERT_EQ(holes.size(), occupied.size());
  std::size_t next = 0;
  std::uint64_t current = holes.empty() ? 0 : holes[0];
  for (std::uint64_t e = 0; e < t.remap.len; ++e) {
    if (occupied.count(e)) {
      current = holes[next++];
      ASSERT_EQ(occupied[e], current);
    }
    ASSERT_EQ(t.remap.get(e), current) << "entry " << e;
  }
}

TEST(MphfBuild, BijectionOverEdgeSizes) {
  std::vector<std::uint64_t> sizes = {0, 1, 2, 255, 256, 257, 4095, 4096, 32767, 32768, 1179648};
  if (!QUENLITH_SANITIZED) {
    sizes.push_back(3000000);
    sizes.push_back(7000000);
  }
  for (std::uint64_t n : sizes) {
    SCOPED_TRACE(n);
    const std::vector<std::uint64_t> keys = distinct_hashes(n, 1000 + n);
    const Mphf m = Mphf::build_with_threads(keys, 4);
    const V2& t = *m.v2();
    EXPECT_EQ(t.geometry, 2);
    EXPECT_EQ(t.level0.has_value(), n > 256);
    if (n <= 256) {
      EXPECT_TRUE(t.levels.empty());
      EXPECT_EQ(t.tail_keys, n);
    }
    if (n == 1179648) {
      EXPECT_EQ(t.level0->buckets, 262144u);
    }
    EXPECT_LE(t.levels.size(), 15u);
    EXPECT_EQ((t.tail_keys == 0), (t.tail_buckets == 0));
    check_table(m, keys);
  }
}

TEST(MphfBuild, SmallTablesAreAllTail) {
  // With 256 keys or fewer every key goes through the tail; occupied tail slots in ascending
  // order get ids 0, 1, 2, ... (check_table checks the values of the free slots too).
  const std::vector<std::uint64_t> keys = distinct_hashes(200, 9);
  const Mphf m = Mphf::build_with_threads(keys, 1);
  const V2& t = *m.v2();
  EXPECT_EQ(t.tail_buckets, (2 * 200 + 12) / 13);
  EXPECT_EQ(t.tail_slots, (25 * 200 + 23) / 24);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> by_slot;
  for (std::uint64_t h : keys) by_slot.push_back({t.bumped_entry(h), m.index(h)});
  std::sort(by_slot.begin(), by_slot.end());
  for (std::uint64_t i = 0; i < by_slot.size(); ++i) EXPECT_EQ(by_slot[i].second, i);
  check_table(m, keys);
}

TEST(MphfBuild, RefusalsAndCounts) {
  EXPECT_NO_THROW(refuse_too_many_keys(kMaxKeys));
  try {
    refuse_too_many_keys(kMaxKeys + 1);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Build);
    EXPECT_STREQ(e.what(), "build error: minimal perfect hash: more than u32::MAX keys");
  }
  // Equal hashes can never be separated: the tail gives up.
  for (std::uint64_t n : {2u, 100u, 5000u}) {
    std::vector<std::uint64_t> keys = distinct_hashes(n, n);
    keys.back() = keys.front();
    try {
      (void)Mphf::build_with_threads(keys, 2);
      FAIL() << n;
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Build);
      EXPECT_EQ(e.message(), "minimal perfect hash: no seed placed every bucket");
    }
  }
  // A promise the input does not keep.
  for (std::uint64_t n : {100u, 5000u}) {
    const std::vector<std::uint64_t> keys = sorted(distinct_hashes(n, n + 1));
    for (std::int64_t delta : {-1, 1}) {
      const std::uint64_t promised =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(n) - delta);
      std::size_t i = 0;
      auto src = source_from([&]() -> std::optional<std::uint64_t> {
        if (i == keys.size()) return std::nullopt;
        return keys[i++];
      });
      try {
        (void)V2::build_from(promised, HashInput::source(src), 3);
        FAIL() << n << " " << delta;
      } catch (const IndexError& e) {
        EXPECT_EQ(
            e.message(),
            "minimal perfect hash: the source yielded other than the promised number of keys");
      }
      EXPECT_THROW((void)V2::build_from(promised, HashInput::unordered(keys), 3), IndexError);
    }
  }
}

// Faults inside workers reach the caller: a source that fails, and one that does not ascend.
TEST(MphfBuildThreads, WorkerFaultsReachTheCaller) {
  const std::vector<std::uint64_t> keys = sorted(distinct_hashes(300000, 4));
  {
    std::size_t i = 0;
    auto src = source_from([&]() -> std::optional<std::uint64_t> {
      if (i == 150000) throw IndexError::io_message(IndexError::IoKind::Other, "disk gone");
      return keys[i++];
    });
    try {
      (void)V2::build_from(keys.size(), HashInput::source(src), 4);
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_EQ(e.message(), "disk gone");
    }
  }
  {
    std::vector<std::uint64_t> swapped = keys;
    std::swap(swapped[1000], swapped[200000]);
    std::size_t i = 0;
    auto src = source_from([&]() -> std::optional<std::uint64_t> {
      if (i == swapped.size()) return std::nullopt;
      return swapped[i++];
    });
    EXPECT_THROW((void)V2::build_from(swapped.size(), HashInput::source(src), 4), Panic);
  }
  {
    // An "ordered" slice that is not ordered is the same caller's fault.
    std::vector<std::uint64_t> swapped = keys;
    std::swap(swapped[10], swapped[299990]);
    EXPECT_THROW((void)V2::build_from(swapped.size(), HashInput::ordered(swapped), 4), Panic);
  }
}

int live_threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// The same section for every thread count and every kind of input; workers are gone afterwards.
TEST(MphfDeterminism, SameBytesForAnyThreadCountAndInput) {
  std::vector<std::uint64_t> sizes = {257, 5000, 40000, 600000};
  if (!QUENLITH_SANITIZED) sizes.push_back(1179648);
  (void)Mphf::build_with_threads(distinct_hashes(100000, 1),
                                 4);  // sanitizer runtimes start a helper thread
  const int threads_before = live_threads();
  for (std::uint64_t n : sizes) {
    SCOPED_TRACE(n);
    const std::vector<std::uint64_t> shuffled = distinct_hashes(n, 77 + n);
    const std::vector<std::uint64_t> ordered = sorted(shuffled);
    const std::vector<std::uint8_t> want = Mphf::build_with_threads(ordered, 1).to_bytes();
    for (unsigned threads : {0u, 2u, 3u, 8u}) {
      SCOPED_TRACE(threads);
      EXPECT_EQ(Mphf::build_with_threads(ordered, threads).to_bytes(), want);
      EXPECT_EQ(Mphf::build_with_threads(shuffled, threads).to_bytes(), want);
      std::size_t i = 0;
      auto src = source_from([&]() -> std::optional<std::uint64_t> {
        if (i == ordered.size()) return std::nullopt;
        return ordered[i++];
      });
      EXPECT_EQ(Mphf(V2::build_from(n, HashInput::source(src), threads)).to_bytes(), want);
    }
  }
  EXPECT_EQ(live_threads(), threads_before);
}

TEST(MphfDeterminism, ParallelSortednessCheck) {
  if (QUENLITH_SANITIZED)
    GTEST_SKIP() << "too slow under a sanitizer: the check needs 2^20 hashes a thread; the "
                    "release build runs it";
  // Runs of 2^20 hashes a thread are checked in parallel; an inversion exactly across a run
  // boundary must still count as unsorted.
  std::vector<std::uint64_t> keys = sorted(distinct_hashes(std::uint64_t{3} << 20, 8));
  const std::vector<std::uint8_t> want = Mphf::build_with_threads(keys, 1).to_bytes();
  EXPECT_EQ(Mphf::build_with_threads(keys, 3).to_bytes(), want);
  std::swap(keys[(std::uint64_t{1} << 20) - 1], keys[std::uint64_t{1} << 20]);
  EXPECT_EQ(Mphf::build_with_threads(keys, 3).to_bytes(), want);
}

// A regression guard on the exact bytes of one build: the section is a stored format, and a
// slip in any seeding rule would give a valid but different blob.
TEST(MphfDeterminism, KnownSectionDigest) {
  const std::vector<std::uint64_t> keys = distinct_hashes(200000, 2024);
  const std::vector<std::uint8_t> bytes = Mphf::build_with_threads(keys, 3).to_bytes();
  EXPECT_EQ(bytes.size(), 48177u);
  EXPECT_EQ(blob::hash_block(bytes), 0x72978c0be578cd7cULL);
}

// ---- one level against a sequential model of the chunk protocol ----

struct ModelLevel {
  std::vector<std::uint8_t> seeds;
  std::vector<std::uint64_t> bumped;
  Map map;
};

// Chunks, then gaps, then the end seam, all against one map of the whole level: equivalent to
// the private chunk maps because a chunk's run never reaches the next chunk's slots.
ModelLevel model_level(std::uint64_t k, const std::vector<std::uint64_t>& grouped, bool later) {
  const LevelShape sh = level_shape(k, later);
  const std::uint64_t B = sh.buckets, S = k, P = sh.part, w = sh.seam;
  Level lv;
  lv.slots = S;
  lv.buckets = B;
  lv.part = P;
  lv.shift = sh.shift;
  lv.mode = 2;
  ModelLevel out{std::vector<std::uint8_t>(B, 0), {}, Map::for_level(S, sh.shift)};
  std::vector<std::uint64_t> starts = sh.starts;
  starts.push_back(B);
  // bounds[b] = first key of bucket b
  std::vector<std::uint32_t> first(B + 1, 0);
  for (std::uint64_t h : grouped) ++first[mulhi(h, B) + 1];
  for (std::uint64_t b = 1; b <= B; ++b) first[b] += first[b - 1];
  auto run = [&](std::uint64_t lo, std::uint64_t hi, std::vector<std::uint64_t>& bumped) {
    std::vector<std::uint32_t> bounds;
    for (std::uint64_t b = lo; b <= hi; ++b) bounds.push_back(first[b] - first[lo]);
    const std::span<const std::uint64_t> keys(grouped.data() + first[lo], first[hi] - first[lo]);
    std::vector<std::uint8_t> seeds(hi - lo, 0);
    seed_run(lv, keys, bounds, seeds, out.map, 0);
    std::copy(seeds.begin(), seeds.end(), out.seeds.begin() + lo);
    bumped_keys(keys, bounds, seeds, bumped);
  };
  const std::uint64_t C = sh.starts.size();
  for (std::uint64_t c = 0; c < C; ++c) {
    const std::uint64_t b0 =
        static_cast<std::uint64_t>(static_cast<unsigned __int128>(S) * starts[c] / B);
    std::vector<std::uint64_t> reserved;
    for (std::uint64_t j = 0; j < std::min(S - b0, P); ++j) {
      std::uint64_t x = (j ^ (starts[c] << 20) ^ 0x9e3779b97f4a7c15ULL) + 0x9e3779b97f4a7c15ULL;
      x ^= x >> 30;
      x *= 0xbf58476d1ce4e5b9ULL;
      x ^= x >> 27;
      x *= 0x94d049bb133111ebULL;
      if (((x >> 43) ^ (x >> 12)) < (P - j) * 4350477240039899ULL / P) {
        EXPECT_FALSE(out.map.test(b0 + j));
        out.map.set(b0 + j);
        reserved.push_back(b0 + j);
      }
    }
    run(starts[c], starts[c + 1] - w, out.bumped);
    for (std::uint64_t s : reserved) out.map.clear(s);
  }
  std::vector<std::uint64_t> gaps;
  for (std::uint64_t g = 0; g + 1 < C; ++g) run(starts[g + 1] - w, starts[g + 1], gaps);
  out.bumped.insert(out.bumped.end(), gaps.begin(), gaps.end());
  run(B - w, B, out.bumped);
  return out;
}

TEST(MphfLevelParallel, MatchesSequentialModel) {
  struct Case {
    std::uint64_t k;
    bool later;
  };
  std::vector<Case> cases = {
      {257, false}, {3000, true}, {40000, true}, {200000, false}, {600000, false}};
  if (!QUENLITH_SANITIZED) cases.push_back({1179648, false});
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.k);
    const std::vector<std::uint64_t> keys = sorted(distinct_hashes(cs.k, 31 + cs.k));
    const ModelLevel want = model_level(cs.k, keys, cs.later);
    for (unsigned threads : {1u, 4u}) {
      LevelBuild got = build_level(cs.k, HashInput::ordered(keys), threads, cs.later);
      EXPECT_EQ(got.read, cs.k);
      EXPECT_TRUE(std::equal(want.seeds.begin(), want.seeds.end(), got.level.seeds.begin(),
                             got.level.seeds.end()));
      EXPECT_EQ(got.bumped, want.bumped);
      EXPECT_TRUE(std::equal(want.map.words.begin(), want.map.words.end(), got.map.words.begin(),
                             got.map.words.end()));
      if (cs.k >= 3000) {
        EXPECT_LT(want.bumped.size(), cs.k / 10);
      }
    }
  }
}

// Many chunks finishing in every order: the first of a chunk's two gaps may be placed while the
// chunk is still handing itself in; every run must give the same level.
TEST(MphfLevelParallel, RepeatedBuildsWithManyChunks) {
  const std::uint64_t k = 400000;  // a later level of eight chunks
  const std::vector<std::uint64_t> keys = sorted(distinct_hashes(k, 5));
  ASSERT_EQ(level_shape(k, true).starts.size(), 8u);
  const LevelBuild first = build_level(k, HashInput::ordered(keys), 1, true);
  for (int rep = 0; rep < (QUENLITH_SANITIZED ? 6 : 40); ++rep) {
    const LevelBuild again = build_level(k, HashInput::ordered(keys), 8, true);
    ASSERT_TRUE(std::equal(first.level.seeds.begin(), first.level.seeds.end(),
                           again.level.seeds.begin(), again.level.seeds.end()));
    ASSERT_EQ(again.bumped, first.bumped);
  }
}

// ---- batched query ----

// A synthetic table of any shape: random seed bytes (some 0), a later level, a tail and a remap of
// random non-decreasing values. Not a perfect hash, but a table the query answers.
V2 synthetic(std::uint64_t n, std::uint64_t buckets, std::uint64_t part, bool with_tail,
             std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto random_level = [&](std::uint64_t slots, std::uint64_t b, std::uint64_t p) {
    Level l;
    l.slots = slots;
    l.buckets = b;
    l.part = p;
    l.mode = 2;
    l.shift = Level::shift_for(p, 2);
    l.seeds = Pages<std::uint8_t>::allocate(b);
    for (auto& s : l.seeds) s = rng() % 8 == 0 ? 0 : static_cast<std::uint8_t>(rng());
    return l;
  };
  V2 t;
  t.n = n;
  t.level0 = random_level(n, buckets, part);
  t.levels.push_back(random_level(3000, 700, 256));
  t.levels.push_back(random_level(500, 120, 256));
  std::uint64_t entries = 3500;
  if (with_tail) {
    t.tail_keys = 40;
    t.tail_buckets = 7;
    t.tail_slots = 42;
    t.tail_seed = rng();
    t.tail_seeds = Pages<std::uint16_t>::allocate(7);
    for (auto& s : t.tail_seeds) s = static_cast<std::uint16_t>(rng());
    entries += 42;
  }
  std::vector<std::uint64_t> values(entries);
  for (auto& v : values) v = rng() % n;
  std::sort(values.begin(), values.end());
  t.remap = Remap::encode(values, n);
  return t;
}

TEST(MphfBatched, EqualsSingleQueryOnEveryPath) {
  struct Shape {
    std::uint64_t n, buckets, part;
  };
  std::vector<Shape> shapes = {{100000, 262143, 1024},      // per-key path
                               {2000000, 262144, 1024},     // blocked, fixed geometry
                               {2000000, 300000, 512},      // blocked, general rule
                               {90000000, 16777216, 1024},  // short look-ahead, fixed geometry
                               {90000000, 16777216, 256}};  // short look-ahead, general rule
  std::mt19937_64 rng(1);
  for (const Shape& sh : shapes) {
    for (bool tail : {false, true}) {
      const Mphf m(synthetic(sh.n, sh.buckets, sh.part, tail, sh.buckets + tail));
      for (std::size_t len :
           {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 1023u, 1024u, 1025u, 1080u, 4099u}) {
        std::vector<std::uint64_t> hashes(len);
        for (auto& h : hashes) h = rng();
        const auto got = m.index_all(hashes);
        ASSERT_EQ(got.size(), len);
        for (std::size_t i = 0; i < len; ++i)
          ASSERT_EQ(got[i], m.index(hashes[i])) << sh.buckets << " len " << len << " at " << i;
      }
    }
  }
  // Every hash bumped at level 0: all ids come from the later levels, the tail or 0.
  V2 t = synthetic(2000000, 262144, 1024, false, 5);
  std::fill(t.level0->seeds.begin(), t.level0->seeds.end(), 0);
  const Mphf m(std::move(t));
  std::vector<std::uint64_t> hashes(3000);
  for (auto& h : hashes) h = rng();
  const auto got = m.index_all(hashes);
  for (std::size_t i = 0; i < hashes.size(); ++i)
    ASSERT_EQ(got[i], m.v2()->index_bumped(hashes[i]));
}

// ---- query rules ----

TEST(MphfQuery, PlacementRule) {
  std::mt19937_64 rng(12);
  for (std::uint32_t mode : {0u, 2u}) {
    for (std::uint64_t part : {64u, 256u, 512u, 1024u, 4096u}) {
      Level l;
      l.mode = mode;
      l.part = part;
      l.shift = Level::shift_for(part, mode);
      EXPECT_EQ(l.shift, mode == 2 ? std::bit_width(part) - 7 : (part < 512 ? 0u : 1u));
      for (int i = 0; i < 2000; ++i) {
        l.slots = part + rng() % 100000;
        const std::uint64_t x = rng();
        const std::uint8_t b = static_cast<std::uint8_t>(rng());
        const unsigned r = mode == 2 ? 8 * (b >> 6) : 0;
        const std::uint64_t d = mode == 2 ? (b & 63) : b;
        const std::uint64_t a = mulhi(l.slots, x);
        std::uint64_t pos = (((x >> r) + (d << l.shift)) % part) + a;
        if (pos >= l.slots) pos -= l.slots;
        ASSERT_EQ(l.position(x, b), pos);
        if (mode == 2 && part == 1024) {
          ASSERT_EQ(position_fixed(x, b, l.slots), pos);
        }
      }
    }
  }
  // A window that starts 10 slots before the end wraps to the level's start.
  Level l;
  l.mode = 2;
  l.part = 1024;
  l.shift = 4;
  l.slots = 5000;
  const std::uint64_t x =
      static_cast<std::uint64_t>((static_cast<unsigned __int128>(4990) << 64) / 5000) + 1;
  ASSERT_EQ(mulhi(5000, x), 4990u);
  const std::uint64_t off = ((x & 1023) + (std::uint64_t{63} << 4)) & 1023;
  EXPECT_EQ(l.position(x, 63), 4990 + off >= 5000 ? 4990 + off - 5000 : 4990 + off);
  EXPECT_EQ(wrapped(5005, 5000), 5u);
}

TEST(MphfQuery, LaterLevelsTailAndRemap) {
  V2 t = synthetic(100000, 20000, 1024, true, 3);
  std::mt19937_64 rng(4);
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t h = rng();
    std::uint64_t want;
    if (t.level0->seeds[mulhi(h, 20000)] != 0) {
      want = t.level0->position(h, t.level0->seeds[mulhi(h, 20000)]);
    } else {
      // Later level i rehashes with G * i, i from 1; then the tail; then the remap.
      std::uint64_t offset = 0, e = V2::kNoEntry;
      for (std::uint64_t li = 1; li <= 2 && e == V2::kNoEntry; ++li) {
        const Level& lv = t.levels[li - 1];
        const std::uint64_t x = mix(((G * li) ^ h) + G);
        const std::uint8_t b = lv.seeds[mulhi(x, lv.buckets)];
        if (b != 0) {
          e = offset + lv.position(x, b);
        } else {
          offset += lv.slots;
        }
      }
      if (e == V2::kNoEntry) {
        const std::uint64_t tt = mix((t.tail_seed ^ h) + G);
        const std::uint64_t s = t.tail_seeds[mulhi(tt, t.tail_buckets)];
        e = offset + mulhi(mix(tt + G + s * G), t.tail_slots);
      }
      want = t.remap.get(e);
    }
    ASSERT_EQ(t.index(h), want);
  }
  // Without a tail, a hash bumped past the last level gets 0.
  V2 nt = synthetic(100000, 20000, 1024, false, 3);
  std::fill(nt.level0->seeds.begin(), nt.level0->seeds.end(), 0);
  for (auto& lv : nt.levels) std::fill(lv.seeds.begin(), lv.seeds.end(), 0);
  EXPECT_EQ(nt.index(12345), 0u);
  EXPECT_EQ(nt.bumped_entry(12345), V2::kNoEntry);
  EXPECT_EQ(Mphf(V2{}).index(99), 0u);
}

// A table whose arrays are shorter than its counts say (no loader makes one) breaks the query's
// bounds invariant: the query panics, as the caller's boundary expects of any query, instead of
// ending the process.
TEST(MphfQuery, ATableShorterThanItsCountsPanics) {
  V2 t = synthetic(100000, 20000, 1024, true, 3);
  std::fill(t.level0->seeds.begin(), t.level0->seeds.end(), 0);
  t.levels.clear();
  t.tail_seeds = Pages<std::uint16_t>::allocate(0);
  const Mphf v2(std::move(t));
  EXPECT_THROW(v2.index(12345), Panic);
  V1 old;
  old.n = 10;
  old.parts = 1;
  old.buckets_per_part = 1;
  const Mphf v1(std::move(old));
  EXPECT_THROW(v1.index(12345), Panic);
}

}  // namespace
}  // namespace quenlith::mphf
