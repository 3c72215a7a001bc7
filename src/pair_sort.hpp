// The parallel pipeline that the hash-index builders share: hash the keys into (h1, h2) pairs,
// spread the pairs by the top bits of h1 into buckets (a radix partition), sort each bucket on
// its own while it is in cache, and hand each worker a run of whole buckets to split.
//
// A radix pass spreads the pairs over 2^10 buckets by the top 10 bits of h1: many more buckets
// than workers, so runs of buckets balance, and few enough that a worker's scatter streams stay
// in cache. Buckets are contiguous ranges of h1, so sorting each on its own sorts the whole, and a
// stretch of equal h1 never spans two buckets. Pairs equal in (h1, h2) are alike in every bit, so
// the order is the one any sort by (h1, h2) gives, whatever the number of workers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hash.hpp"
#include "pages.hpp"
#include "threads.hpp"

namespace quenlith::pair_sort {

using hash::Pair;

inline constexpr unsigned kBucketBits = 10;
inline constexpr std::uint64_t kBuckets = std::uint64_t{1} << kBucketBits;
// Fewer pairs than this are sorted by comparison alone: the radix pass would cost more.
inline constexpr std::uint64_t kRadixMin = 1024;
// Fewer pairs than this a build worker does not take: a thread would cost more than it saves.
inline constexpr std::uint64_t kMinPairsPerWorker = 16384;

inline std::size_t bucket_of(std::uint64_t h1) noexcept {
  return static_cast<std::size_t>(h1 >> (64 - kBucketBits));
}

inline bool pair_less(const Pair& a, const Pair& b) noexcept {
  return a.h1 != b.h1 ? a.h1 < b.h1 : a.h2 < b.h2;
}

// The workers a build gives `n` pairs: `threads`, none with fewer than `kMinPairsPerWorker`
// pairs, at most one a bucket, at least 1.
inline unsigned workers_for(std::uint64_t n, unsigned threads) noexcept {
  return std::min(threads::workers_for(n, threads, kMinPairsPerWorker),
                  static_cast<unsigned>(kBuckets));
}

// The hash pairs of `keys`, in order, computed on up to `threads` threads.
std::vector<Pair> hash_keys(std::span<const std::string_view> keys, unsigned threads);

// Sorts `pairs` by (h1, h2) on the calling thread: insertion sort up to 20 pairs, else an
// unstable comparison sort.
void sort_serial(std::span<Pair> pairs);

// Sorts the pairs of one bucket from `src` into `dst` (as long, disjoint) by (h1, h2). `counts`
// is the calling worker's reusable buffer.
void sort_bucket(std::span<const Pair> src, std::span<Pair> dst, std::vector<std::size_t>& counts);

// Counts pairs into one worker's buckets; `fill` calls it once for every pair of its range.
class BucketCounter {
 public:
  explicit BucketCounter(std::uint64_t* counts) noexcept : counts_(counts) {}
  void operator()(std::uint64_t h1) const noexcept { ++counts_[bucket_of(h1)]; }

 private:
  std::uint64_t* counts_;
};

// Where the workers' runs of whole buckets lie in the sorted table: worker w's run is
// [lo(w), hi(w)), and the runs ascend with w.
struct Runs {
  std::vector<std::uint64_t> start;  // workers + 1 positions
  unsigned workers() const noexcept { return static_cast<unsigned>(start.size() - 1); }
  std::uint64_t lo(unsigned w) const noexcept { return start[w]; }
  std::uint64_t hi(unsigned w) const noexcept { return start[w + 1]; }
};

// Turns per-worker bucket counts (`workers` rows of `kBuckets`) into each worker's first position
// in every bucket, in place, and returns the buckets' start positions (kBuckets + 1 of them).
std::vector<std::uint64_t> bucket_positions(std::span<std::uint64_t> counts, unsigned workers);

// Sorts the pairs of `pairs` by (h1, h2) on `workers` threads (at most `kBuckets`), holding a
// scratch table as large while it runs.
//
// fill(w, lo, hi, count) runs first on worker w for the consecutive range [lo, hi) of `pairs`: it
// writes the range's pairs (or leaves what is there) and calls count(h1) once for each. Then a
// radix pass scatters the pairs by bucket into the scratch table (each worker's pairs into its
// own run of every bucket), and each worker sorts a run of whole buckets back into `pairs`,
// calling after(w, run_lo, lo, hi) on each bucket's sorted positions [lo, hi), in ascending order
// from its run's first position `run_lo`, while they are in cache. Below `kRadixMin` pairs worker
// 0 alone fills, sorts by comparison and calls after(0, 0, 0, n) once; the other runs are empty.
template <class Fill, class After>
Runs sort(std::span<Pair> pairs, unsigned workers, Fill&& fill, After&& after) {
  const std::uint64_t n = pairs.size();
  check_invariant(workers >= 1 && workers <= kBuckets, "a pair sort has 1 to 1,024 workers");
  std::vector<std::uint64_t> next(std::size_t{workers} * kBuckets, 0);
  if (n < kRadixMin) {
    fill(0u, std::uint64_t{0}, n, BucketCounter(next.data()));
    sort_serial(pairs);
    after(0u, std::uint64_t{0}, std::uint64_t{0}, n);
    Runs runs;
    runs.start.assign(workers + 1, n);  // worker 0 has them all
    runs.start[0] = 0;
    return runs;
  }
  threads::run_workers(workers, [&](unsigned w) {
    const auto [lo, hi] = threads::part(n, workers, w);
    fill(w, lo, hi, BucketCounter(next.data() + std::size_t{w} * kBuckets));
  });
  const std::vector<std::uint64_t> bucket_start = bucket_positions(next, workers);
  auto scratch = pages::Pages<Pair>::allocate(n);
  threads::run_workers(workers, [&](unsigned w) {
    const auto [lo, hi] = threads::part(n, workers, w);
    std::uint64_t* to = next.data() + std::size_t{w} * kBuckets;
    for (std::uint64_t i = lo; i < hi; ++i) {
      const Pair p = pairs[i];
      scratch[to[bucket_of(p.h1)]++] = p;
    }
  });
  Runs runs;
  runs.start.resize(workers + 1);
  for (unsigned w = 0; w < workers; ++w)
    runs.start[w] = bucket_start[threads::part(kBuckets, workers, w).first];
  runs.start[workers] = n;
  threads::run_workers(workers, [&](unsigned w) {
    const auto [b0, b1] = threads::part(kBuckets, workers, w);
    std::vector<std::size_t> counts;
    for (std::uint64_t b = b0; b < b1; ++b) {
      const std::uint64_t lo = bucket_start[b];
      const std::uint64_t len = bucket_start[b + 1] - lo;
      sort_bucket(scratch.span().subspan(lo, len), pairs.subspan(lo, len), counts);
      after(w, runs.lo(w), lo, lo + len);
    }
  });
  return runs;
}

// `sort` of pairs already in place, with nothing to do after each bucket.
void sort(std::span<Pair> pairs, unsigned workers);

}  // namespace quenlith::pair_sort
