// Build time, size, lookup time and mapped-load time of the three hash indexes, beside a
// std::unordered_map<std::string, uint32_t> over the same keys, measured in the same run.
//
// Usage: hash_index_bench [--only=INDEX] [keys ...]   (default: 1000000 10000000)
// --only=INDEX (repeatable) measures only the indexes named (perfect-hash, compact-hash,
// closed-hash, unordered_map).
//
// Keys are generated deterministically: half word-like (8 to 20 bytes), half URL-like (about 30
// to 60 bytes). Key i ends in a fixed-width 8-byte syllable code of i, so keys are distinct, and
// the non-members are the keys N .. 2N - 1 of the same generator.
// Each line: index, keys, threads, figure, value.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench_keys.hpp"
#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "perfect_hash.hpp"
#include "threads.hpp"

using namespace quenlith;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void line(const char* index, std::uint64_t n, unsigned threads, const char* figure, double value,
          const char* unit) {
  std::printf("%-16s keys=%-9llu threads=%-2u %-28s %10.2f %s\n", index,
              static_cast<unsigned long long>(n), threads, figure, value, unit);
  std::fflush(stdout);
}

// Allocation bytes of the baseline map (nodes, buckets and long strings).
std::uint64_t g_map_bytes = 0;
template <class T>
struct Counting {
  using value_type = T;
  Counting() = default;
  template <class U>
  Counting(const Counting<U>&) noexcept {}
  T* allocate(std::size_t n) {
    g_map_bytes += n * sizeof(T);
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    g_map_bytes -= n * sizeof(T);
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const Counting<U>&) const noexcept {
    return true;
  }
};
using CString = std::basic_string<char, std::char_traits<char>, Counting<char>>;
struct CHash {
  using is_transparent = void;
  std::size_t operator()(const CString& s) const noexcept {
    return std::hash<std::string_view>()(std::string_view(s));
  }
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>()(s);
  }
};
struct CEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};
using Map = std::unordered_map<CString, std::uint32_t, CHash, CEq,
                               Counting<std::pair<const CString, std::uint32_t>>>;

// Times `f` over the queries once (after a warm-up pass over a prefix) and returns ns a query.
template <class F>
double per_query(const std::vector<std::string_view>& queries, F&& f) {
  std::uint64_t sink = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(queries.size(), 10000); ++i)
    sink += f(queries[i]);
  const auto t0 = Clock::now();
  for (std::string_view q : queries) sink += f(q);
  const double s = seconds_since(t0);
  if (sink == 42) std::puts("");
  return s * 1e9 / static_cast<double>(queries.size());
}

// Times a batched lookup over the queries in batches of `batch`.
template <class F>
double per_query_batched(const std::vector<std::string_view>& queries, std::size_t batch, F&& f) {
  std::uint64_t sink = 0;
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < queries.size(); i += batch) {
    const std::size_t m = std::min(batch, queries.size() - i);
    sink += f(std::span<const std::string_view>(queries.data() + i, m));
  }
  const double s = seconds_since(t0);
  if (sink == 42) std::puts("");
  return s * 1e9 / static_cast<double>(queries.size());
}

template <class Index, class Load>
double mmap_load_ms(const Index& idx, const std::filesystem::path& path, Load&& load) {
  idx.save(path);
  double best = 1e30;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    auto loaded = load(path);
    best = std::min(best, seconds_since(t0));
    if (loaded.len() != idx.len()) std::abort();
  }
  std::filesystem::remove(path);
  return best * 1e3;
}

std::vector<std::string> g_only;
bool wanted(const char* index) {
  return g_only.empty() || std::find(g_only.begin(), g_only.end(), index) != g_only.end();
}

void run(std::uint64_t n) {
  const unsigned all = threads::available();
  const std::vector<std::string> keys = bench::make_keys(0, n);
  const std::vector<std::string> others =
      bench::make_keys(n, std::min<std::uint64_t>(n, 1'000'000));
  std::uint64_t total = 0;
  for (const auto& k : keys) total += k.size();
  line("corpus", n, all, "mean key bytes", static_cast<double>(total) / static_cast<double>(n),
       "B");
  std::vector<std::string_view> key_views(keys.begin(), keys.end());
  // Queries: 1M members drawn at random, 1M non-members.
  // Member queries are copies, so that reading a query's bytes costs what it costs for a
  // caller's own list, not a cache miss into the corpus.
  std::vector<std::string> member_store;
  {
    std::mt19937_64 rng(99);
    for (std::size_t i = 0; i < std::min<std::uint64_t>(n, 1'000'000); ++i)
      member_store.push_back(keys[rng() % n]);
  }
  const std::vector<std::string_view> members(member_store.begin(), member_store.end());
  const std::vector<std::string_view> strangers(others.begin(), others.end());
  const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                        ("quenlith-bench-" + std::to_string(::getpid()) + ".blob");
  const double dn = static_cast<double>(n);
  constexpr std::size_t kBatch = 65536;

  // PerfectHashIndex
  if (wanted("perfect-hash")) {
    std::unique_ptr<perfect_hash::PerfectHashIndex> idx;
    for (unsigned t : {1u, all}) {
      idx.reset();
      const auto t0 = Clock::now();
      idx = std::make_unique<perfect_hash::PerfectHashIndex>(
          perfect_hash::PerfectHashIndex::build_with_threads(key_views, false, t));
      line("perfect-hash", n, t, "build", seconds_since(t0) * 1e9 / dn, "ns/key");
    }
    line("perfect-hash", n, all, "blob", static_cast<double>(idx->serialized_len()) / dn, "B/key");
    line("perfect-hash", n, 1, "id member", per_query(members, [&](auto q) { return *idx->id(q); }),
         "ns");
    line("perfect-hash", n, 1, "id non-member",
         per_query(strangers, [&](auto q) { return idx->id(q).has_value(); }), "ns");
    auto batch = [&](std::span<const std::string_view> b) { return idx->ids_of(b).size(); };
    line("perfect-hash", n, 1, "ids_of member", per_query_batched(members, kBatch, batch), "ns");
    line("perfect-hash", n, 1, "ids_of non-member", per_query_batched(strangers, kBatch, batch),
         "ns");
    line("perfect-hash", n, 1, "load_mmap",
         mmap_load_ms(*idx, scratch,
                      [](auto& p) { return perfect_hash::PerfectHashIndex::load_mmap(p); }),
         "ms");
    auto fp = perfect_hash::PerfectHashIndex::build_with_threads(key_views, true, all);
    line("perfect-hash+fp", n, all, "blob", static_cast<double>(fp.serialized_len()) / dn, "B/key");
    line("perfect-hash+fp", n, 1, "id non-member",
         per_query(strangers, [&](auto q) { return fp.id(q).has_value(); }), "ns");
  }

  // CompactHashIndex, 8 bits
  if (wanted("compact-hash")) {
    std::unique_ptr<compact_hash::CompactHashIndex> idx;
    for (unsigned t : {1u, all}) {
      idx.reset();
      const auto t0 = Clock::now();
      std::vector<hash::Pair> pairs = pair_sort::hash_keys(key_views, t);
      idx = std::make_unique<compact_hash::CompactHashIndex>(
          compact_hash::CompactHashIndex::build_from_pairs_with_threads(std::move(pairs), 8, t));
      line("compact-hash/8", n, t, "build", seconds_since(t0) * 1e9 / dn, "ns/key");
    }
    line("compact-hash/8", n, all, "blob", static_cast<double>(idx->serialized_len()) / dn,
         "B/key");
    line("compact-hash/8", n, 1, "id member",
         per_query(members, [&](auto q) { return *idx->id(q); }), "ns");
    line("compact-hash/8", n, 1, "id non-member",
         per_query(strangers, [&](auto q) { return idx->id(q).has_value(); }), "ns");
    auto batch = [&](std::span<const std::string_view> b) { return idx->ids_of(b).size(); };
    line("compact-hash/8", n, 1, "ids_of member", per_query_batched(members, kBatch, batch), "ns");
    line("compact-hash/8", n, 1, "ids_of non-member", per_query_batched(strangers, kBatch, batch),
         "ns");
    line("compact-hash/8", n, 1, "load_mmap",
         mmap_load_ms(*idx, scratch,
                      [](auto& p) { return compact_hash::CompactHashIndex::load_mmap(p); }),
         "ms");
  }

  // ClosedHashIndex
  if (wanted("closed-hash")) {
    std::unique_ptr<closed_hash::ClosedHashIndex> idx;
    for (unsigned t : {1u, all}) {
      idx.reset();
      const auto t0 = Clock::now();
      std::vector<hash::Pair> pairs = pair_sort::hash_keys(key_views, t);
      idx = std::make_unique<closed_hash::ClosedHashIndex>(
          closed_hash::ClosedHashIndex::build_from_pairs_with_threads(std::move(pairs), t));
      line("closed-hash", n, t, "build", seconds_since(t0) * 1e9 / dn, "ns/key");
    }
    line("closed-hash", n, all, "blob", static_cast<double>(idx->serialized_len()) / dn, "B/key");
    line("closed-hash", n, 1, "id member", per_query(members, [&](auto q) { return idx->id(q); }),
         "ns");
    line("closed-hash", n, 1, "id non-member",
         per_query(strangers, [&](auto q) { return idx->id(q); }), "ns");
    auto batch = [&](std::span<const std::string_view> b) { return idx->ids_of(b).size(); };
    line("closed-hash", n, 1, "ids_of member", per_query_batched(members, kBatch, batch), "ns");
    line("closed-hash", n, 1, "ids_of non-member", per_query_batched(strangers, kBatch, batch),
         "ns");
    line("closed-hash", n, 1, "load (no mmap form)",
         mmap_load_ms(*idx, scratch, [](auto& p) { return closed_hash::ClosedHashIndex::load(p); }),
         "ms");
  }

  // Baseline: std::unordered_map<std::string, uint32_t>.
  if (wanted("unordered_map")) {
    g_map_bytes = 0;
    const auto t0 = Clock::now();
    Map map;
    for (std::size_t i = 0; i < n; ++i)
      map.emplace(CString(keys[i].data(), keys[i].size()), static_cast<std::uint32_t>(i));
    line("unordered_map", n, 1, "build", seconds_since(t0) * 1e9 / dn, "ns/key");
    line("unordered_map", n, 1, "memory", static_cast<double>(g_map_bytes) / dn, "B/key");
    line("unordered_map", n, 1, "find member",
         per_query(members, [&](auto q) { return map.find(q)->second; }), "ns");
    line("unordered_map", n, 1, "find non-member",
         per_query(strangers, [&](auto q) { return map.find(q) == map.end(); }), "ns");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg.starts_with("--only="))
      g_only.emplace_back(arg.substr(7));
    else
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  }
  if (sizes.empty()) sizes = {1'000'000, 10'000'000};
  std::printf("online processors: %u\n", threads::available());
  for (std::uint64_t n : sizes) run(n);
}
