// The minimal perfect hash over random 64-bit hashes, beside a plain baseline measured in the
// same run (std::unordered_map<uint64_t, uint32_t> of the same hashes):
//   build time per key, on 1 thread and on every online processor (and the baseline's inserts);
//   bits per key of the "MPH3" section;
//   single-query and batched-query time per key over the members in random order (and the
//   baseline's finds in the same order).
//
// Peers measured on the same hashes where installed: BBHash (gamma 2, the density its authors
// recommend, and gamma 1, its smallest) and cmph's CHD, the same figures for each.
//
// Usage: mphf_bench [key counts...]   (default: 1000000 10000000)
// Each line: the figure, its configuration, its value. Build and query figures are the best of a
// few repetitions (one for 50 million keys and more).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#if QUENLITH_HAVE_BBHASH
// The peer's header is not ours to fix: GCC 12 warns about its internals once its templates
// are instantiated here (-Wmaybe-uninitialized), so that warning is silenced for this include only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <BooPHF.h>
#pragma GCC diagnostic pop
#endif
#if QUENLITH_HAVE_CMPH
#include <cmph.h>
#endif

#include "mphf.hpp"
#include "threads.hpp"
#include "bench_util.hpp"

namespace {

using namespace quenlith;
using bench::best_of;
using bench::Clock;
using bench::g_sink;

#if QUENLITH_HAVE_BBHASH
using BBHash = boomphf::mphf<std::uint64_t, boomphf::SingleHashFunctor<std::uint64_t>>;
#endif

#if QUENLITH_HAVE_CMPH
// cmph's handles, released on every path out.
struct CmphDeleter {
  void operator()(cmph_t* m) const { cmph_destroy(m); }
  void operator()(cmph_config_t* c) const { cmph_config_destroy(c); }
  void operator()(cmph_io_adapter_t* a) const { cmph_io_struct_vector_adapter_destroy(a); }
};
template <class T>
using CmphPtr = std::unique_ptr<T, CmphDeleter>;

CmphPtr<cmph_t> build_chd(std::vector<std::uint64_t>& hashes) {
  const CmphPtr<cmph_io_adapter_t> source(
      cmph_io_struct_vector_adapter(hashes.data(), sizeof(std::uint64_t), 0, sizeof(std::uint64_t),
                                    static_cast<cmph_uint32>(hashes.size())));
  const CmphPtr<cmph_config_t> config(cmph_config_new(source.get()));
  cmph_config_set_algo(config.get(), CMPH_CHD);
  return CmphPtr<cmph_t>(cmph_new(config.get()));
}
#endif

// The peers' figures over the same hashes, queried in the same order.
void run_peers([[maybe_unused]] std::vector<std::uint64_t>& hashes,
               [[maybe_unused]] const std::vector<std::uint64_t>& order,
               [[maybe_unused]] int reps) {
  [[maybe_unused]] const double per = 1e9 / static_cast<double>(hashes.size());
#if QUENLITH_HAVE_BBHASH
  for (double gamma : {2.0, 1.0}) {
    for (unsigned t : {1u, threads::available()}) {
      const double s = best_of(reps, [&] {
        BBHash m(hashes.size(), hashes, static_cast<int>(t), gamma, false, false);
        g_sink = m.nbKeys();
      });
      std::printf("  peer bbhash gamma=%.0f build threads=%-2u %8.1f ns/key\n", gamma, t, s * per);
    }
    BBHash m(hashes.size(), hashes, static_cast<int>(threads::available()), gamma, false, false);
    const double q = best_of(reps, [&] {
      std::uint64_t sum = 0;
      for (std::uint64_t h : order) sum += m.lookup(h);
      g_sink = sum;
    });
    std::printf("  peer bbhash gamma=%.0f %.4f bits/key, query single %8.1f ns/key\n", gamma,
                static_cast<double>(m.totalBitSize()) / static_cast<double>(hashes.size()),
                q * per);
  }
#else
  std::printf("  peer bbhash: not installed (libbbhash-dev)\n");
#endif
#if QUENLITH_HAVE_CMPH
  const double s = best_of(1, [&] { g_sink = cmph_size(build_chd(hashes).get()); });
  std::printf("  peer cmph chd build threads=1  %8.1f ns/key\n", s * per);
  const CmphPtr<cmph_t> chd = build_chd(hashes);
  if (!chd) {
    std::printf("  peer cmph chd: build failed\n");
    return;
  }
  const double q = best_of(reps, [&] {
    std::uint64_t sum = 0;
    for (const std::uint64_t& h : order)
      sum += cmph_search(chd.get(), reinterpret_cast<const char*>(&h), sizeof h);
    g_sink = sum;
  });
  std::printf("  peer cmph chd %.4f bits/key, query single %8.1f ns/key\n",
              8.0 * cmph_packed_size(chd.get()) / static_cast<double>(hashes.size()), q * per);
#else
  std::printf("  peer cmph: not installed (libcmph-dev)\n");
#endif
}

void run(std::uint64_t n) {
  std::mt19937_64 rng(n);
  std::vector<std::uint64_t> hashes(n);
  for (auto& h : hashes) h = rng();
  std::vector<std::uint64_t> order = hashes;
  std::shuffle(order.begin(), order.end(), rng);
  const int reps = n >= 50000000 ? 1 : n >= 5000000 ? 2 : 3;
  const double per = 1e9 / static_cast<double>(n);
  const unsigned all = threads::available();

  std::printf("mphf keys=%llu cores=%u\n", static_cast<unsigned long long>(n), all);
  for (unsigned t : {1u, all}) {
    const double s = best_of(reps, [&] { g_sink = mphf::Mphf::build_with_threads(hashes, t).n(); });
    std::printf("  build          threads=%-2u  %8.1f ns/key  (%.3f s)\n", t, s * per, s);
  }
  const mphf::Mphf m = mphf::Mphf::build_with_threads(hashes, all);
  const mphf::V2& v = *m.v2();
  std::printf(
      "  section        %.4f bits/key  (%llu bytes; %zu later levels, %llu tail keys, %llu remap "
      "entries)\n",
      static_cast<double>(m.byte_len()) * 8.0 / static_cast<double>(n),
      static_cast<unsigned long long>(m.byte_len()), v.levels.size(),
      static_cast<unsigned long long>(v.tail_keys), static_cast<unsigned long long>(v.remap.len));
  const double single = best_of(reps, [&] {
    std::uint64_t sum = 0;
    for (std::uint64_t h : order) sum += m.index(h);
    g_sink = sum;
  });
  std::printf("  query single   %8.1f ns/key\n", single * per);
  const double batched = best_of(reps, [&] {
    const std::vector<std::uint64_t> ids = m.index_all(order);
    g_sink = ids.back();
  });
  std::printf("  query batched  %8.1f ns/key\n", batched * per);

  // Baseline.
  double base_build = 1e30, base_find = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    std::unordered_map<std::uint64_t, std::uint32_t> map;
    map.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) map.emplace(hashes[i], static_cast<std::uint32_t>(i));
    const auto t1 = Clock::now();
    std::uint64_t sum = 0;
    for (std::uint64_t h : order) sum += map.find(h)->second;
    g_sink = sum;
    const auto t2 = Clock::now();
    base_build = std::min(base_build, std::chrono::duration<double>(t1 - t0).count());
    base_find = std::min(base_find, std::chrono::duration<double>(t2 - t1).count());
  }
  std::printf("  baseline std::unordered_map build %8.1f ns/key, find %8.1f ns/key\n",
              base_build * per, base_find * per);
  run_peers(hashes, order, reps);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1000000, 10000000};
  for (std::uint64_t n : sizes) run(n);
  return 0;
}
