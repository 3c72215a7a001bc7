// The command line end to end: `build` in memory and streamed for every index kind, `plan`, and
// `dump`, each run in a child process so that its peak resident memory is its own.
//
// Corpora: N generated distinct keys (default 10,000,000; argv[1] changes it) and the file paths
// of the installed Debian packages (`dpkg -L`, deduplicated), when dpkg is present. Baselines in
// the same run: a std::unordered_map from key to id filled from the keys file, and a plain copy of
// the keys file to /dev/null for the dump rate.
//
// Output, one line per measurement:
//   corpus=<name> keys=<n> threads=<cores> op=<what> wall_s=<s> peak_rss_mib=<MiB> bytes=<out>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli.hpp"
#include "threads.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Result {
  int status;
  double wall;
  double rss_mib;
};

// Runs `work` in a child with standard output and error sent to /dev/null.
Result in_child(const std::function<int()>& work) {
  std::fflush(nullptr);
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::_Exit(work());
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, wall, usage.ru_maxrss / 1024.0};
}

int cli(std::vector<std::string> args) { return quenlith::cli::run_process(args); }

std::uint64_t size_of(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

void report(const std::string& corpus, std::uint64_t keys, const std::string& op, const Result& r,
            std::uint64_t bytes) {
  if (r.status != 0) {
    std::printf("corpus=%s keys=%llu threads=%u op=%s unavailable (status %d)\n", corpus.c_str(),
                static_cast<unsigned long long>(keys), quenlith::threads::available(), op.c_str(),
                r.status);
    return;
  }
  std::printf(
      "corpus=%s keys=%llu threads=%u op=%s wall_s=%.3f peak_rss_mib=%.1f bytes=%llu "
      "keys_per_s=%.0f\n",
      corpus.c_str(), static_cast<unsigned long long>(keys), quenlith::threads::available(),
      op.c_str(), r.wall, r.rss_mib, static_cast<unsigned long long>(bytes), keys / r.wall);
  std::fflush(stdout);
}

std::uint64_t count_lines(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::uint64_t n = 0;
  while (std::getline(in, line)) n += !line.empty();
  return n;
}

void bench_corpus(const std::string& corpus, const fs::path& keys, const fs::path& dir) {
  const std::uint64_t n = count_lines(keys);
  // Baselines: a hash map from key to id, and a copy of the file's lines to /dev/null.
  report(corpus, n, "baseline_unordered_map", in_child([&] {
           std::unordered_map<std::string, std::uint32_t> map;
           std::ifstream in(keys);
           std::string line;
           while (std::getline(in, line)) map.emplace(line, static_cast<std::uint32_t>(map.size()));
           return map.empty() && n != 0 ? 1 : 0;
         }),
         0);
  report(corpus, n, "baseline_copy_lines", in_child([&] {
           std::ifstream in(keys);
           std::FILE* out = std::fopen("/dev/null", "w");
           std::string line;
           while (std::getline(in, line)) {
             std::fwrite(line.data(), 1, line.size(), out);
             std::fputc('\n', out);
           }
           std::fclose(out);
           return 0;
         }),
         0);
  report(corpus, n, "plan", in_child([&] { return cli({"plan", keys}); }), 0);
  for (const char* kind : {"compact", "closed", "perfect", "string", "dict"}) {
    for (const char* mode : {"never", "always"}) {
      const fs::path out = dir / (std::string(kind) + "." + mode + ".blob");
      const Result r = in_child([&] {
        return cli({"build", keys, out, "--index", kind, "--stream", mode});
      });
      report(
          corpus, n,
          std::string("build_") + kind + (std::string(mode) == "never" ? "_memory" : "_streamed"),
          r, size_of(out));
    }
  }
  for (const char* kind : {"perfect", "string", "dict"}) {
    const fs::path blob = dir / (std::string(kind) + ".never.blob");
    report(corpus, n, std::string("dump_") + kind, in_child([&] {
             return cli({"dump", blob});
           }),
           0);
    fs::remove(blob);
  }
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".blob") fs::remove(e.path());
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
  const fs::path dir = fs::temp_directory_path() / ("cli_bench." + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    // Distinct keys of mixed shape: shared prefixes, numbers, and a scrambled tail.
    const fs::path keys = dir / "generated.txt";
    std::FILE* f = std::fopen(keys.c_str(), "w");
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (std::uint64_t i = 0; i < n; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::fprintf(f, "user/%llu/item-%05llx.%s\n", static_cast<unsigned long long>(i % 100003),
                   static_cast<unsigned long long>(x & 0xFFFFF),
                   (x >> 40) % 3 == 0 ? "json" : "bin");
    }
    std::fclose(f);
    // The generator's lines can repeat; a sorted unique copy keeps the perfect-hash build happy.
    const std::string sort_cmd =
        "LC_ALL=C sort -u -S 25% -o '" + keys.string() + "' '" + keys.string() + "'";
    if (std::system(sort_cmd.c_str()) != 0) return 1;
    const std::string shuf = "shuf --random-source=<(yes) -o '" + keys.string() + "' '" +
                             keys.string() + "' 2>/dev/null || true";
    std::system(("bash -c \"" + shuf + "\"").c_str());
    bench_corpus("generated", keys, dir);
    fs::remove(keys);
  }
  {
    const fs::path keys = dir / "paths.txt";
    const std::string cmd =
        "dpkg-query -W -f='${binary:Package}\\n' 2>/dev/null | xargs -r dpkg -L 2>/dev/null | "
        "LC_ALL=C sort -u > '" +
        keys.string() + "'";
    if (std::system(cmd.c_str()) == 0 && size_of(keys) > 0) bench_corpus("dpkg_paths", keys, dir);
    fs::remove(keys);
  }
  fs::remove_all(dir);
  return 0;
}
