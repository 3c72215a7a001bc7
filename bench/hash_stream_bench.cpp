// Streamed against in-memory builds of the three hash indexes from one keys file: build time,
// peak resident memory and the disk used beside the output at its peak, at 1 thread and on
// every processor. The peer, where installed, is BBHash's minimal perfect hash built over the
// same keys, in memory (fast mode) and streamed from the file (a level file written each level).
//
// Usage: hash_stream_bench [--dir=DIR] [--reps=R] [--only=INDEX] [keys ...]
// (default: 10000000 keys, 1 rep). DIR (default the system's temporary directory) receives the
// keys file and the outputs. Each build runs R times: the best time, the largest memory and disk.
// --only=INDEX (repeatable): perfect-hash, compact-hash, closed-hash, bbhash.
//
// Every measurement runs in a child process of its own, so that its peak resident memory (the
// child's ru_maxrss) is that build's alone. A build's time counts reading the keys file: an
// in-memory build reads it whole into one string a key, as the command line does, then builds
// and saves; a streamed build reads it once (compact, closed) or twice (perfect hash). The
// parent samples the bytes allocated in the output's directory every 10 ms while the child runs:
// the temporary output, spill, run and range files.
// Each line: index, keys, threads, road, figure, value.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_keys.hpp"
#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "key_source.hpp"
#include "perfect_hash.hpp"
#include "threads.hpp"

#if QUENLITH_HAVE_BBHASH
// The peer's header is not ours to fix: GCC 12 warns about its internals once its templates
// are instantiated here (-Wmaybe-uninitialized), so that warning is silenced for this include only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <BooPHF.h>
#pragma GCC diagnostic pop
#endif

using namespace quenlith;
using Clock = std::chrono::steady_clock;

namespace {

// Writes the keys file of n generated keys, a million at a time.
void write_keys(const std::filesystem::path& path, std::uint64_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create the keys file");
  for (std::uint64_t from = 0; from < n; from += 1000000) {
    for (const std::string& k :
         bench::make_keys(from, std::min<std::uint64_t>(1000000, n - from))) {
      std::fwrite(k.data(), 1, k.size(), f);
      std::fputc('\n', f);
    }
  }
  std::fclose(f);
}

std::vector<std::string> read_keys(const std::filesystem::path& path) {
  key_source::KeysFile file(path);
  std::vector<std::string> keys;
  auto pass = file.open_pass();
  key_source::for_each_key(*pass, [&](std::string_view k) { keys.emplace_back(k); });
  return keys;
}

// Bytes allocated to the files under `dir` (sparse files count what they hold).
std::uint64_t disk_bytes(const std::filesystem::path& dir) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<std::uint64_t>(st.st_blocks) * 512;
  }
  return total;
}

struct Measure {
  double seconds = 0;
  double rss_mib = 0;
  double disk_mib = 0;
  double out_mib = 0;
  bool ok = false;
};

// Runs `build` in a child process whose working directory is `out_dir`.
Measure measure(const std::filesystem::path& out_dir, const std::function<void()>& build) {
  std::filesystem::remove_all(out_dir);
  std::filesystem::create_directories(out_dir);
  std::fflush(stdout);
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    int status = 0;
    try {
      if (::chdir(out_dir.c_str()) != 0) status = 2;
      if (status == 0) build();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "build failed: %s\n", e.what());
      status = 1;
    }
    std::fflush(stderr);
    ::_exit(status);
  }
  Measure m;
  std::uint64_t peak = 0;
  int status = 0;
  struct rusage ru;
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &ru);
    if (done == pid) break;
    peak = std::max(peak, disk_bytes(out_dir));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  m.rss_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;
  m.out_mib = static_cast<double>(disk_bytes(out_dir)) / 1048576.0;
  m.disk_mib = static_cast<double>(std::max(peak, disk_bytes(out_dir))) / 1048576.0;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::filesystem::remove_all(out_dir);
  return m;
}

// `measure` `reps` times: the best time, the largest memory and disk figures.
int g_reps = 1;
Measure measure_best(const std::filesystem::path& out_dir, const std::function<void()>& build) {
  Measure best;
  for (int r = 0; r < g_reps; ++r) {
    const Measure m = measure(out_dir, build);
    if (!m.ok) return m;
    best.seconds = r == 0 ? m.seconds : std::min(best.seconds, m.seconds);
    best.rss_mib = std::max(best.rss_mib, m.rss_mib);
    best.disk_mib = std::max(best.disk_mib, m.disk_mib);
    best.out_mib = m.out_mib;
    best.ok = true;
  }
  return best;
}

void report(const char* index, std::uint64_t n, unsigned threads, const char* road,
            const Measure& m) {
  auto line = [&](const char* figure, double value, const char* unit) {
    std::printf("%-13s keys=%-9llu threads=%-2u %-10s %-18s %10.2f %s\n", index,
                static_cast<unsigned long long>(n), threads, road, figure, value, unit);
  };
  if (!m.ok) {
    std::printf("%-13s keys=%-9llu threads=%-2u %-10s failed\n", index,
                static_cast<unsigned long long>(n), threads, road);
    return;
  }
  line("build time", m.seconds, "s");
  line("peak rss", m.rss_mib, "MiB");
  line("peak disk beside", m.disk_mib, "MiB");
  line("output", m.out_mib, "MiB");
  std::fflush(stdout);
}

#if QUENLITH_HAVE_BBHASH
// The keys file as a range of 64-bit key hashes, read afresh from each `begin`.
class FileHashes {
 public:
  struct State {
    FILE* file = nullptr;
    char* line = nullptr;
    std::size_t cap = 0;
    std::uint64_t value = 0;
    bool done = true;
    ~State() {
      std::free(line);
      if (file) std::fclose(file);
    }
    void advance() {
      const ssize_t len = ::getline(&line, &cap, file);
      if (len <= 0) {
        done = true;
        return;
      }
      const std::size_t n = static_cast<std::size_t>(len) - (line[len - 1] == '\n' ? 1 : 0);
      value = hash::hash_pair(std::string_view(line, n)).h1;
    }
  };
  class iterator {
   public:
    iterator() = default;
    explicit iterator(std::shared_ptr<State> s) : s_(std::move(s)) {}
    std::uint64_t operator*() const { return s_->value; }
    iterator& operator++() {
      s_->advance();
      return *this;
    }
    bool ended() const { return !s_ || s_->done; }
    friend bool operator==(const iterator& a, const iterator& b) {
      return a.ended() && b.ended() ? true : a.s_ == b.s_;
    }
    friend bool operator!=(const iterator& a, const iterator& b) { return !(a == b); }

   private:
    std::shared_ptr<State> s_;
  };

  explicit FileHashes(std::string path) : path_(std::move(path)) {}
  iterator begin() const {
    auto s = std::make_shared<State>();
    s->file = std::fopen(path_.c_str(), "rb");
    s->done = s->file == nullptr;
    if (!s->done) s->advance();
    return iterator(s);
  }
  iterator end() const { return iterator(); }

 private:
  std::string path_;
};
using BBHash = boomphf::mphf<std::uint64_t, boomphf::SingleHashFunctor<std::uint64_t>>;
#endif

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path dir = std::filesystem::temp_directory_path();
  std::set<std::string> only;
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--dir=", 0) == 0)
      dir = a.substr(6);
    else if (a.rfind("--reps=", 0) == 0)
      g_reps = std::max(1, std::stoi(a.substr(7)));
    else if (a.rfind("--only=", 0) == 0)
      only.insert(a.substr(7));
    else
      sizes.push_back(std::stoull(a));
  }
  if (sizes.empty()) sizes = {10000000};
  auto wanted = [&](const char* index) { return only.empty() || only.contains(index); };
  const unsigned all = threads::available();
  std::printf("processors=%u\n", all);
  const std::filesystem::path work = dir / ("quenlith-stream-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work);
  const std::filesystem::path out_dir = work / "out";

  for (const std::uint64_t n : sizes) {
    const std::filesystem::path keys_path = work / "keys.txt";
    write_keys(keys_path, n);
    std::printf("keys file: %llu keys, %.1f MiB\n", static_cast<unsigned long long>(n),
                static_cast<double>(std::filesystem::file_size(keys_path)) / 1048576.0);
    for (const unsigned t : {1u, all}) {
      if (t == all && all == 1) break;
      if (wanted("perfect-hash")) {
        report("perfect-hash", n, t, "in-memory", measure_best(out_dir, [&] {
                 const std::vector<std::string> keys = read_keys(keys_path);
                 const std::vector<std::string_view> v(keys.begin(), keys.end());
                 perfect_hash::PerfectHashIndex::build_with_threads(v, false, t).save("index");
               }));
        report("perfect-hash", n, t, "streamed", measure_best(out_dir, [&] {
                 key_source::KeysFile file(keys_path);
                 perfect_hash::detail::build_to_file_hashed(
                     file, "index", false, perfect_hash::kWindowBytes, t, hash::hash_pair);
               }));
      }
      if (wanted("compact-hash")) {
        report("compact-hash", n, t, "in-memory", measure_best(out_dir, [&] {
                 const std::vector<std::string> keys = read_keys(keys_path);
                 const std::vector<std::string_view> v(keys.begin(), keys.end());
                 compact_hash::CompactHashIndex::build_from_pairs_with_threads(
                     compact_hash::hash_keys(v, t), 8, t)
                     .save("index");
               }));
        report("compact-hash", n, t, "streamed", measure_best(out_dir, [&] {
                 key_source::KeysFile file(keys_path);
                 compact_hash::detail::build_to_file_threads(file, "index",
                                                             compact_hash::BuildLimits{}, t);
               }));
      }
      if (wanted("closed-hash")) {
        report("closed-hash", n, t, "in-memory", measure_best(out_dir, [&] {
                 const std::vector<std::string> keys = read_keys(keys_path);
                 const std::vector<std::string_view> v(keys.begin(), keys.end());
                 closed_hash::ClosedHashIndex::build_from_pairs_with_threads(
                     compact_hash::hash_keys(v, t), t)
                     .save("index");
               }));
        report("closed-hash", n, t, "streamed", measure_best(out_dir, [&] {
                 key_source::KeysFile file(keys_path);
                 closed_hash::detail::build_to_file_limits(file, "index", 16777216, t);
               }));
      }
#if QUENLITH_HAVE_BBHASH
      if (wanted("bbhash")) {
        report("bbhash", n, t, "in-memory", measure_best(out_dir, [&] {
                 std::vector<std::uint64_t> hashes;
                 const FileHashes range(keys_path.string());
                 for (auto it = range.begin(); it != range.end(); ++it) hashes.push_back(*it);
                 BBHash mph(hashes.size(), hashes, static_cast<int>(t), 2.0, false, false);
                 std::ofstream os("index", std::ios::binary);
                 mph.save(os);
               }));
        report("bbhash", n, t, "streamed", measure_best(out_dir, [&] {
                 const FileHashes range(keys_path.string());
                 BBHash mph(n, range, static_cast<int>(t), 2.0, true, false, 0);
                 std::ofstream os("index", std::ios::binary);
                 mph.save(os);
               }));
      }
#endif
    }
    std::filesystem::remove(keys_path);
  }
  std::filesystem::remove_all(work);
  return 0;
}
