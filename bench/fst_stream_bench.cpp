// Benchmark of the transducer library's streams and automata.
//
// Maps: the 100,000-word vector, and a map of a few million two-word keys ("w1 w2", drawn from
// the same words with a fixed seed). For each map it times a prefix stream (starts-with and the
// equivalent ge/lt range), a range stream, and Levenshtein queries (distance 1 and 2, a 6-letter
// and a 10-letter query), and the Levenshtein automaton's construction on its own. The baseline,
// measured in the same run, is a sorted std::vector<std::string>: lower_bound and a scan for
// prefixes and ranges, and a brute-force edit distance over every key for the fuzzy queries.
//
// Output: one line per measurement, "map=... keys=... op=... <figures>".
// Usage: fst_stream_bench [big-key-count]   (default 3,000,000; at least 20,000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vectors.hpp"

#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "fst/utf8.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<std::string> load_large_words() {
  std::vector<std::string> words;
  for (const auto& [k, v] : fst_test::large_case().keys) words.emplace_back(k.begin(), k.end());
  return words;
}

struct Map {
  std::string name;
  std::vector<std::string> keys;  // sorted, distinct; value = position
  std::vector<std::uint8_t> bytes;
  std::unique_ptr<fst::Fst> fst;
};

Map build_map(std::string name, std::vector<std::string> keys) {
  Map m;
  m.name = std::move(name);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const auto t0 = Clock::now();
  auto b = fst::MapBuilder::memory();
  for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], i);
  m.bytes = b.into_inner();
  std::printf("map=%s keys=%zu op=build seconds=%.3f bytes=%zu\n", m.name.c_str(), keys.size(),
              seconds_since(t0), m.bytes.size());
  m.keys = std::move(keys);
  m.fst = std::make_unique<fst::Fst>(m.bytes);
  return m;
}

// Runs `body` (which returns the number of results) repeatedly for at least ~0.2 s.
template <class F>
void measure(const Map& m, const std::string& op, const std::string& impl, F body) {
  std::size_t reps = 0;
  std::size_t results = 0;
  const auto t0 = Clock::now();
  double elapsed = 0;
  do {
    results = body();
    ++reps;
    elapsed = seconds_since(t0);
  } while (elapsed < 0.2 && reps < 100000);
  const double per = elapsed / static_cast<double>(reps);
  std::printf("map=%s keys=%zu op=%s impl=%s results=%zu us_per_query=%.2f ns_per_result=%.1f\n",
              m.name.c_str(), m.keys.size(), op.c_str(), impl.c_str(), results, per * 1e6,
              results ? per * 1e9 / static_cast<double>(results) : 0.0);
}

// Lets a stream use an automaton without copying it (the stream owns its automaton).
template <fst::Automaton A>
struct Borrowed {
  using State = typename A::State;
  const A* a;
  State start() const { return a->start(); }
  bool is_match(const State& s) const { return a->is_match(s); }
  bool can_match(const State& s) const { return fst::can_match(*a, s); }
  State accept(const State& s, std::uint8_t b) const { return a->accept(s, b); }
};

template <fst::Automaton A>
std::size_t drain(fst::Stream<A> s) {
  std::size_t n = 0;
  std::uint64_t sink = 0;
  while (auto item = s.next()) {
    sink += item->value + item->key.size();
    ++n;
  }
  if (sink == 1) std::puts("");  // keep the loop from being optimised away
  return n;
}

std::size_t bounded_distance(const std::vector<char32_t>& a, const std::vector<char32_t>& b,
                             std::size_t cap, std::vector<std::size_t>& row) {
  const std::size_t diff = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  if (diff > cap) return cap + 1;
  row.resize(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    std::size_t best = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
      best = std::min(best, row[j]);
    }
    if (best > cap) return cap + 1;
  }
  return row[b.size()];
}

std::string pick_word(const std::vector<std::string>& words, std::size_t len, std::mt19937& rng) {
  for (;;) {
    const std::string& w = words[rng() % words.size()];
    bool ascii_letters = w.size() == len;
    for (char c : w) ascii_letters = ascii_letters && c >= 'a' && c <= 'z';
    if (ascii_letters) return w;
  }
}

void run(const Map& m, const std::vector<std::string>& words, std::mt19937& rng) {
  const auto& keys = m.keys;
  // Full scan.
  measure(m, "scan_all", "fst", [&] { return drain(fst::range(*m.fst).into_stream()); });

  // Prefix: two letters taken from a random key.
  std::string prefix = keys[rng() % keys.size()].substr(0, 2);
  std::string prefix_end = prefix;
  prefix_end.back() = static_cast<char>(prefix_end.back() + 1);
  measure(m, "prefix:" + prefix, "fst_starts_with", [&] {
    return drain(fst::search(*m.fst, fst::automaton::starts_with(fst::automaton::Str(prefix)))
                     .into_stream());
  });
  measure(m, "prefix:" + prefix, "fst_ge_lt",
          [&] { return drain(fst::range(*m.fst).ge(prefix).lt(prefix_end).into_stream()); });
  measure(m, "prefix:" + prefix, "sorted_vector", [&] {
    auto it = std::lower_bound(keys.begin(), keys.end(), prefix);
    std::size_t n = 0;
    for (; it != keys.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) ++n;
    return n;
  });

  // Range: from a random key to the key 10,000 places later.
  const std::size_t at = rng() % (keys.size() - 10001);
  const std::string lo = keys[at];
  const std::string hi = keys[at + 10000];
  measure(m, "range10000", "fst_ge_lt",
          [&] { return drain(fst::range(*m.fst).ge(lo).lt(hi).into_stream()); });
  measure(m, "range10000", "sorted_vector", [&] {
    auto a = std::lower_bound(keys.begin(), keys.end(), lo);
    auto b = std::lower_bound(a, keys.end(), hi);
    std::size_t n = 0;
    for (; a != b; ++a) n += a->empty() ? 0 : 1;
    return n;
  });
  // First 10 keys of a range: the cost of opening a stream.
  measure(m, "range_first10", "fst_ge", [&] {
    auto s = fst::range(*m.fst).ge(lo).into_stream();
    std::size_t n = 0;
    while (n < 10 && s.next()) ++n;
    return n;
  });

  // Levenshtein.
  std::vector<std::vector<char32_t>> decoded;
  bool brute = m.keys.size() <= 200000;
  if (brute) {
    decoded.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) fst::utf8::decode(keys[i], decoded[i]);
  }
  for (std::size_t len : {6u, 10u}) {
    const std::string q = pick_word(words, len, rng);
    for (std::uint32_t d : {1u, 2u}) {
      const std::string op = "lev:" + q + ":d" + std::to_string(d);
      const auto t0 = Clock::now();
      std::size_t states = 0;
      std::size_t reps = 0;
      do {
        fst::automaton::Levenshtein a(q, d);
        states = a.state_count();
        ++reps;
      } while (seconds_since(t0) < 0.2);
      std::printf("map=%s keys=%zu op=%s impl=construct states=%zu us_per_build=%.1f\n",
                  m.name.c_str(), keys.size(), op.c_str(), states,
                  seconds_since(t0) / static_cast<double>(reps) * 1e6);
      const fst::automaton::Levenshtein aut(q, d);
      measure(m, op, "fst_with_construct", [&] {
        return drain(fst::search(*m.fst, fst::automaton::Levenshtein(q, d)).into_stream());
      });
      measure(m, op, "fst_stream_only", [&] {
        return drain(
            fst::search(*m.fst, Borrowed<fst::automaton::Levenshtein>{&aut}).into_stream());
      });
      if (brute) {
        std::vector<char32_t> qd;
        fst::utf8::decode(q, qd);
        std::vector<std::size_t> row;
        measure(m, op, "brute_force", [&] {
          std::size_t n = 0;
          for (const auto& k : decoded) n += bounded_distance(qd, k, d, row) <= d ? 1 : 0;
          return n;
        });
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t big =
      std::max<std::size_t>(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000000, 20000);
  std::mt19937 rng(2024);
  const auto words = load_large_words();
  std::printf(
      "# fst stream benchmark; nproc=%u (streams are single-threaded); baseline: sorted "
      "std::vector<std::string>\n",
      std::thread::hardware_concurrency());

  const Map small = build_map("words100k", words);
  run(small, words, rng);

  std::vector<std::string> pairs;
  pairs.reserve(big);
  for (std::size_t i = 0; i < big; ++i)
    pairs.push_back(words[rng() % words.size()] + " " + words[rng() % words.size()]);
  const Map large = build_map("bigrams", std::move(pairs));
  run(large, words, rng);
}
