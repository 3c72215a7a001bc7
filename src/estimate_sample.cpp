// The corpus shape and the two draws the model is fed from, taken in one pass over sorted keys.
//
// Both draws choose keys by a hash of the key's bytes alone, so they depend on nothing but the
// corpus: not on the thread count, the run, or whether the keys came from memory or a keys file.
#include <algorithm>
#include <cstring>

#include "bytes.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "hash.hpp"
#include "threads.hpp"

namespace quenlith::estimate {

namespace {

// Byte order; an insertion sort for a handful of keys, an unstable sort beyond.
template <class Key>
void sort_keys(std::vector<Key>& keys) {
  auto less = [](const Key& a, const Key& b) { return std::string_view(a) < std::string_view(b); };
  if (keys.size() <= 20) {
    for (std::size_t i = 1; i < keys.size(); ++i)
      for (std::size_t j = i; j > 0 && less(keys[j], keys[j - 1]); --j)
        std::swap(keys[j], keys[j - 1]);
    return;
  }
  std::sort(keys.begin(), keys.end(), less);
}

// Moves the `k` entries of smallest first element to the front and drops the rest; returns the
// largest kept first element, or UINT64_MAX when none is kept.
template <class Entry>
std::uint64_t keep_smallest(std::vector<Entry>& entries, std::size_t k) {
  check_invariant(k != 0, "a sample keeps at least one entry");
  std::nth_element(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(k - 1),
                   entries.end(), [](const Entry& a, const Entry& b) { return a.first < b.first; });
  entries.resize(k);
  std::uint64_t largest = 0;
  for (const Entry& e : entries) largest = std::max(largest, e.first);
  return entries.empty() ? UINT64_MAX : largest;
}

// Keys a worker counts or samples at the least.
constexpr std::uint64_t kStretch = 1 << 16;

}  // namespace

// ---- Shape ----

Shape Shape::of(std::span<const std::string_view> keys) {
  return detail::shape_of(keys, threads::workers_for(keys.size(), threads::available(), kStretch));
}

Shape detail::shape_of(std::span<const std::string_view> keys, unsigned parts) {
  // The keys are at hand: each compares with its neighbours in place, with no ring of copies,
  // and stretches of keys are counted apart and summed.
  const std::uint64_t n = keys.size();
  std::vector<Shape> sums(parts);
  threads::run_workers(parts, [&](unsigned r) {
    const auto [lo, hi] = threads::part(n, parts, r);
    Shape& s = sums[r];
    for (std::uint64_t i = lo; i < hi; ++i) {
      s.total_len += keys[i].size();
      if (i > 0) s.lcp_prev += bytes::common_prefix(keys[i], keys[i - 1]);
      if (i >= 32) {
        s.lcp_back32 += bytes::common_prefix(keys[i], keys[i - 32]);
        s.pairs_back32 += 1;
      }
    }
  });
  Shape shape;
  shape.count = n;
  for (const Shape& s : sums) {
    shape.total_len += s.total_len;
    shape.lcp_prev += s.lcp_prev;
    shape.lcp_back32 += s.lcp_back32;
    shape.pairs_back32 += s.pairs_back32;
  }
  return shape;
}

double Shape::mean_length() const noexcept {
  return static_cast<double>(total_len) / static_cast<double>(std::max<std::uint64_t>(count, 1));
}

double Shape::mean_lcp() const noexcept {
  return static_cast<double>(lcp_prev) / static_cast<double>(std::max<std::uint64_t>(count, 2) - 1);
}

double Shape::mean_restart_suffix() const noexcept {
  const double back = pairs_back32 > 0
                          ? static_cast<double>(lcp_back32) / static_cast<double>(pairs_back32)
                          : mean_lcp();
  return mean_length() - back;
}

void ShapeWalk::push(std::string_view key) {
  const std::uint64_t c = shape_.count;
  shape_.total_len += key.size();
  if (c > 0) shape_.lcp_prev += bytes::common_prefix(key, ring_[(c - 1) % 32]);
  if (c >= 32) {
    // The slot still holds the key 32 places back, about to be overwritten.
    shape_.lcp_back32 += bytes::common_prefix(key, ring_[c % 32]);
    shape_.pairs_back32 += 1;
  }
  if (ring_.size() < 32)
    ring_.emplace_back(key);
  else
    ring_[c % 32].assign(key);
  shape_.count += 1;
}

// ---- Sample hash ----

std::uint64_t sample_hash(std::string_view key) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : key) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return hash::mix(h);
}

// ---- Hash draw ----

template <class Key>
void HashSample<Key>::offer(std::string_view key) {
  const std::uint64_t h = sample_hash(key);
  if (h > threshold_) return;
  entries_.emplace_back(h, Key(key));
  if (k_ != 0 && entries_.size() >= 2 * k_) trim();
}

template <class Key>
void HashSample<Key>::trim() {
  if (entries_.size() <= k_) return;
  threshold_ = keep_smallest(entries_, k_);
}

template <class Key>
void HashSample<Key>::absorb(HashSample&& other) {
  entries_.reserve(entries_.size() + other.entries_.size());
  for (auto& e : other.entries_) entries_.push_back(std::move(e));
  threshold_ = std::min(threshold_, other.threshold_);
  trim();
}

template <class Key>
std::vector<Key> HashSample<Key>::finish() && {
  trim();
  std::vector<Key> keys;
  keys.reserve(entries_.size());
  for (auto& e : entries_) keys.push_back(std::move(e.second));
  sort_keys(keys);
  return keys;
}

// ---- Run draw ----

template <class Key>
void RunSample<Key>::offer(std::string_view key) {
  const std::uint64_t p = seen_++;
  if (p % run_len_ == 0) {
    open_.reset();
    const std::uint64_t h = sample_hash(key);
    if (h <= threshold_) pending_ = h;
  }
  if (pending_) {
    std::vector<Key> run;
    run.emplace_back(key);
    runs_.emplace_back(*pending_, std::move(run));
    pending_.reset();
    open_ = runs_.size() - 1;
    if (runs_.size() >= 2 * k_) trim();
  } else if (open_) {
    runs_[*open_].second.emplace_back(key);
  }
}

template <class Key>
void RunSample<Key>::trim() {
  if (runs_.size() <= k_) return;
  std::optional<std::uint64_t> open_hash;
  if (open_) open_hash = runs_[*open_].first;
  threshold_ = keep_smallest(runs_, k_);
  // The open run is known by its hash after the reordering; a dropped one stays closed.
  open_.reset();
  if (open_hash) {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      if (runs_[i].first == *open_hash) {
        open_ = i;
        break;
      }
    }
  }
}

template <class Key>
void RunSample<Key>::absorb(RunSample&& other) {
  // The other stretch comes later: a run open here has ended.
  open_ = other.open_ ? std::optional<std::size_t>(runs_.size() + *other.open_) : std::nullopt;
  pending_.reset();
  for (auto& run : other.runs_) runs_.push_back(std::move(run));
  seen_ += other.seen_;
  threshold_ = std::min(threshold_, other.threshold_);
  trim();
}

template <class Key>
std::vector<Key> RunSample<Key>::finish() && {
  trim();
  std::vector<Key> keys;
  std::size_t total = 0;
  for (const auto& run : runs_) total += run.second.size();
  keys.reserve(total);
  for (auto& run : runs_)
    for (auto& key : run.second) keys.push_back(std::move(key));
  // Every run is a stretch of the sorted corpus: the sort only puts the runs back in order.
  sort_keys(keys);
  return keys;
}

template class HashSample<std::string_view>;
template class HashSample<std::string>;
template class RunSample<std::string_view>;
template class RunSample<std::string>;

std::pair<std::vector<std::string_view>, std::vector<std::string_view>> draws(
    std::span<const std::string_view> keys) {
  return detail::draws(keys, threads::workers_for(keys.size(), threads::available(), kStretch));
}

std::pair<std::vector<std::string_view>, std::vector<std::string_view>> detail::draws(
    std::span<const std::string_view> keys, unsigned parts) {
  // Stretches start at multiples of the run length, so that no run straddles two of them.
  constexpr std::uint64_t kRunLen = 4096;
  const std::uint64_t n = keys.size();
  std::vector<HashSample<std::string_view>> by_hash(parts);
  std::vector<RunSample<std::string_view>> by_run(parts, RunSample<std::string_view>(24, kRunLen));
  auto start = [&](unsigned r) {
    const std::uint64_t lo = threads::part(n, parts, r).first;
    return std::min(n, (lo + kRunLen - 1) / kRunLen * kRunLen);
  };
  threads::run_workers(parts, [&](unsigned r) {
    const std::uint64_t hi = r + 1 < parts ? start(r + 1) : n;
    for (std::uint64_t i = start(r); i < hi; ++i) {
      by_hash[r].offer(keys[i]);
      by_run[r].offer(keys[i]);
    }
  });
  for (unsigned r = 1; r < parts; ++r) {
    by_hash[0].absorb(std::move(by_hash[r]));
    by_run[0].absorb(std::move(by_run[r]));
  }
  return {std::move(by_hash[0]).finish(), std::move(by_run[0]).finish()};
}

}  // namespace quenlith::estimate
