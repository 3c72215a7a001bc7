// The overlay beside its base alone and a std::unordered_map, measured in the same run:
//   - `id` through an empty overlay, and through overlays holding 1 % and 10 % additions and as
//     many tombstones, over a StringIndex and a PerfectHashIndex base;
//   - `add` per new key, beside inserting into an unordered_map;
//   - compaction (`compact`, `compact_to_file`) of the 10 % overlay, beside building the same
//     base from the same keys directly.
//
// Usage: overlay_bench [keys ...]   (default: 1000000 10000000)
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
#include "overlay.hpp"
#include "threads.hpp"

using namespace quenlith;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void line(const char* index, std::uint64_t n, unsigned threads, const std::string& figure,
          double value, const char* unit) {
  std::printf("%-22s keys=%-9llu threads=%-2u %-34s %10.2f %s\n", index,
              static_cast<unsigned long long>(n), threads, figure.c_str(), value, unit);
  std::fflush(stdout);
}

// ns a query of `f` over the queries: the best of three passes, after a warm-up over a prefix.
template <class F>
double per_query(const std::vector<std::string_view>& queries, F&& f) {
  std::uint64_t sink = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(queries.size(), 10000); ++i)
    sink += f(queries[i]);
  double best = 1e30;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    for (std::string_view q : queries) sink += f(q);
    best = std::min(best, seconds_since(t0));
  }
  if (sink == 42) std::puts("");
  return best * 1e9 / static_cast<double>(queries.size());
}

// The baseline map, looked up by string_view without making a string.
struct ViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>()(s);
  }
};
using Map = std::unordered_map<std::string, std::uint64_t, ViewHash, std::equal_to<>>;

// Queries: 1M keys drawn at random from `pool`, copied so that reading one costs what a
// caller's own key costs.
std::vector<std::string> draw(const std::vector<std::string>& pool, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  const std::size_t q = std::min<std::size_t>(pool.size(), 1'000'000);
  out.reserve(q);
  for (std::size_t i = 0; i < q; ++i) out.push_back(pool[rng() % pool.size()]);
  return out;
}

// An overlay over `base` with `share` of n additions (keys n .. n + share * n - 1) and as many
// ids retired, spread over base and additions alike.
template <class H>
overlay::Overlay<H> edited(const H& base, const std::vector<std::string>& extra, double share) {
  overlay::Overlay<H> ov(base);
  const std::uint64_t n = ov.base_len();
  const auto k = static_cast<std::uint64_t>(share * static_cast<double>(n));
  for (std::uint64_t i = 0; i < k; ++i) ov.add(extra[i]);
  std::mt19937_64 rng(5);
  for (std::uint64_t retired = 0; retired < k;) retired += ov.retire_id(rng() % ov.id_space());
  return ov;
}

template <class T, class Build>
void run_base(const char* name, std::uint64_t n, const std::vector<std::string>& keys,
              const std::vector<std::string>& extra, Build&& build_base) {
  using H = std::shared_ptr<const T>;
  const unsigned all = threads::available();
  auto t0 = Clock::now();
  const H base = build_base(keys);
  const double build_s = seconds_since(t0);
  line(name, n, all, "base build", build_s, "s");

  const auto members = draw(keys, 1);
  const std::vector<std::string_view> q(members.begin(), members.end());
  line(name, n, 1, "id: base alone", per_query(q, [&](auto k) { return *base->id(k); }), "ns");
  const overlay::Overlay<H> empty(base);
  line(name, n, 1, "id: empty overlay", per_query(q, [&](auto k) { return *empty.id(k); }), "ns");

  for (double share : {0.01, 0.10}) {
    const auto ov = edited(base, extra, share);
    // Queries over every key the overlay ever held, so that base hits, addition hits and
    // retired keys come in their proportions.
    std::vector<std::string> pool(keys.begin(), keys.end());
    for (std::uint64_t i = 0; i < ov.additions().count(); ++i)
      pool.emplace_back(ov.additions().get(i));
    const auto mixed = draw(pool, 2);
    const std::vector<std::string_view> mq(mixed.begin(), mixed.end());
    const std::string pct = std::to_string(static_cast<int>(share * 100)) + " %";
    line(name, n, 1, "id: base alone, " + pct + " pool",
         per_query(mq, [&](auto k) { return base->id(k).value_or(0); }), "ns");
    line(name, n, 1, "id: overlay +" + pct + " adds/-" + pct,
         per_query(mq, [&](auto k) { return ov.id(k).value_or(0); }), "ns");

    if (share == 0.10) {
      // Compaction of this overlay, beside building the same base from its live keys.
      const auto live = ov.keys();
      t0 = Clock::now();
      const H direct = build_base(live);
      line(name, n, all, "baseline: build live keys", seconds_since(t0), "s");
      t0 = Clock::now();
      const auto fresh = overlay::compact(ov);
      line(name, n, all, "compact", seconds_since(t0), "s");
      if (fresh.len() != ov.len()) std::abort();
      const auto path = std::filesystem::temp_directory_path() /
                        ("quenlith-overlay-bench-" + std::to_string(::getpid()) + ".blob");
      t0 = Clock::now();
      overlay::compact_to_file(ov, path);
      line(name, n, all, "compact_to_file", seconds_since(t0), "s");
      std::filesystem::remove(path);
    }
  }

  // add per key: n / 10 new keys into an empty overlay.
  overlay::Overlay<H> grow(base);
  const std::uint64_t adds = n / 10;
  t0 = Clock::now();
  for (std::uint64_t i = 0; i < adds; ++i) grow.add(extra[i]);
  line(name, n, 1, "add: new key", seconds_since(t0) * 1e9 / static_cast<double>(adds), "ns");
  t0 = Clock::now();
  for (std::uint64_t i = 0; i < adds; ++i) grow.add(extra[i]);
  line(name, n, 1, "add: already added", seconds_since(t0) * 1e9 / static_cast<double>(adds), "ns");
}

void run(std::uint64_t n) {
  const std::vector<std::string> keys = bench::make_keys(0, n);
  const std::vector<std::string> extra = bench::make_keys(n, n / 10);

  {
    // Baseline: a hash map from key to id over the same keys, and inserting into it.
    Map map;
    map.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) map.emplace(keys[i], i);
    const auto members = draw(keys, 1);
    const std::vector<std::string_view> q(members.begin(), members.end());
    line("unordered_map", n, 1, "id", per_query(q, [&](auto k) { return map.find(k)->second; }),
         "ns");
    const std::uint64_t adds = n / 10;
    const auto t0 = Clock::now();
    for (std::uint64_t i = 0; i < adds; ++i) map.emplace(extra[i], n + i);
    line("unordered_map", n, 1, "insert: new key",
         seconds_since(t0) * 1e9 / static_cast<double>(adds), "ns");
  }

  run_base<string_index::StringIndex>("overlay/string-index", n, keys, extra, [](const auto& ks) {
    return std::make_shared<const string_index::StringIndex>(
        string_index::StringIndex::build(std::span<const std::string>(ks)));
  });
  run_base<perfect_hash::PerfectHashIndex>(
      "overlay/perfect-hash", n, keys, extra, [](const auto& ks) {
        const std::vector<std::string_view> v(ks.begin(), ks.end());
        return std::make_shared<const perfect_hash::PerfectHashIndex>(
            perfect_hash::PerfectHashIndex::build(v));
      });
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("cores: %u\n", threads::available());
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1'000'000, 10'000'000};
  for (std::uint64_t n : sizes) run(n);
}
