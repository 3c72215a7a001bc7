// The dictionary index against the marisa trie (when installed) on the same keys, and against
// xz -9 and zstd -19 of the sorted key list: bytes a key with and without phrases, build speed at
// one and all threads, in memory and streamed with peak resident memory, lookups both ways for
// members and non-members, and the hashed sidecar's size and lookups.
//
//   dict_bench [corpus ...]   corpus: a word-list path, "dpkg" for the paths the installed
//                             packages list, or "urls:N" for N URL-like keys
//   dict_bench --builds [corpus ...]
//                             only the build: DictIndex (block 256) at one thread and at all
//                             threads beside marisa's build of the same keys, each in a fresh
//                             process with its peak resident memory and processor time, best
//                             of --reps=R runs
//   dict_bench --mine KEYS THREADS REPS
//                             phrase mining alone on the training pieces of a block-256 build
//   dict_bench --blob KEYS BLOCK THREADS OUT
//                             writes the blob DictIndex builds from the key file at THREADS
//                             threads (0: the streamed build), to compare builds byte for byte
//
// Without corpora: /usr/share/dict/american-english, /usr/share/dict/polish, dpkg and
// urls:1000000.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_keys.hpp"
#include "bench_util.hpp"
#include "dict_index.hpp"
#include "hashed_dict.hpp"
#include "threads.hpp"

#ifdef QUENLITH_HAVE_MARISA
#include <marisa.h>
#endif

using namespace quenlith;
using dict_index::DictIndex;

namespace {

using bench::read_lines;
using bench::url_keys;

std::vector<std::string> command_lines(const std::string& cmd) {
  std::vector<std::string> out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  std::string cur;
  for (int c; (c = std::fgetc(p)) != EOF;) {
    if (c == '\n') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(c));
    }
  }
  ::pclose(p);
  return out;
}

void line(const std::string& corpus, std::size_t n, const std::string& index, const char* figure,
          double value, const char* unit) {
  std::printf("corpus=%s keys=%zu index=%s %s=%.3f %s\n", corpus.c_str(), n, index.c_str(), figure,
              value, unit);
  std::fflush(stdout);
}

// A "Vm...:" figure of this process in KiB, 0 when absent.
std::uint64_t status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string l; std::getline(status, l);)
    if (l.rfind(field, 0) == 0) return std::stoull(l.substr(std::strlen(field)));
  return 0;
}

// The processor time this process used so far, user and system, over all its threads.
double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs this program again as a fresh process with `args`; returns (seconds, the peak resident
// MiB that process reports for itself, VmHWM of its own address space).
std::pair<double, double> in_child(const std::vector<std::string>& args) {
  std::string cmd = std::filesystem::read_symlink("/proc/self/exe").string();
  for (const auto& a : args) cmd += " '" + a + "'";
  const auto t0 = bench::Clock::now();
  const auto out = command_lines(cmd);
  const double s = std::chrono::duration<double>(bench::Clock::now() - t0).count();
  return {s, out.empty() ? -1 : std::stod(out.back()) / 1024.0};
}

// The child side of `in_child`: "--child mem|stream KEYS BLOCK OUT".
int child(char** argv) {
  const std::string mode = argv[2];
  const std::uint64_t block = std::stoull(argv[4]);
  if (mode == "mem") {
    const std::vector<std::string> keys = read_lines(argv[3]);
    const std::vector<std::string_view> views(keys.begin(), keys.end());
    DictIndex::build_with_block(views, block).save(argv[5]);
  } else {
    key_source::KeysFile source(argv[3]);
    DictIndex::build_to_file_runs(source, argv[5], block);
  }
  std::ifstream status("/proc/self/status");
  for (std::string l; std::getline(status, l);)
    if (l.rfind("VmHWM:", 0) == 0) std::printf("%s\n", l.substr(6, l.size() - 6 - 3).c_str());
  return 0;
}

// The child side of `builds`: "--build-child dict|marisa KEYS THREADS" prints the seconds the
// build took, then the peak resident KiB of the process and its resident KiB with only the keys
// loaded.
int build_child(char** argv) {
  const std::string what = argv[2];
  const std::vector<std::string> keys = read_lines(argv[3]);
  const auto threads = static_cast<unsigned>(std::stoul(argv[4]));
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  const std::uint64_t loaded = status_kib("VmRSS:");
  const double cpu0 = cpu_seconds();
  const auto t0 = bench::Clock::now();
  std::uint64_t size = 0;
  if (what == "dict") {
    size = DictIndex::build_with_threads(views, 256, threads).serialized_len();
  } else {
#ifdef QUENLITH_HAVE_MARISA
    marisa::Keyset ks;
    for (auto k : views) ks.push_back(k.data(), k.size());
    marisa::Trie trie;
    trie.build(ks);
    size = trie.io_size();
#endif
  }
  const double s = std::chrono::duration<double>(bench::Clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu0;
  std::printf("%.6f %llu %llu %llu %.6f\n", s,
              static_cast<unsigned long long>(status_kib("VmHWM:")),
              static_cast<unsigned long long>(loaded), static_cast<unsigned long long>(size), cpu);
  return 0;
}

// "--mine KEYS THREADS REPS": phrase mining alone on the keys' block-256 training pieces, best
// wall and processor seconds of REPS runs.
int mine_child(char** argv) {
  std::vector<std::string> keys = read_lines(argv[2]);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  const auto threads = static_cast<unsigned>(std::stoul(argv[3]));
  const int reps = std::stoi(argv[4]);
  const auto pieces = dict_index::build_pieces(views, 256, dict_index::micro_for(256), false);
  const auto tables = dict_index::train_shards(pieces, threads);
  const std::uint64_t budget = std::clamp<std::uint64_t>(views.size() >> 3, 4096, 524288);
  double best = 1e30, best_cpu = 1e30;
  std::size_t count = 0;
  for (int r = 0; r < reps; ++r) {
    const double cpu0 = cpu_seconds();
    const auto t0 = bench::Clock::now();
    count = phrase::mine(pieces, tables, views.size(), budget, threads).size();
    best = std::min(best, std::chrono::duration<double>(bench::Clock::now() - t0).count());
    best_cpu = std::min(best_cpu, cpu_seconds() - cpu0);
  }
  std::printf("mine threads=%u phrases=%zu wall=%.3f s cpu=%.3f s\n", threads, count, best,
              best_cpu);
  return 0;
}

// The child side of the byte-identity check: "--blob KEYS BLOCK THREADS OUT".
int blob_child(char** argv) {
  const std::uint64_t block = std::stoull(argv[3]);
  const auto threads = static_cast<unsigned>(std::stoul(argv[4]));
  if (threads == 0) {
    key_source::KeysFile source(argv[2]);
    DictIndex::build_to_file_runs(source, argv[5], block);
  } else {
    const std::vector<std::string> keys = read_lines(argv[2]);
    const std::vector<std::string_view> views(keys.begin(), keys.end());
    DictIndex::build_with_threads(views, block, threads).save(argv[5]);
  }
  return 0;
}

// Bytes of the sorted list, one key a line, compressed by `tool`.
double compressed_size(const std::filesystem::path& list, const char* tool) {
  const auto lines = command_lines(std::string(tool) + " < '" + list.string() + "' | wc -c");
  return lines.empty() ? -1 : std::stod(lines[0]);
}

void run(const std::string& name, std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::size_t n = keys.size();
  if (n == 0) return;
  std::vector<std::string_view> views(keys.begin(), keys.end());
  std::vector<std::string_view> shuffled = views;
  std::mt19937_64 rng(7);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  const std::size_t probes = std::min<std::size_t>(n, 200000);
  std::vector<std::string_view> members(shuffled.begin(), shuffled.begin() + probes);
  std::vector<std::string> absent_store;
  for (std::size_t i = 0; i < probes; ++i) absent_store.push_back(std::string(members[i]) + "~");
  std::vector<std::string_view> absent(absent_store.begin(), absent_store.end());
  std::vector<std::uint64_t> ids(probes);
  for (auto& id : ids) id = rng() % n;

  std::uint64_t raw = 0;
  for (const auto& k : keys) raw += k.size() + 1;
  line(name, n, "raw", "bytes_per_key", double(raw) / n, "B");
  const auto list = std::filesystem::temp_directory_path() /
                    ("dict_bench." + std::to_string(::getpid()) + ".txt");
  {
    std::ofstream out(list);
    for (const auto& k : keys) out << k << '\n';
  }
  line(name, n, "xz-9", "bytes_per_key", compressed_size(list, "xz -9 -T1 -c") / n, "B");
  line(name, n, "zstd-19", "bytes_per_key", compressed_size(list, "zstd -19 -q -c") / n, "B");
  std::filesystem::remove(list);

  const unsigned all = threads::available();
  const auto keys_file = std::filesystem::temp_directory_path() /
                         ("dict_bench." + std::to_string(::getpid()) + ".keys");
  {
    std::ofstream out(keys_file);
    for (auto k : shuffled) out << k << '\n';
  }
  const auto out_file = std::filesystem::temp_directory_path() /
                        ("dict_bench." + std::to_string(::getpid()) + ".bdx");
  for (std::uint64_t block : {32, 256, 1024}) {
    const std::string index = "dict" + std::to_string(block);
    {
      const std::uint64_t micro = dict_index::micro_for(block);
      const auto pieces = dict_index::build_pieces(views, block, micro, false);
      const auto tables = dict_index::train_shards(pieces, all);
      const DictIndex plain =
          DictIndex::from_vocabulary(views, block, micro, all, tables, dict_index::Phrases::none());
      line(name, n, index, "bytes_per_key_no_phrases", double(plain.serialized_len()) / n, "B");
    }
    const auto [t_mem, rss_mem] =
        in_child({"--child", "mem", keys_file.string(), std::to_string(block), out_file.string()});
    line(name, n, index, "build_in_memory_from_keys_file", t_mem, "s");
    line(name, n, index, "build_in_memory_peak_rss", rss_mem, "MiB");
    const auto [t_stream, rss_stream] = in_child(
        {"--child", "stream", keys_file.string(), std::to_string(block), out_file.string()});
    line(name, n, index, "build_streamed_from_keys_file", t_stream, "s");
    line(name, n, index, "build_streamed_peak_rss", rss_stream, "MiB");
    DictIndex d = DictIndex::build_with_threads(shuffled, block, 1);
    for (unsigned t : {1u, all}) {
      const double s =
          bench::best_of(2, [&] { d = DictIndex::build_with_threads(shuffled, block, t); });
      line(name, n, index, t == 1 ? "build_1_thread" : "build_all_threads", n / s / 1e6, "Mkeys/s");
    }
    line(name, n, index, "bytes_per_key", double(d.serialized_len()) / n, "B");
    const double t_id = bench::best_of(3, [&] {
      std::uint64_t acc = 0;
      for (auto k : members) acc += d.locate(k).id;
      bench::g_sink = acc;
    });
    line(name, n, index, "id_member", t_id / probes * 1e9, "ns/op");
    const double t_miss = bench::best_of(3, [&] {
      std::uint64_t acc = 0;
      for (auto k : absent) acc += d.locate(k).id;
      bench::g_sink = acc;
    });
    line(name, n, index, "id_absent", t_miss / probes * 1e9, "ns/op");
    const double t_key = bench::best_of(3, [&] {
      room::Bytes buf;
      std::uint64_t acc = 0;
      for (auto id : ids) acc += d.key_bytes_into(id, buf) ? buf.size() : 0;
      bench::g_sink = acc;
    });
    line(name, n, index, "key", t_key / probes * 1e9, "ns/op");
    const double t_batch = bench::best_of(3, [&] { bench::g_sink = d.ids_of(members).size(); });
    line(name, n, index, "ids_of_member", t_batch / probes * 1e9, "ns/op");
    const double t_batch_miss = bench::best_of(3, [&] { bench::g_sink = d.ids_of(absent).size(); });
    line(name, n, index, "ids_of_absent", t_batch_miss / probes * 1e9, "ns/op");
    if (block == 256) {
      const auto shared = std::make_shared<const DictIndex>(std::move(d));
      for (std::uint32_t f : {0u, 8u, 16u}) {
        const std::string side = "hashed_dict_f" + std::to_string(f);
        const auto h = hashed_dict::HashedDictIndex::from_shared_dict(shared, f);
        line(name, n, side, "sidecar_bytes_per_key",
             double(h.serialized_len() - shared->serialized_len()) / n, "B");
        const double t_h = bench::best_of(3, [&] {
          std::uint64_t acc = 0;
          for (auto k : members) acc += h.id(k).value_or(0);
          bench::g_sink = acc;
        });
        line(name, n, side, "id_member", t_h / probes * 1e9, "ns/op");
        const double t_hb = bench::best_of(3, [&] { bench::g_sink = h.ids_of(members).size(); });
        line(name, n, side, "ids_of_member", t_hb / probes * 1e9, "ns/op");
      }
    }
  }
  std::filesystem::remove(keys_file);
  std::filesystem::remove(out_file);

#ifdef QUENLITH_HAVE_MARISA
  marisa::Trie trie;
  const double t_mbuild = bench::best_of(1, [&] {
    marisa::Keyset ks;
    for (auto k : shuffled) ks.push_back(k.data(), k.size());
    trie.build(ks);
  });
  line(name, n, "marisa", "build_1_thread", n / t_mbuild / 1e6, "Mkeys/s");
  line(name, n, "marisa", "bytes_per_key", double(trie.io_size()) / n, "B");
  auto lookup = [&](const std::vector<std::string_view>& qs) {
    return bench::best_of(3, [&] {
      marisa::Agent agent;
      std::uint64_t acc = 0;
      for (auto k : qs) {
        agent.set_query(k.data(), k.size());
        if (trie.lookup(agent)) acc += agent.key().id();
      }
      bench::g_sink = acc;
    });
  };
  line(name, n, "marisa", "id_member", lookup(members) / probes * 1e9, "ns/op");
  line(name, n, "marisa", "id_absent", lookup(absent) / probes * 1e9, "ns/op");
  // marisa numbers its keys in its own order; reverse lookups of random ids cost the same.
  const double t_mkey = bench::best_of(3, [&] {
    marisa::Agent agent;
    std::uint64_t acc = 0;
    for (auto id : ids) {
      agent.set_query(static_cast<std::size_t>(id));
      trie.reverse_lookup(agent);
      acc += agent.key().length();
    }
    bench::g_sink = acc;
  });
  line(name, n, "marisa", "key", t_mkey / probes * 1e9, "ns/op");
#endif
}

// The keys of a named corpus, as `main` reads them.
std::vector<std::string> corpus_keys(const std::string& c) {
  if (c.rfind("urls:", 0) == 0) return url_keys(std::stoull(c.substr(5)));
  if (c == "dpkg")
    return command_lines("dpkg-query -W -f='${Package}\\n' | xargs dpkg -L 2>/dev/null");
  return read_lines(c);
}

std::string corpus_name(const std::string& c) {
  return c.rfind("urls:", 0) == 0 || c == "dpkg" ? c : std::filesystem::path(c).filename().string();
}

// Build time and peak memory only, each build in a fresh process on the same shuffled key file.
void builds(const std::string& name, std::vector<std::string> keys, int reps) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::size_t n = keys.size();
  if (n == 0) return;
  std::mt19937_64 rng(7);
  std::shuffle(keys.begin(), keys.end(), rng);
  const auto keys_file = std::filesystem::temp_directory_path() /
                         ("dict_bench." + std::to_string(::getpid()) + ".keys");
  {
    std::ofstream out(keys_file);
    for (const auto& k : keys) out << k << '\n';
  }
  keys.clear();
  keys.shrink_to_fit();
  const unsigned all = threads::available();
  std::vector<std::pair<std::string, unsigned>> runs = {{"dict", 1}, {"dict", all}};
#ifdef QUENLITH_HAVE_MARISA
  runs.emplace_back("marisa", 1);
#endif
  for (const auto& [what, t] : runs) {
    double best = 1e30, best_cpu = 1e30, hwm = 0, loaded = 0, size = 0;
    for (int r = 0; r < reps; ++r) {
      std::string cmd = std::filesystem::read_symlink("/proc/self/exe").string() +
                        " --build-child " + what + " '" + keys_file.string() + "' " +
                        std::to_string(t);
      const auto out = command_lines(cmd);
      if (out.empty()) continue;
      std::istringstream in(out.back());
      double s = 0, cpu = 0;
      in >> s >> hwm >> loaded >> size >> cpu;
      best = std::min(best, s);
      best_cpu = std::min(best_cpu, cpu);
    }
    const std::string index = what == "dict" ? "dict256" : what;
    const std::string th = "threads=" + std::to_string(t);
    std::printf("corpus=%s keys=%zu index=%s %s build=%.3f s (%.3f us/key, %.3f Mkeys/s) "
                "cpu=%.3f s peak_rss=%.1f MiB keys_loaded_rss=%.1f MiB bytes_per_key=%.3f\n",
                name.c_str(), n, index.c_str(), th.c_str(), best, best / n * 1e6, n / best / 1e6,
                best_cpu, hwm / 1024, loaded / 1024, size / n);
    std::fflush(stdout);
  }
  std::filesystem::remove(keys_file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--child") return child(argv);
  if (argc == 5 && std::string(argv[1]) == "--build-child") return build_child(argv);
  if (argc == 6 && std::string(argv[1]) == "--blob") return blob_child(argv);
  if (argc == 5 && std::string(argv[1]) == "--mine") return mine_child(argv);
  if (argc >= 2 && std::string(argv[1]) == "--builds") {
    int reps = 1;
    std::vector<std::string> corpora;
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      if (a.rfind("--reps=", 0) == 0)
        reps = std::stoi(a.substr(7));
      else
        corpora.push_back(a);
    }
    if (corpora.empty())
      corpora = {"urls:1000000", "urls:10000000", "dpkg", "/usr/share/dict/american-english"};
    std::printf("cores=%u\n", threads::available());
    for (const auto& c : corpora) builds(corpus_name(c), corpus_keys(c), reps);
    return 0;
  }
  std::vector<std::string> corpora(argv + 1, argv + argc);
  if (corpora.empty())
    corpora = {"/usr/share/dict/american-english", "/usr/share/dict/polish", "dpkg",
               "urls:1000000"};
  std::printf("cores=%u\n", threads::available());
  for (const auto& c : corpora) {
    if (c.rfind("urls:", 0) == 0) {
      run(c, url_keys(std::stoull(c.substr(5))));
    } else if (c == "dpkg") {
      run(c, command_lines("dpkg-query -W -f='${Package}\\n' | xargs dpkg -L 2>/dev/null"));
    } else {
      run(std::filesystem::path(c).filename().string(), read_lines(c));
    }
  }
}
