// Transducer map benchmark: build throughput, bytes per key, and lookup time for members and
// non-members, with std::unordered_map and a sorted vector measured in the same run.
//
// Usage: fst_bench [generated-keys] (default 3,000,000). The word list comes from the test
// vectors (words_100000). Single-threaded: the builder and get() use one thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "vectors.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Keys shaped like paths: a few shared components and a random tail, sorted and unique.
std::vector<std::string> generate_keys(std::size_t n, std::uint64_t seed) {
  static const char* const dirs[] = {"api/",  "docs/",     "img/",     "static/",
                                     "user/", "v2/items/", "search?q="};
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-_";
  std::vector<std::string> keys;
  keys.reserve(n);
  std::uint64_t s = seed;
  while (keys.size() < n) {
    std::string k = dirs[splitmix(s) % 7];
    const std::size_t len = 4 + splitmix(s) % 16;
    for (std::size_t i = 0; i < len; ++i) k += alphabet[splitmix(s) % (sizeof alphabet - 1)];
    keys.push_back(std::move(k));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Keys not in `keys`: each a member with its last byte changed to one outside the alphabet.
std::vector<std::string> non_members(const std::vector<std::string>& keys, std::size_t n,
                                     std::uint64_t seed) {
  std::vector<std::string> out;
  out.reserve(n);
  std::uint64_t s = seed;
  while (out.size() < n) {
    std::string k = keys[splitmix(s) % keys.size()];
    k.back() = static_cast<char>('A' + splitmix(s) % 26);
    if (!std::binary_search(keys.begin(), keys.end(), k)) out.push_back(std::move(k));
  }
  return out;
}

void line(const char* set, std::size_t nkeys, const char* index, const char* figure, double value,
          const char* unit) {
  std::printf("set=%s keys=%zu threads=1 index=%s %s=%.2f %s\n", set, nkeys, index, figure, value,
              unit);
}

void run(const char* set, const std::vector<std::string>& keys) {
  const std::size_t n = keys.size();
  std::uint64_t key_bytes = 0;
  for (auto& k : keys) key_bytes += k.size();
  line(set, n, "input", "key_bytes_per_key",
       static_cast<double>(key_bytes) / static_cast<double>(n), "B");

  // Build: memory and file.
  auto t0 = Clock::now();
  fst::MapBuilder b = fst::MapBuilder::memory();
  for (std::size_t i = 0; i < n; ++i) b.insert(bytes_of(keys[i]), i);
  const std::vector<std::uint8_t> bytes = b.into_inner();
  double t = seconds_since(t0);
  line(set, n, "fst-memory", "build", static_cast<double>(n) / t / 1e6, "Mkeys/s");
  line(set, n, "fst", "size_per_key", static_cast<double>(bytes.size()) / static_cast<double>(n),
       "B");

  const auto path = std::filesystem::temp_directory_path() / "fst_bench.fst";
  t0 = Clock::now();
  {
    fst::MapBuilder fb = fst::MapBuilder::create(path);
    for (std::size_t i = 0; i < n; ++i) fb.insert(bytes_of(keys[i]), i);
    fb.finish();
  }
  t = seconds_since(t0);
  std::filesystem::remove(path);
  line(set, n, "fst-file", "build", static_cast<double>(n) / t / 1e6, "Mkeys/s");

  t0 = Clock::now();
  std::unordered_map<std::string, std::uint64_t> um;
  um.reserve(n);
  for (std::size_t i = 0; i < n; ++i) um.emplace(keys[i], i);
  t = seconds_since(t0);
  line(set, n, "unordered_map", "build", static_cast<double>(n) / t / 1e6, "Mkeys/s");

  const fst::Fst f(bytes);
  t0 = Clock::now();
  f.verify();
  t = seconds_since(t0);
  line(set, n, "fst", "verify", static_cast<double>(bytes.size()) / t / 1e9, "GB/s");

  // Lookups in shuffled order so the walk does not follow the file's layout.
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
  const std::vector<std::string> absent = non_members(keys, std::min<std::size_t>(n, 1000000), 7);

  std::uint64_t sink = 0;
  t0 = Clock::now();
  for (std::uint32_t i : order) sink += f.get(bytes_of(keys[i])).value_or(0);
  line(set, n, "fst", "get_member", seconds_since(t0) * 1e9 / static_cast<double>(n), "ns/key");
  if (sink != static_cast<std::uint64_t>(n) * (n - 1) / 2)
    std::printf("MISMATCH in fst member lookups\n");
  std::size_t found = 0;
  t0 = Clock::now();
  for (auto& k : absent) found += f.get(bytes_of(k)).has_value();
  line(set, n, "fst", "get_non_member",
       seconds_since(t0) * 1e9 / static_cast<double>(absent.size()), "ns/key");
  if (found != 0) std::printf("MISMATCH: non-members found\n");

  sink = 0;
  t0 = Clock::now();
  for (std::uint32_t i : order) sink += um.find(keys[i])->second;
  line(set, n, "unordered_map", "get_member", seconds_since(t0) * 1e9 / static_cast<double>(n),
       "ns/key");
  t0 = Clock::now();
  for (auto& k : absent) found += um.count(k);
  line(set, n, "unordered_map", "get_non_member",
       seconds_since(t0) * 1e9 / static_cast<double>(absent.size()), "ns/key");

  t0 = Clock::now();
  for (std::uint32_t i : order)
    sink += static_cast<std::uint64_t>(std::lower_bound(keys.begin(), keys.end(), keys[i]) -
                                       keys.begin());
  line(set, n, "sorted_vector", "get_member", seconds_since(t0) * 1e9 / static_cast<double>(n),
       "ns/key");
  t0 = Clock::now();
  for (auto& k : absent) found += std::binary_search(keys.begin(), keys.end(), k);
  line(set, n, "sorted_vector", "get_non_member",
       seconds_since(t0) * 1e9 / static_cast<double>(absent.size()), "ns/key");
  if (found != 0) std::printf("MISMATCH: baseline found non-members\n");
  std::printf("# checksum %llu\n", static_cast<unsigned long long>(sink));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t generated = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000000;
  std::printf("# nproc=%u (builder and lookups are single-threaded)\n",
              std::thread::hardware_concurrency());

  std::vector<std::string> words;
  for (auto& [k, v] : fst_test::large_case().keys) words.emplace_back(k.begin(), k.end());
  run("words_100000", words);

  run("generated_paths", generate_keys(generated, 1));
  return 0;
}
