#include "pair_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "threads.hpp"

using namespace quenlith;
using pair_sort::Pair;

TEST(Part, TilesTheRangeWithNearEqualPieces) {
  for (std::uint64_t n : {0ull, 1ull, 7ull, 1024ull, 1025ull})
    for (std::uint64_t parts : {1ull, 2ull, 3ull, 8ull, 2000ull}) {
      std::uint64_t next = 0;
      for (std::uint64_t r = 0; r < parts; ++r) {
        const auto [lo, hi] = threads::part(n, parts, r);
        ASSERT_EQ(lo, next) << n << " " << parts << " " << r;
        ASSERT_LE(hi - lo, n / parts + 1);
        ASSERT_GE(hi - lo, n / parts);
        next = hi;
      }
      ASSERT_EQ(next, n);
    }
}

TEST(WorkersFor, NeverFewerThanOneNorThinnerThanTheMinimum) {
  EXPECT_EQ(threads::workers_for(0, 8, 100), 1u);
  EXPECT_EQ(threads::workers_for(1'000, 0, 100), 1u);
  EXPECT_EQ(threads::workers_for(1'000, 8, 100), 8u);
  EXPECT_EQ(threads::workers_for(450, 8, 100), 4u);
  EXPECT_EQ(pair_sort::workers_for(std::uint64_t{1} << 40, 5000), pair_sort::kBuckets);
}

TEST(ForRanges, CoversEveryItemOnceForAnyThreadCount) {
  for (std::uint64_t n : {0ull, 1ull, 131'071ull, 131'072ull, 500'001ull})
    for (unsigned t : {0u, 1u, 3u, 8u}) {
      std::vector<std::uint8_t> hits(n, 0);
      threads::for_ranges(n, t, [&](std::uint64_t lo, std::uint64_t hi, unsigned) {
        for (std::uint64_t i = lo; i < hi; ++i) ++hits[i];
      });
      ASSERT_TRUE(std::ranges::all_of(hits, [](std::uint8_t h) { return h == 1; }))
          << n << " " << t;
    }
}

// The callbacks of the pipeline: `fill` writes the pairs and counts them; `after` sees each
// bucket sorted, in ascending order within a run, and the runs tile the table.
TEST(PairSort, CallbacksSeeEveryBucketSortedAndTheRunsTileTheTable) {
  for (std::uint64_t n : {0ull, 5ull, 1023ull, 1024ull, 70'000ull})
    for (unsigned workers : {1u, 3u, 8u}) {
      std::mt19937_64 rng(n * 7 + workers);
      std::vector<Pair> source(n);
      for (auto& p : source) p = Pair{rng() % (n / 2 + 1) * 0x9E3779B97F4A7C15ULL, rng() % 4};
      std::vector<Pair> pairs(n);
      std::mutex m;
      std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;  // (lo, hi) of each bucket
      std::vector<std::uint64_t> last_hi(workers, ~0ull);
      const pair_sort::Runs runs = pair_sort::sort(
          pairs, workers,
          [&](unsigned, std::uint64_t lo, std::uint64_t hi, pair_sort::BucketCounter count) {
            for (std::uint64_t i = lo; i < hi; ++i) {
              pairs[i] = source[i];
              count(pairs[i].h1);
            }
          },
          [&](unsigned w, std::uint64_t run_lo, std::uint64_t lo, std::uint64_t hi) {
            ASSERT_TRUE(
                std::is_sorted(pairs.begin() + lo, pairs.begin() + hi, pair_sort::pair_less));
            ASSERT_EQ(lo, last_hi[w] == ~0ull ? run_lo : last_hi[w]);
            last_hi[w] = hi;
            std::lock_guard lock(m);
            seen.emplace_back(lo, hi);
          });
      std::vector<Pair> model = source;
      std::sort(model.begin(), model.end(), pair_sort::pair_less);
      ASSERT_EQ(pairs, model) << n << " " << workers;
      ASSERT_EQ(runs.workers(), workers);
      ASSERT_EQ(runs.lo(0), 0u);
      ASSERT_EQ(runs.hi(workers - 1), n);
      for (unsigned w = 0; w < workers; ++w) {
        ASSERT_LE(runs.lo(w), runs.hi(w));
        if (last_hi[w] != ~0ull) {
          ASSERT_EQ(last_hi[w], runs.hi(w));
        }
      }
      // Equal h1 never straddles two runs.
      for (unsigned w = 1; w < workers; ++w)
        if (runs.lo(w) > 0 && runs.lo(w) < n) {
          ASSERT_NE(pairs[runs.lo(w)].h1, pairs[runs.lo(w) - 1].h1);
        }
      std::uint64_t covered = 0;
      for (const auto& [lo, hi] : seen) covered += hi - lo;
      ASSERT_EQ(covered, n);
    }
}
