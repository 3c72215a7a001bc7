// The transducer index against the marisa trie (when installed) on the same keys: size, builds,
// lookups both ways, prefix listings, counts, fuzzy queries against a brute-force scan, and
// load times.
//
//   string_index_bench [corpus ...]   corpus: a word-list path, or "urls:N" for N URL-like keys
//
// Without arguments: /usr/share/dict/american-english, /usr/share/dict/polish and urls:1000000.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_keys.hpp"
#include "bench_util.hpp"
#include "blob.hpp"
#include "string_index.hpp"

#ifdef QUENLITH_HAVE_MARISA
#include <marisa.h>
#endif

using namespace quenlith;
using string_index::StringIndex;

namespace {

using bench::read_lines;
using bench::url_keys;

std::vector<std::uint32_t> scalars(std::string_view s) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t c = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t j = 1; j < len && i + j < s.size(); ++j)
      c = c << 6 | (static_cast<std::uint8_t>(s[i + j]) & 0x3F);
    out.push_back(c);
    i += len;
  }
  return out;
}

// Edit distance over scalars, giving up (returning d + 1) once every cell of a row exceeds d.
std::uint32_t bounded_distance(const std::vector<std::uint32_t>& x,
                               const std::vector<std::uint32_t>& y, std::uint32_t d) {
  if ((x.size() > y.size() ? x.size() - y.size() : y.size() - x.size()) > d) return d + 1;
  std::vector<std::uint32_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = static_cast<std::uint32_t>(j);
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::uint32_t diag = row[0];
    row[0] = static_cast<std::uint32_t>(i);
    std::uint32_t best = row[0];
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::uint32_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (x[i - 1] == y[j - 1] ? 0u : 1u)});
      diag = up;
      best = std::min(best, row[j]);
    }
    if (best > d) return d + 1;
  }
  return row[y.size()];
}

void line(const std::string& corpus, std::size_t n, const char* index, const char* figure,
          double value, const char* unit) {
  std::printf("corpus=%s keys=%zu index=%s %s=%.3f %s\n", corpus.c_str(), n, index, figure, value,
              unit);
  std::fflush(stdout);
}

void run(const std::string& name, std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::size_t n = keys.size();
  std::vector<std::string_view> views(keys.begin(), keys.end());
  std::vector<std::string_view> shuffled = views;
  std::mt19937_64 rng(7);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);

  // --- builds (best of three below two million keys: the first run also warms the allocator) ---
  const int build_reps = n > 2000000 ? 1 : 3;
  StringIndex idx;
  const double t_build = bench::best_of(
      build_reps, [&] { idx = StringIndex::build(std::span<const std::string_view>(shuffled)); });
  line(name, n, "string_index", "build_mem", n / t_build / 1e6, "Mkeys/s");
  const std::filesystem::path out =
      std::filesystem::temp_directory_path() / ("string_index_bench." + std::to_string(::getpid()));
  const double t_stream = bench::best_of(build_reps, [&] {
    key_source::Strings src(shuffled);
    StringIndex::build_to_file(src, out);
  });
  line(name, n, "string_index", "build_streamed", n / t_stream / 1e6, "Mkeys/s");
  const double t_sorted = bench::best_of(build_reps, [&] {
    key_source::Strings src(views);
    StringIndex::build_sorted_to_file(src, out);
  });
  line(name, n, "string_index", "build_sorted_streamed", n / t_sorted / 1e6, "Mkeys/s");
  line(name, n, "string_index", "bytes_per_key", double(idx.serialized_len()) / n, "B");

  // --- loads ---
  const std::vector<std::uint8_t> blob = idx.to_bytes();
  const blob::SharedBytes shared = blob::SharedBytes::from_owned(blob);
  const int load_reps = n > 2000000 ? 1 : 5;
  line(name, n, "string_index", "load_trusted",
       bench::best_of(load_reps,
                      [&] { bench::g_sink = StringIndex::from_shared(shared, false).len(); }) *
           1e3,
       "ms");
  line(name, n, "string_index", "load_verified",
       bench::best_of(load_reps,
                      [&] { bench::g_sink = StringIndex::from_shared(shared, true).len(); }) *
           1e3,
       "ms");
  line(name, n, "string_index", "load_untrusted",
       bench::best_of(load_reps,
                      [&] { bench::g_sink = StringIndex::from_shared_untrusted(shared).len(); }) *
           1e3,
       "ms");

  // --- lookups ---
  const std::size_t probes = std::min<std::size_t>(n, 1000000);
  const double t_id = bench::best_of(3, [&] {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < probes; ++i) s += *idx.id(shuffled[i]);
    bench::g_sink = s;
  });
  line(name, n, "string_index", "id", t_id / probes * 1e9, "ns/op");
  std::vector<std::uint64_t> ids(probes);
  for (std::size_t i = 0; i < probes; ++i) ids[i] = rng() % n;
  const double t_key = bench::best_of(3, [&] {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < probes; ++i) s += idx.key(ids[i])->size();
    bench::g_sink = s;
  });
  line(name, n, "string_index", "key", t_key / probes * 1e9, "ns/op");

  // Prefixes: the first few bytes of random keys.
  std::vector<std::string> prefixes;
  for (std::size_t i = 0; i < 20000; ++i) {
    const std::string& k = keys[rng() % n];
    prefixes.push_back(
        k.substr(0, std::min<std::size_t>(k.size(), name.rfind("urls", 0) == 0 ? 16 : 3)));
  }
  const double t_prefix = bench::best_of(3, [&] {
    std::uint64_t s = 0;
    for (const auto& p : prefixes) s += idx.prefix(p, 10).size();
    bench::g_sink = s;
  });
  line(name, n, "string_index", "prefix10", t_prefix / prefixes.size() * 1e9, "ns/op");
  const double t_count = bench::best_of(3, [&] {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i + 1 < prefixes.size(); i += 2)
      s += idx.range_count(prefixes[i], prefixes[i + 1]);
    bench::g_sink = s;
  });
  line(name, n, "string_index", "range_count", t_count / (prefixes.size() / 2) * 1e9, "ns/op");
  const double t_count_vec = bench::best_of(3, [&] {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i + 1 < prefixes.size(); i += 2) {
      const auto a = std::lower_bound(views.begin(), views.end(), std::string_view(prefixes[i]));
      const auto b =
          std::lower_bound(views.begin(), views.end(), std::string_view(prefixes[i + 1]));
      s += b > a ? static_cast<std::uint64_t>(b - a) : 0;
    }
    bench::g_sink = s;
  });
  line(name, n, "sorted_vector", "range_count", t_count_vec / (prefixes.size() / 2) * 1e9, "ns/op");

  // --- fuzzy, against a brute-force scan over every key ---
  for (const std::size_t len : {6, 10}) {
    std::vector<std::string> queries;
    for (std::size_t i = 0; i < n && queries.size() < 10; ++i) {
      const std::string& k = keys[rng() % n];
      if (scalars(k).size() >= len) {
        std::string q;
        std::size_t chars = 0, at = 0;
        while (chars < len) {
          const auto b = static_cast<std::uint8_t>(k[at]);
          const std::size_t l = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
          q += k.substr(at, l);
          at += l;
          ++chars;
        }
        queries.push_back(q);
      }
    }
    if (queries.empty()) continue;
    for (const std::uint32_t d : {1u, 2u}) {
      std::uint64_t found = 0;
      const double t_fuzzy = bench::best_of(1, [&] {
        for (const auto& q : queries) found += idx.fuzzy(q, d).size();
      });
      const double t_brute = bench::best_of(1, [&] {
        std::uint64_t s = 0;
        for (const auto& q : queries) {
          const auto qs = scalars(q);
          for (const auto& k : keys) s += bounded_distance(scalars(k), qs, d) <= d;
        }
        bench::g_sink = s;
      });
      char fig[32];
      std::snprintf(fig, sizeof fig, "fuzzy_len%zu_d%u", len, d);
      line(name, n, "string_index", fig, t_fuzzy / queries.size() * 1e6, "us/op");
      line(name, n, "brute_force", fig, t_brute / queries.size() * 1e6, "us/op");
      if (found != bench::g_sink)
        std::printf("fuzzy and brute force disagree: %llu vs %llu\n", (unsigned long long)found,
                    (unsigned long long)bench::g_sink);
    }
  }

#ifdef QUENLITH_HAVE_MARISA
  marisa::Trie trie;
  const double t_mbuild = bench::best_of(build_reps, [&] {
    marisa::Keyset ks;
    for (auto k : shuffled) ks.push_back(k.data(), k.size());
    trie.build(ks);
  });
  line(name, n, "marisa", "build_mem", n / t_mbuild / 1e6, "Mkeys/s");
  line(name, n, "marisa", "bytes_per_key", double(trie.io_size()) / n, "B");
  const double t_mid = bench::best_of(3, [&] {
    marisa::Agent agent;
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < probes; ++i) {
      agent.set_query(shuffled[i].data(), shuffled[i].size());
      trie.lookup(agent);
      s += agent.key().id();
    }
    bench::g_sink = s;
  });
  line(name, n, "marisa", "id", t_mid / probes * 1e9, "ns/op");
  const double t_mkey = bench::best_of(3, [&] {
    marisa::Agent agent;
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < probes; ++i) {
      agent.set_query(static_cast<std::size_t>(ids[i]));
      trie.reverse_lookup(agent);
      s += agent.key().length();
    }
    bench::g_sink = s;
  });
  line(name, n, "marisa", "key", t_mkey / probes * 1e9, "ns/op");
  const double t_mprefix = bench::best_of(3, [&] {
    marisa::Agent agent;
    std::uint64_t s = 0;
    for (const auto& p : prefixes) {
      agent.set_query(p.data(), p.size());
      std::vector<std::string> got;  // the same work as the index: owned keys
      while (got.size() < 10 && trie.predictive_search(agent))
        got.emplace_back(agent.key().ptr(), agent.key().length());
      s += got.size();
    }
    bench::g_sink = s;
  });
  line(name, n, "marisa", "prefix10", t_mprefix / prefixes.size() * 1e9, "ns/op");
#endif
  std::filesystem::remove(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> corpora(argv + 1, argv + argc);
  if (corpora.empty())
    corpora = {"/usr/share/dict/american-english", "/usr/share/dict/polish", "urls:1000000"};
  std::printf("threads=%ld (the builds and queries here run on one)\n",
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const std::string& c : corpora) {
    if (c.rfind("urls:", 0) == 0) {
      run(c, url_keys(std::stoull(c.substr(5))));
    } else {
      run(std::filesystem::path(c).filename().string(), read_lines(c));
    }
  }
}
