#include "pair_sort.hpp"

#include <algorithm>
#include <bit>

namespace quenlith::pair_sort {

std::vector<Pair> hash_keys(std::span<const std::string_view> keys, unsigned threads) {
  std::vector<Pair> out(keys.size());
  threads::for_ranges(keys.size(), threads, [&](std::uint64_t lo, std::uint64_t hi, unsigned) {
    for (std::uint64_t i = lo; i < hi; ++i) out[i] = hash::hash_pair(keys[i]);
  });
  return out;
}

namespace {

// Insertion sort of pairs[lo, hi): the fastest sort for the few pairs of a sub-bucket.
void insertion_sort(std::span<Pair> pairs, std::size_t lo, std::size_t hi) {
  for (std::size_t i = lo + 1; i < hi; ++i) {
    const Pair x = pairs[i];
    std::size_t j = i;
    for (; j > lo && pair_less(x, pairs[j - 1]); --j) pairs[j] = pairs[j - 1];
    pairs[j] = x;
  }
}

}  // namespace

void sort_serial(std::span<Pair> pairs) {
  if (pairs.size() < 2) return;
  if (pairs.size() <= 20) {
    insertion_sort(pairs, 0, pairs.size());
    return;
  }
  std::sort(pairs.begin(), pairs.end(), pair_less);
}

// A counting pass on the next bits of h1 spreads the bucket into sub-buckets of about four pairs
// each, then each sub-bucket is sorted by insertion in `dst`. The bucket stays in cache
// throughout, where a comparison sort would take log2 of its size in passes.
void sort_bucket(std::span<const Pair> src, std::span<Pair> dst, std::vector<std::size_t>& counts) {
  const std::uint64_t m = src.size();
  if (m < 64) {
    std::copy(src.begin(), src.end(), dst.begin());
    sort_serial(dst);
    return;
  }
  // About four pairs a sub-bucket, at most 2^14 sub-buckets.
  const unsigned bits = std::min(14u, static_cast<unsigned>(std::bit_width(m / 4)));
  const unsigned shift = 64 - kBucketBits - bits;
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  auto sub = [&](const Pair& p) { return static_cast<std::size_t>((p.h1 >> shift) & mask); };
  counts.assign((std::size_t{1} << bits) + 1, 0);
  for (const Pair& p : src) ++counts[sub(p) + 1];
  for (std::size_t k = 1; k < counts.size(); ++k) counts[k] += counts[k - 1];
  for (const Pair& p : src) dst[counts[sub(p)]++] = p;
  // counts[k] is now the end of sub-bucket k, and the start of sub-bucket k + 1. A sub-bucket
  // of many pairs (only h1 values made to collide fill one) is sorted by comparison.
  std::size_t start = 0;
  for (std::size_t k = 0; k + 1 < counts.size(); ++k) {
    const std::size_t end = counts[k];
    if (end - start > 32)
      std::sort(dst.begin() + static_cast<std::ptrdiff_t>(start),
                dst.begin() + static_cast<std::ptrdiff_t>(end), pair_less);
    else
      insertion_sort(dst, start, end);
    start = end;
  }
}

std::vector<std::uint64_t> bucket_positions(std::span<std::uint64_t> counts, unsigned workers) {
  std::vector<std::uint64_t> bucket_start(kBuckets + 1, 0);
  std::uint64_t running = 0;
  for (std::uint64_t b = 0; b < kBuckets; ++b) {
    bucket_start[b] = running;
    for (unsigned w = 0; w < workers; ++w) {
      const std::uint64_t count = counts[w * kBuckets + b];
      counts[w * kBuckets + b] = running;
      running += count;
    }
  }
  bucket_start[kBuckets] = running;
  return bucket_start;
}

void sort(std::span<Pair> pairs, unsigned workers) {
  sort(
      pairs, workers,
      [&](unsigned, std::uint64_t lo, std::uint64_t hi, BucketCounter count) {
        for (std::uint64_t i = lo; i < hi; ++i) count(pairs[i].h1);
      },
      [](unsigned, std::uint64_t, std::uint64_t, std::uint64_t) {});
}

}  // namespace quenlith::pair_sort
