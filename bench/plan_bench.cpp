// The planner: how long a plan takes, and how close its priced bytes come to the built blobs.
//
// Corpora: the word lists under /usr/share/dict (american-english, polish) when present, the file
// paths of the installed Debian packages (`dpkg -L`) when dpkg is, and generated URL-like keys
// (1,000,000 and 10,000,000 by default; argv[1] replaces the list with one count). For each corpus:
//   - plan_for over the keys in memory and plan_file over a keys file holding them shuffled, under
//     the memory objective with no needs, beside the baseline of sorting and deduplicating the
//     keys in memory (what any planner must at least do);
//   - for every candidate, the planned bytes beside the bytes of the blob built from the whole
//     corpus, the relative error, and whether the plan's pick is the truly smallest blob.
//
// Output, one line per measurement:
//   corpus=<name> keys=<n> threads=<cores> op=<what> seconds=<s>
//   corpus=<name> keys=<n> kind=<kind> block=<b> planned=<bytes> built=<bytes> error=<%>
//   corpus=<name> keys=<n> needs=<needs> pick=<kind/block> smallest=<kind/block>
//     pick_is_smallest=<yes|no>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "estimate.hpp"
#include "threads.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quenlith::estimate;

std::vector<std::string> read_lines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> keys;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) keys.push_back(line);
  return keys;
}

// Distinct keys shaped like URLs: a host from a few thousand, two or three path segments from a
// vocabulary of a few hundred, and a numeric id.
std::vector<std::string> url_keys(std::size_t n) {
  std::mt19937_64 rng(42);
  static const char* tlds[] = {"com", "org", "net", "de", "pl", "io"};
  static const char* words[] = {"news", "sport", "item",     "product", "user",
                                "blog", "tag",   "archive",  "2024",    "page",
                                "view", "en",    "category", "search"};
  std::vector<std::string> keys;
  keys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string k = "https://";
    const std::uint64_t host = rng() % 4000;
    k += "www.site";
    k += std::to_string(host);
    k += '.';
    k += tlds[host % 6];
    k += '/';
    for (std::uint64_t s = 2 + rng() % 2; s > 0; --s) {
      k += words[rng() % 14];
      k += '/';
    }
    k += std::to_string(i * 7919 % 100000007);
    keys.push_back(std::move(k));
  }
  return keys;
}

std::string label(Kind kind, std::optional<std::uint64_t> block) {
  std::string s = kind_name(kind);
  if (block) {
    s += '/';
    s += std::to_string(*block);
  }
  return s;
}

void run(const std::string& name, std::vector<std::string> keys) {
  const unsigned cores = quenlith::threads::available();
  std::vector<std::string> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(7));
  const fs::path file = fs::temp_directory_path() / ("plan_bench." + std::to_string(::getpid()));
  {
    std::ofstream out(file, std::ios::binary);
    for (const auto& k : shuffled) out << k << '\n';
  }

  std::vector<std::string_view> sorted;
  const double sort_s = bench::best_of(1, [&] {
    sorted.assign(shuffled.begin(), shuffled.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  });
  const std::size_t n = sorted.size();
  auto line = [&](const char* op, double s) {
    std::printf("corpus=%s keys=%zu threads=%u op=%s seconds=%.3f\n", name.c_str(), n, cores, op,
                s);
  };
  line("sort_unique_baseline", sort_s);

  Plan plan;
  line("plan_for", bench::best_of(1, [&] { plan = plan_for(shuffled, {}, Objective::memory()); }));
  Plan from_file;
  line("plan_file",
       bench::best_of(1, [&] { from_file = plan_file(file, {}, Objective::memory()); }));
  fs::remove(file);
  if (!(from_file == plan))
    std::printf("corpus=%s plan_file differs from plan_for\n", name.c_str());

  // Every candidate built on the whole corpus.
  const std::vector<Candidate> cs = candidates({});
  const std::vector<Estimate> built = weigh(sorted, cs);
  for (const Estimate& b : built) {
    for (const Estimate& p : plan.estimates) {
      if (p.kind != b.kind || p.block != b.block) continue;
      const double error = 100.0 * (static_cast<double>(p.bytes) - static_cast<double>(b.bytes)) /
                           static_cast<double>(std::max<std::uint64_t>(b.bytes, 1));
      std::printf("corpus=%s keys=%zu kind=%s block=%s planned=%llu built=%llu error=%+.2f%%\n",
                  name.c_str(), n, kind_name(b.kind),
                  b.block ? std::to_string(*b.block).c_str() : "-",
                  static_cast<unsigned long long>(p.bytes),
                  static_cast<unsigned long long>(b.bytes), error);
    }
  }
  // The pick beside the smallest built blob, with no needs and with the needs that leave the
  // probabilistic and the unordered kinds out.
  const std::pair<const char*, Needs> needs_sets[] = {
      {"none", {}}, {"exact", {.exact = true}}, {"ordered", {.ordered = true}}};
  for (const auto& [needs_name, needs] : needs_sets) {
    const Plan p = needs_name == std::string("none") ? plan : plan_for(shuffled, needs, {});
    const Estimate* smallest = nullptr;
    for (const Candidate& c : candidates(needs))
      for (const Estimate& b : built)
        if (b.kind == c.kind && b.block == c.block && (!smallest || b.bytes < smallest->bytes))
          smallest = &b;
    const Estimate& pick = p.estimates.front();
    const bool same = pick.kind == smallest->kind && pick.block == smallest->block;
    std::printf("corpus=%s keys=%zu needs=%s pick=%s smallest=%s pick_is_smallest=%s\n",
                name.c_str(), n, needs_name, label(pick.kind, pick.block).c_str(),
                label(smallest->kind, smallest->block).c_str(), same ? "yes" : "no");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> counts = {1000000, 10000000};
  if (argc > 1) counts = {static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10))};
  for (const char* list : {"american-english", "polish"}) {
    const fs::path path = fs::path("/usr/share/dict") / list;
    if (fs::exists(path)) run(list, read_lines(path));
  }
  // The file paths of the installed Debian packages, when dpkg is present.
  const fs::path paths =
      fs::temp_directory_path() / ("plan_bench_paths." + std::to_string(::getpid()));
  const std::string cmd =
      "dpkg-query -W -f='${binary:Package}\\n' 2>/dev/null | xargs -r dpkg -L 2>/dev/null | "
      "LC_ALL=C sort -u > '" +
      paths.string() + "'";
  if (std::system(cmd.c_str()) == 0 && fs::exists(paths) && fs::file_size(paths) > 0)
    run("dpkg_paths", read_lines(paths));
  fs::remove(paths);
  for (std::size_t n : counts) run("urls", url_keys(n));
  return 0;
}
