#include "fst/stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fst/levenshtein.hpp"
#include "fst/utf8.hpp"
#include "vectors.hpp"

namespace {

using fst::automaton::Levenshtein;
using fst::automaton::Str;
using fst_test::Bytes;
using fst_test::true_distance;
using Pairs = std::vector<std::pair<Bytes, std::uint64_t>>;

template <fst::Automaton A>
Pairs drain(fst::Stream<A> s) {
  Pairs out;
  while (auto item = s.next())
    out.emplace_back(Bytes(item->key.begin(), item->key.end()), item->value);
  return out;
}

// Which bounds a case sets; each is either absent or a key.
struct Bounds {
  std::optional<Bytes> ge, gt, le, lt;
};

template <fst::Automaton A>
fst::StreamBuilder<A> with_bounds(fst::StreamBuilder<A> b, const Bounds& r) {
  if (r.ge) b.ge(*r.ge);
  if (r.gt) b.gt(*r.gt);
  if (r.le) b.le(*r.le);
  if (r.lt) b.lt(*r.lt);
  return b;
}

// Position of the first pair whose key is not below `key`.
std::size_t first_not_below(const Pairs& sorted, const Bytes& key) {
  std::size_t lo = 0;
  std::size_t hi = sorted.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (std::lexicographical_compare(sorted[mid].first.begin(), sorted[mid].first.end(),
                                     key.begin(), key.end())) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The naive model of a stream: the positions in sorted[from, to) of the pairs that lie within
// the bounds and satisfy the predicate.
template <class Pred>
std::vector<std::size_t> naive(const Pairs& sorted, const Bounds& r, Pred matches, std::size_t from,
                               std::size_t to) {
  std::vector<std::size_t> out;
  for (std::size_t i = from; i < to; ++i) {
    const Bytes& k = sorted[i].first;
    if (r.ge && k < *r.ge) continue;
    if (r.gt && k <= *r.gt) continue;
    if (r.le && k > *r.le) continue;
    if (r.lt && k >= *r.lt) continue;
    if (matches(k)) out.push_back(i);
  }
  return out;
}

// The positions [from, to) of the sorted pairs that lie within the bounds, by binary search.
std::pair<std::size_t, std::size_t> naive_span(const Pairs& sorted, const Bounds& r) {
  auto first_above = [&](const Bytes& k) {
    std::size_t i = first_not_below(sorted, k);
    if (i < sorted.size() && sorted[i].first == k) ++i;
    return i;
  };
  const std::size_t from = r.ge ? first_not_below(sorted, *r.ge) : r.gt ? first_above(*r.gt) : 0;
  const std::size_t to = r.le   ? first_above(*r.le)
                         : r.lt ? first_not_below(sorted, *r.lt)
                                : sorted.size();
  return {from, std::max(from, to)};
}

// Drains `s`, checking it yields exactly the pairs sorted[i] for i in `want`, without copying keys.
template <fst::Automaton A>
::testing::AssertionResult yields_exactly(fst::Stream<A> s, const Pairs& sorted,
                                          const std::vector<std::size_t>& want) {
  for (std::size_t i : want) {
    const auto item = s.next();
    if (!item)
      return ::testing::AssertionFailure()
             << "stream ended early, expected " << fst_test::to_hex(sorted[i].first);
    const Bytes& k = sorted[i].first;
    if (!std::equal(item->key.begin(), item->key.end(), k.begin(), k.end()) ||
        item->value != sorted[i].second) {
      return ::testing::AssertionFailure()
             << "got " << fst_test::to_hex(Bytes(item->key.begin(), item->key.end()))
             << ", expected " << fst_test::to_hex(k);
    }
  }
  if (auto extra = s.next()) {
    return ::testing::AssertionFailure()
           << "unexpected " << fst_test::to_hex(Bytes(extra->key.begin(), extra->key.end()));
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::size_t> iota(std::size_t from, std::size_t to) {
  std::vector<std::size_t> v;
  for (std::size_t i = from; i < to; ++i) v.push_back(i);
  return v;
}

std::string text(const Bytes& b) { return {b.begin(), b.end()}; }

// Maps of the build vectors, opened once.
const fst::Fst& map_named(const std::string& name) {
  static std::map<std::string, std::unique_ptr<fst::Fst>> maps;
  auto& slot = maps[name];
  if (!slot) slot = std::make_unique<fst::Fst>(fst_test::build_case_named(name).fst);
  return *slot;
}

const fst::Fst& large_map() {
  static const fst::Fst map(fst_test::large_case().fst);
  return map;
}

struct StreamCase {
  fst_test::json j;
  Bounds bounds;
  Pairs want;
};

std::vector<StreamCase> cases_of_type(const std::string& type) {
  std::vector<StreamCase> out;
  for (auto& j : fst_test::load_jsonl("stream.jsonl")) {
    const auto& a = j.at("automaton");
    const std::string t = a.is_null() ? "none" : a.at("type").get<std::string>();
    if (t != type) continue;
    StreamCase c;
    for (const char* side : {"ge", "gt", "le", "lt"}) {
      if (!j.contains(side)) continue;
      Bytes key = fst_test::hex(j.at(side).get<std::string>());
      if (std::string(side) == "ge") c.bounds.ge = key;
      if (std::string(side) == "gt") c.bounds.gt = key;
      if (std::string(side) == "le") c.bounds.le = key;
      if (std::string(side) == "lt") c.bounds.lt = key;
    }
    // Where the reference automaton strays from the edit distance, the true answer is ours.
    const auto& res =
        j.contains("true_distance_result") ? j.at("true_distance_result") : j.at("result");
    for (const auto& kv : res)
      c.want.emplace_back(fst_test::hex(kv.at(0).get<std::string>()),
                          kv.at(1).get<std::uint64_t>());
    c.j = std::move(j);
    out.push_back(std::move(c));
  }
  return out;
}

TEST(StreamVectors, RangesWithoutAutomaton) {
  const auto cases = cases_of_type("none");
  ASSERT_GT(cases.size(), 1000u);
  for (const auto& c : cases) {
    const auto& map = map_named(c.j.at("map").get<std::string>());
    EXPECT_EQ(drain(with_bounds(fst::range(map), c.bounds).into_stream()), c.want) << c.j.dump();
  }
}

TEST(StreamVectors, Str) {
  const auto cases = cases_of_type("str");
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    const auto& map = map_named(c.j.at("map").get<std::string>());
    const Str aut(text(fst_test::hex(c.j.at("automaton").at("string").get<std::string>())));
    EXPECT_EQ(drain(with_bounds(fst::search(map, aut), c.bounds).into_stream()), c.want)
        << c.j.dump();
  }
}

TEST(StreamVectors, StartsWithStr) {
  const auto cases = cases_of_type("starts_with_str");
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    const auto& map = map_named(c.j.at("map").get<std::string>());
    auto aut = fst::automaton::starts_with(
        Str(text(fst_test::hex(c.j.at("automaton").at("string").get<std::string>()))));
    EXPECT_EQ(drain(with_bounds(fst::search(map, aut), c.bounds).into_stream()), c.want)
        << c.j.dump();
  }
}

TEST(StreamVectors, Levenshtein) {
  const auto cases = cases_of_type("levenshtein");
  ASSERT_FALSE(cases.empty());
  int mended = 0;
  for (const auto& c : cases) {
    const auto& a = c.j.at("automaton");
    const bool differs = c.j.contains("true_distance_result");
    const auto& tags = c.j.at("tags");
    EXPECT_EQ(differs,
              std::find(tags.begin(), tags.end(), "lev_differs_from_true_distance") != tags.end());
    mended += differs ? 1 : 0;
    const auto& map = map_named(c.j.at("map").get<std::string>());
    Levenshtein aut(text(fst_test::hex(a.at("query_hex").get<std::string>())),
                    a.at("distance").get<std::uint32_t>());
    EXPECT_EQ(drain(with_bounds(fst::search(map, std::move(aut)), c.bounds).into_stream()), c.want)
        << c.j.dump();
  }
  EXPECT_GT(mended, 0);
}

// ---------------------------------------------------------------------------------------------
// The 100,000-word map against a sorted list.

const Pairs& large_pairs() { return fst_test::large_case().keys; }

// `k` varied by `how`: 0 kept, 1 cut to a prefix, 2 a byte added, 3 its last byte nudged.
Bytes varied(Bytes k, unsigned how, std::mt19937& rng) {
  switch (how) {
    case 0:
      break;
    case 1:
      k.resize(rng() % (k.size() + 1));
      break;
    case 2:
      k.push_back(static_cast<std::uint8_t>(rng() % 256));
      break;
    default:
      if (!k.empty()) k.back() = static_cast<std::uint8_t>(k.back() + (rng() % 2 ? 1 : -1));
      break;
  }
  return k;
}

// A bound key near the keys of the list: a key itself, a prefix of one, one with a byte added,
// or one with its last byte nudged; sometimes empty or 0xFF-heavy.
Bytes random_probe(std::mt19937& rng) {
  const auto& keys = large_pairs();
  Bytes k = keys[rng() % keys.size()].first;
  const unsigned how = rng() % 6;
  if (how == 4) return {};
  if (how == 5) return Bytes(1 + rng() % 3, 0xFF);
  return varied(std::move(k), how, rng);
}

// A bound key derived from the key at position i: the key itself, a prefix of it, the key with
// a byte added, or with its last byte nudged.
Bytes probe_near(std::size_t i, std::mt19937& rng) {
  Bytes k = large_pairs()[std::min(i, large_pairs().size() - 1)].first;
  return varied(std::move(k), rng() % 4, rng);
}

// Bounds that usually enclose up to a few hundred keys (an open side only near that end of the
// map); one case in ten takes two unrelated probes, which may cross or span much of the map.
Bounds random_bounds(std::mt19937& rng) {
  const std::size_t n = large_pairs().size();
  Bounds r;
  if (rng() % 10 == 0) {
    r.ge = random_probe(rng);
    if (rng() % 2)
      r.le = random_probe(rng);
    else
      r.lt = random_probe(rng);
    return r;
  }
  const std::size_t at = rng() % n;
  const std::size_t span = rng() % 300;
  const int lower = (at < 300) ? static_cast<int>(rng() % 3) : static_cast<int>(rng() % 2);
  const int upper =
      (at + span + 300 >= n) ? static_cast<int>(rng() % 3) : static_cast<int>(rng() % 2);
  if (lower == 0) r.ge = probe_near(at, rng);
  if (lower == 1) r.gt = probe_near(at, rng);
  if (upper == 0) r.le = probe_near(at + span, rng);
  if (upper == 1) r.lt = probe_near(at + span, rng);
  return r;
}

TEST(StreamLargeMap, UnboundedStreamGivesEveryKey) {
  EXPECT_TRUE(yields_exactly(fst::range(large_map()).into_stream(), large_pairs(),
                             iota(0, large_pairs().size())));
}

TEST(StreamLargeMap, RandomBoundsAgreeWithSortedList) {
  const std::uint32_t seed = 12345;
  std::mt19937 rng(seed);
  for (int i = 0; i < 300; ++i) {
    const Bounds r = random_bounds(rng);
    const auto [from, to] = naive_span(large_pairs(), r);
    ASSERT_TRUE(yields_exactly(with_bounds(fst::range(large_map()), r).into_stream(), large_pairs(),
                               iota(from, to)))
        << "seed " << seed << " case " << i;
  }
}

TEST(StreamLargeMap, StrAndStartsWithAgreeWithSortedList) {
  const std::uint32_t seed = 777;
  std::mt19937 rng(seed);
  for (int i = 0; i < 300; ++i) {
    const Bytes probe = random_probe(rng);
    const Bounds r = rng() % 2 ? random_bounds(rng) : Bounds{};
    const auto& keys = large_pairs();
    const std::size_t at = first_not_below(keys, probe);
    ASSERT_TRUE(yields_exactly(
        with_bounds(fst::search(large_map(), Str(text(probe))), r).into_stream(), keys,
        naive(
            keys, r, [&](const Bytes& k) { return k == probe; }, at,
            std::min(at + 1, keys.size()))))
        << "seed " << seed << " case " << i;

    Bytes prefix = probe;
    prefix.resize(std::min<std::size_t>(prefix.size(), 1 + rng() % 4));
    // The keys that start with the prefix form one block of the sorted list.
    auto starts = [&](const Bytes& k) {
      return k.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), k.begin());
    };
    const std::size_t from = first_not_below(keys, prefix);
    std::size_t to = from;
    while (to < keys.size() && starts(keys[to].first)) ++to;
    ASSERT_TRUE(yields_exactly(
        with_bounds(fst::search(large_map(), fst::automaton::starts_with(Str(text(prefix)))), r)
            .into_stream(),
        keys, naive(keys, r, starts, from, to)))
        << "seed " << seed << " case " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Laziness: count the automaton's steps.

struct Counting {
  using State = fst::automaton::AlwaysMatch::State;
  std::size_t* steps;
  State start() const { return {}; }
  bool is_match(State) const { return true; }
  State accept(State, std::uint8_t) const {
    ++*steps;
    return {};
  }
};

TEST(StreamLaziness, FirstResultsCostAboutTheirOwnLength) {
  const auto& keys = large_pairs();
  std::size_t longest = 0;
  for (const auto& kv : keys) longest = std::max(longest, kv.first.size());
  std::mt19937 rng(99);
  for (int i = 0; i < 50; ++i) {
    std::size_t steps = 0;
    const Bytes lo = random_probe(rng);
    auto s = fst::search(large_map(), Counting{&steps}).ge(lo).into_stream();
    EXPECT_LE(steps, lo.size());  // opening only follows the bound
    const std::size_t k = 1 + rng() % 20;
    std::size_t got = 0;
    while (got < k && s.next()) ++got;
    // Each key costs at most one step a byte beyond the previous one; the whole map is 100,000.
    EXPECT_LE(steps, lo.size() + (k + 1) * (longest + 1)) << "case " << i;
  }
  std::size_t steps = 0;
  auto whole = fst::search(large_map(), Counting{&steps}).into_stream();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(whole.next());
  EXPECT_LE(steps, 11 * (longest + 1));
}

// Once the path passes the upper bound the stream ends, even while the automaton would still
// match later keys, and it stays ended.
TEST(StreamBounds, EndsForGoodAtTheUpperBound) {
  std::size_t steps = 0;
  auto s = fst::search(large_map(), Counting{&steps}).lt("b").into_stream();
  std::size_t n = 0;
  while (s.next()) ++n;
  EXPECT_EQ(n, first_not_below(large_pairs(), Bytes{'b'}));
  const std::size_t after = steps;
  EXPECT_FALSE(s.next());
  EXPECT_EQ(steps, after);
}

TEST(StreamBounds, LaterBoundReplacesEarlierOnTheSameSide) {
  const auto& map = map_named("months");
  auto b = fst::range(map);
  b.ge("z").ge("j").lt("a").le("jul");
  const Pairs got = drain(std::move(b).into_stream());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(text(got[0].first), "jan");
  EXPECT_EQ(text(got[1].first), "jul");
}

// A damaged map either refuses to open, or streams, or throws fst::Error from the stream; it
// never reads outside its bytes (the sanitizer build checks that) and never loops.
TEST(StreamBounds, DamagedMapsFailCleanly) {
  for (const char* name : {"months", "non_ascii_utf8", "lev_small", "output_split"}) {
    const Bytes good = fst_test::build_case_named(name).fst;
    for (std::size_t at = 0; at < good.size(); ++at) {
      for (const std::uint8_t value : {std::uint8_t(good[at] ^ 0x01), std::uint8_t(good[at] ^ 0x80),
                                       std::uint8_t{0}, std::uint8_t{0xFF}}) {
        Bytes bad = good;
        bad[at] = value;
        try {
          const fst::Fst map(bad);
          std::size_t n = drain(fst::range(map).into_stream()).size();
          n += drain(fst::range(map).ge("j").lt("n").into_stream()).size();
          n += drain(fst::search(map, Levenshtein("jan", 1)).gt("a").into_stream()).size();
          n += drain(fst::search(map, fst::automaton::starts_with(Str("ca"))).into_stream()).size();
          EXPECT_LT(n, 100000u);
        } catch (const fst::Error&) {}
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The Levenshtein stream against a brute-force edit distance over every key of a word list.

void check_levenshtein_over(const fst::Fst& map, const Pairs& pairs,
                            const std::vector<std::string>& queries) {
  for (const auto& q : queries) {
    std::vector<std::optional<std::size_t>> dist;
    dist.reserve(pairs.size());
    for (const auto& kv : pairs) dist.push_back(true_distance(q, text(kv.first), 2));
    for (std::uint32_t d = 0; d <= 2; ++d) {
      Pairs want;
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (dist[i] && *dist[i] <= d) want.push_back(pairs[i]);
      }
      ASSERT_EQ(drain(fst::search(map, Levenshtein(q, d)).into_stream()), want)
          << "query " << q << " distance " << d;
    }
  }
}

TEST(StreamLevenshtein, AgreesWithBruteForceOnWordLists) {
  // Words with accents are part of both lists; the queries mix ASCII and non-ASCII letters.
  const std::vector<std::string> queries = {"",        "a",      "hello",  "abrían", "café",
                                            "naïve",   "über",   "straße", "日本",   "zzzzqx",
                                            "ikarhii", "resume", "résumé", "😀"};
  const auto& small = fst_test::build_case_named("words_10000");
  check_levenshtein_over(map_named("words_10000"), small.keys, queries);
  check_levenshtein_over(map_named("lev_small"), fst_test::build_case_named("lev_small").keys,
                         queries);
  check_levenshtein_over(map_named("non_ascii_utf8"),
                         fst_test::build_case_named("non_ascii_utf8").keys, queries);
  check_levenshtein_over(large_map(), large_pairs(),
                         {"", "hello", "résumé", "naïve", "abcdefghij"});
}

}  // namespace
