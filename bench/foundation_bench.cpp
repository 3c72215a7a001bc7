// Throughput of the storage primitives, each beside a baseline measured in the same run:
//   hash_pair on short and long keys          vs std::hash<std::string_view>
//   BlockHasher over a large payload          vs std::hash<std::string_view> over the same chunks
//   StringArena build and random access       vs std::vector<std::string>
//   external sort with a budget that spills   vs std::sort + std::unique in memory
//
// Usage: foundation_bench [scratch-directory]   (default: the system's temporary directory)
// Every figure is the best of several repetitions, single-threaded (the primitives are).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "blob.hpp"
#include "extsort.hpp"
#include "hash.hpp"
#include "threads.hpp"
#include "bench_util.hpp"

namespace {

using namespace quenlith;
using bench::best_of;
using bench::Clock;
using bench::g_sink;

// Keys packed into one buffer, so the loops measure hashing, not allocation.
struct Packed {
  std::string bytes;
  std::vector<std::uint64_t> starts;  // n + 1
  std::size_t size() const { return starts.size() - 1; }
  std::string_view key(std::size_t i) const {
    return std::string_view(bytes).substr(starts[i], starts[i + 1] - starts[i]);
  }
};

Packed random_keys(std::size_t n, std::size_t min_len, std::size_t max_len, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Packed p;
  p.starts.push_back(0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t len = min_len + rng() % (max_len - min_len + 1);
    for (std::size_t j = 0; j < len; ++j) p.bytes.push_back(static_cast<char>('a' + rng() % 26));
    p.starts.push_back(p.bytes.size());
  }
  return p;
}

void bench_hash_pair(const Packed& keys, const char* label) {
  const double bytes = static_cast<double>(keys.bytes.size());
  const double ours = best_of(5, [&] {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const hash::Pair p = hash::hash_pair(keys.key(i));
      acc ^= p.h1 + p.h2;
    }
    g_sink = acc;
  });
  const double base = best_of(5, [&] {
    std::uint64_t acc = 0;
    std::hash<std::string_view> h;
    for (std::size_t i = 0; i < keys.size(); ++i) acc ^= h(keys.key(i));
    g_sink = acc;
  });
  std::printf(
      "hash_pair keys=%zu len=%s threads=1 GB/s=%.2f Mkeys/s=%.1f | baseline "
      "std::hash<string_view> "
      "GB/s=%.2f Mkeys/s=%.1f\n",
      keys.size(), label, bytes / ours / 1e9, keys.size() / ours / 1e6, bytes / base / 1e9,
      keys.size() / base / 1e6);
}

void bench_block_hasher() {
  const std::size_t total = 256u << 20;
  std::vector<std::uint8_t> payload(total);
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < total; i += 8) {
    const std::uint64_t w = rng();
    std::memcpy(payload.data() + i, &w, 8);
  }
  for (std::size_t chunk : {std::size_t{8192}, std::size_t{1} << 20}) {
    const double ours = best_of(5, [&] {
      blob::BlockHasher h;
      for (std::size_t i = 0; i < total; i += chunk) h.update(std::span(payload).subspan(i, chunk));
      g_sink = h.finish();
    });
    const double base = best_of(5, [&] {
      std::uint64_t acc = 0;
      std::hash<std::string_view> h;
      for (std::size_t i = 0; i < total; i += chunk)
        acc ^= h(std::string_view(reinterpret_cast<const char*>(payload.data()) + i, chunk));
      g_sink = acc;
    });
    std::printf(
        "BlockHasher bytes=%zu chunk=%zu threads=1 GB/s=%.2f | baseline std::hash<string_view> "
        "GB/s=%.2f\n",
        total, chunk, total / ours / 1e9, total / base / 1e9);
  }
  const double one_shot = best_of(5, [&] { g_sink = blob::hash_block(payload); });
  std::printf("hash_block bytes=%zu threads=1 GB/s=%.2f\n", total, total / one_shot / 1e9);
}

void bench_arena(const Packed& keys, const char* label) {
  std::vector<std::string_view> views(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) views[i] = keys.key(i);
  std::optional<arena::StringArena> built;
  const double build = best_of(
      3, [&] { built = arena::StringArena::assemble(views, views.size(), keys.bytes.size()); });
  std::vector<std::string> owned;
  const double base_build = best_of(3, [&] { owned.assign(views.begin(), views.end()); });

  std::mt19937_64 rng(3);
  std::vector<std::uint32_t> probes(1u << 22);
  for (auto& p : probes) p = static_cast<std::uint32_t>(rng() % keys.size());
  const double lookup = best_of(3, [&] {
    std::uint64_t acc = 0;
    for (std::uint32_t i : probes) acc += built->entry(i)->size();
    g_sink = acc;
  });
  const double base_lookup = best_of(3, [&] {
    std::uint64_t acc = 0;
    for (std::uint32_t i : probes) acc += owned[i].size();
    g_sink = acc;
  });
  std::uint64_t owned_bytes = owned.capacity() * sizeof(std::string);
  for (const auto& s : owned)
    if (s.size() > 15) owned_bytes += s.capacity() + 1;
  std::printf(
      "StringArena keys=%zu len=%s tag=%u image_bytes=%zu build_MB/s=%.0f entry_ns=%.1f | baseline "
      "vector<string> bytes=%llu build_MB/s=%.0f index_ns=%.1f\n",
      keys.size(), label, built->tag(), built->image().size(), keys.bytes.size() / build / 1e6,
      lookup / probes.size() * 1e9, static_cast<unsigned long long>(owned_bytes),
      keys.bytes.size() / base_build / 1e6, base_lookup / probes.size() * 1e9);
}

void bench_extsort(const std::filesystem::path& scratch) {
  // A few million word-like keys, about a fifth of them repeats.
  const std::size_t n = 4'000'000;
  const Packed distinct = random_keys(n * 4 / 5, 4, 28, 11);
  std::mt19937_64 rng(13);
  std::vector<std::string_view> keys;
  keys.reserve(n);
  for (std::size_t i = 0; i < distinct.size(); ++i) keys.push_back(distinct.key(i));
  while (keys.size() < n) keys.push_back(distinct.key(rng() % distinct.size()));
  std::shuffle(keys.begin(), keys.end(), rng);
  std::uint64_t input_bytes = 0;
  for (auto k : keys) input_bytes += k.size();
  const double mb = input_bytes / 1e6;

  std::size_t baseline_distinct = 0;
  const double base = best_of(3, [&] {
    std::vector<std::string_view> v(keys);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    baseline_distinct = v.size();
  });

  const std::filesystem::path output = scratch / "bench.out";
  for (std::uint64_t budget :
       {std::uint64_t{1} << 30, std::uint64_t{16} << 20, std::uint64_t{256} << 10}) {
    double push_s = 1e30, pass1_s = 1e30, pass2_s = 1e30;
    std::size_t runs = 0, delivered = 0;
    for (int rep = 0; rep < 3; ++rep) {
      extsort::Sorter sorter(output, budget, "bench: a key longer than the run budget");
      auto t0 = Clock::now();
      for (auto k : keys) sorter.push(k);
      extsort::Replay& replay = sorter.finish();
      auto t1 = Clock::now();
      runs = sorter.runs().numbers().size();
      std::size_t count = 0;
      std::uint64_t acc = 0;
      replay.for_each([&](std::string_view k) {
        ++count;
        acc += k.size();
      });
      auto t2 = Clock::now();
      replay.for_each([&](std::string_view k) { acc += k.size(); });
      auto t3 = Clock::now();
      g_sink = acc;
      delivered = count;
      push_s = std::min(push_s, std::chrono::duration<double>(t1 - t0).count());
      pass1_s = std::min(pass1_s, std::chrono::duration<double>(t2 - t1).count());
      pass2_s = std::min(pass2_s, std::chrono::duration<double>(t3 - t2).count());
    }
    if (delivered != baseline_distinct) {
      std::fprintf(stderr, "extsort delivered %zu keys, the baseline %zu\n", delivered,
                   baseline_distinct);
      std::exit(1);
    }
    std::printf(
        "extsort keys=%zu distinct=%zu input_MB=%.1f budget=%llu runs=%zu threads=1 "
        "push+spill_MB/s=%.0f first_pass_MB/s=%.0f total_MB/s=%.0f second_pass_MB/s=%.0f | "
        "baseline std::sort+unique in memory MB/s=%.0f\n",
        keys.size(), delivered, mb, static_cast<unsigned long long>(budget), runs, mb / push_s,
        mb / pass1_s, mb / (push_s + pass1_s), mb / pass2_s, mb / base);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path scratch_root =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const std::filesystem::path scratch =
      scratch_root / ("quenlith_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch);
  std::printf("foundation_bench cores=%u (every figure single-threaded)\n", threads::available());
  try {
    const Packed short_keys = random_keys(4'000'000, 8, 16, 1);
    const Packed long_keys = random_keys(65'536, 1024, 1024, 2);
    bench_hash_pair(short_keys, "8-16");
    bench_hash_pair(long_keys, "1024");
    bench_block_hasher();
    bench_arena(short_keys, "8-16");
    bench_arena(random_keys(1'000'000, 20, 60, 4), "20-60");
    bench_extsort(scratch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "foundation_bench: %s\n", e.what());
    std::filesystem::remove_all(scratch);
    return 1;
  }
  std::filesystem::remove_all(scratch);
  return 0;
}
