// StringIndex queries against a sorted-vector model, and its builds.
#include "string_index.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "fst/builder.hpp"
#include "test_dir.hpp"

namespace quenlith::string_index {
void PrintTo(const Entry& e, std::ostream* os) {
  *os << "(" << ::testing::PrintToString(e.key) << ", " << e.id << ")";
}
}  // namespace quenlith::string_index

namespace fs = std::filesystem;
using namespace quenlith;
using namespace quenlith::string_index;

namespace {

std::vector<std::string_view> views(const std::vector<std::string>& keys) {
  return {keys.begin(), keys.end()};
}

StringIndex build_of(const std::vector<std::string>& keys) {
  const auto v = views(keys);
  return StringIndex::build(std::span<const std::string_view>(v));
}

// Keys over pieces that make repeats, prefixes of one another, the empty key and characters of
// one to four bytes (0x7F, U+0080, U+00FF, U+FFFF, U+1F600) common.
std::vector<std::string> random_keys(std::mt19937_64& rng, std::size_t n) {
  static const char* pieces[] = {"a",        "b",        "ab",           "\x7F",
                                 "\xC2\x80", "\xC3\xBF", "\xEF\xBF\xBF", "\xF0\x9F\x98\x80",
                                 "z",        "\xC3\xA9"};
  std::vector<std::string> keys(n);
  for (auto& k : keys)
    for (std::size_t p = rng() % 5; p > 0; --p) k += pieces[rng() % 10];
  return keys;
}

// Queries and bounds: keys, keys cut anywhere (inside characters too), and bytes no key holds.
std::vector<std::string> probes(std::mt19937_64& rng, const std::vector<std::string>& keys) {
  std::vector<std::string> out = {"", "\xFF", "a\xFF", "\x80", "\x7F\xFF\xFF", "zzzz", "a\xFF\xFF"};
  for (std::size_t i = 0; i < 40 && !keys.empty(); ++i) {
    const std::string& k = keys[rng() % keys.size()];
    out.push_back(k);
    out.push_back(k.substr(0, rng() % (k.size() + 1)));
    out.push_back(k + "\x80");
    out.push_back(k + "\xFF");
  }
  return out;
}

// The sorted, distinct keys: the model every query is checked against.
std::vector<std::string> model_of(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

std::vector<Entry> model_slice(const std::vector<std::string>& m, std::size_t from,
                               std::size_t to) {
  std::vector<Entry> out;
  for (std::size_t i = from; i < to; ++i) out.push_back(Entry{m[i], i});
  return out;
}

std::uint64_t model_rank(const std::vector<std::string>& m, const std::string& q) {
  return static_cast<std::uint64_t>(std::lower_bound(m.begin(), m.end(), q) - m.begin());
}

std::vector<std::uint32_t> scalars(std::string_view s) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t c = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t j = 1; j < len; ++j) c = c << 6 | (static_cast<std::uint8_t>(s[i + j]) & 0x3F);
    out.push_back(c);
    i += len;
  }
  return out;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
  const auto x = scalars(a), y = scalars(b);
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[y.size()];
}

// Does `key` contain the characters of `query` in order?
bool has_subsequence(std::string_view key, std::string_view query) {
  const auto k = scalars(key), q = scalars(query);
  std::size_t j = 0;
  for (std::size_t i = 0; i < k.size() && j < q.size(); ++i)
    if (k[i] == q[j]) ++j;
  return j == q.size();
}

TEST(StringIndexQueries, MatchSortedModel) {
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<std::string> keys = random_keys(rng, seed * 37 % 300);
    const std::vector<std::string> m = model_of(keys);
    const StringIndex idx = build_of(keys);
    const std::uint64_t n = m.size();
    ASSERT_EQ(idx.len(), n);

    for (std::uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(idx.id(m[i]), i);
      ASSERT_EQ(idx.key(i), m[i]);
    }
    EXPECT_EQ(idx.key(n), std::nullopt);
    EXPECT_EQ(idx.key(UINT64_MAX), std::nullopt);
    EXPECT_EQ(idx.prefix(""), model_slice(m, 0, n));
    auto all = idx.stream_after();
    EXPECT_EQ(drain(all, std::nullopt), model_slice(m, 0, n));

    const std::vector<std::string> ps = probes(rng, m);
    for (const std::string& q : ps) {
      SCOPED_TRACE(q);
      const auto present = std::binary_search(m.begin(), m.end(), q);
      const std::uint64_t r = model_rank(m, q);
      EXPECT_EQ(idx.contains(q), present);
      EXPECT_EQ(idx.rank_of_first_ge(q), r);

      const auto succ = idx.successor(q);
      if (r < n) {
        EXPECT_EQ(succ, (Entry{m[r], r}));
      } else {
        EXPECT_EQ(succ, std::nullopt);
      }
      const auto pred = idx.predecessor(q);
      const std::uint64_t le = present ? r + 1 : r;  // keys <= q
      auto after = idx.stream_after(q);
      EXPECT_EQ(drain(after, 2), model_slice(m, le, std::min<std::uint64_t>(n, le + 2)));
      if (le > 0) {
        EXPECT_EQ(pred, (Entry{m[le - 1], le - 1}));
      } else {
        EXPECT_EQ(pred, std::nullopt);
      }

      // Prefix listing, range and count.
      std::vector<Entry> starts;
      for (std::uint64_t i = 0; i < n; ++i)
        if (m[i].compare(0, q.size(), q) == 0) starts.push_back(Entry{m[i], i});
      EXPECT_EQ(idx.prefix(q), starts);
      EXPECT_EQ(idx.prefix(q, 3),
                std::vector<Entry>(starts.begin(),
                                   starts.begin() + std::min<std::size_t>(3, starts.size())));
      EXPECT_TRUE(idx.prefix(q, 0).empty());
      const auto [s, e] = idx.prefix_id_range(q);
      EXPECT_EQ(s, r);
      EXPECT_EQ(e - s, starts.size());
      if (!starts.empty()) {
        EXPECT_EQ(starts.front().id, s);
      }
      EXPECT_EQ(idx.prefix_count(q), starts.size());

      // Every key that is a prefix of the query ending on one of its character boundaries (the
      // empty key always), shortest first.
      std::vector<Entry> prefixes;
      for (std::uint64_t i = 0; i < n; ++i)
        if (q.compare(0, m[i].size(), m[i]) == 0 &&
            (m[i].empty() || q.size() == m[i].size() ||
             (static_cast<std::uint8_t>(q[m[i].size()]) & 0xC0) != 0x80))
          prefixes.push_back(Entry{m[i], i});
      EXPECT_EQ(idx.common_prefix(q), prefixes);
      if (prefixes.empty()) {
        EXPECT_EQ(idx.longest_prefix(q), std::nullopt);
      } else {
        EXPECT_EQ(idx.longest_prefix(q), prefixes.back());
      }

      const std::string& hi = ps[rng() % ps.size()];
      const std::uint64_t rh = model_rank(m, hi);
      EXPECT_EQ(idx.range_count(q, hi), rh > r ? rh - r : 0);
      const auto all = rh > r ? model_slice(m, r, rh) : std::vector<Entry>{};
      EXPECT_EQ(idx.range(q, hi), all);
      EXPECT_EQ(
          idx.range(q, hi, 2),
          std::vector<Entry>(all.begin(), all.begin() + std::min<std::size_t>(2, all.size())));
      EXPECT_TRUE(idx.range(q, hi, 0).empty());
    }
  }
}

// Keys that share long runs and differ only past 8-byte boundaries, or by trailing NUL bytes,
// with repeats: the build gives each distinct key its rank in unsigned byte order.
TEST(StringIndexQueries, BuildRanksKeysInByteOrder) {
  std::mt19937_64 rng(5);
  static const char alphabet[] = {'\0', 'a', '\x7F', 'b'};
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) {
    std::string k(rng() % 3 == 0 ? 16 : 0, 'a');
    for (std::size_t len = rng() % 20; len > 0; --len) k += alphabet[rng() % 4];
    keys.push_back(k);
    if (rng() % 4 == 0) keys.push_back(k);
  }
  const std::vector<std::string> m = model_of(keys);
  const StringIndex idx = build_of(keys);
  ASSERT_EQ(idx.len(), m.size());
  for (std::uint64_t i = 0; i < m.size(); ++i) ASSERT_EQ(idx.id(m[i]), i);
}

TEST(StringIndexQueries, FuzzyAndSubsequenceMatchBruteForce) {
  std::mt19937_64 rng(7);
  const std::vector<std::string> keys = random_keys(rng, 400);
  const std::vector<std::string> m = model_of(keys);
  const StringIndex idx = build_of(keys);
  std::vector<std::string> queries = {"", "a", "ab", "\xC3\xA9", "b\xF0\x9F\x98\x80z"};
  for (int i = 0; i < 10; ++i) queries.push_back(m[rng() % m.size()]);
  for (const std::string& q : queries) {
    if (!bytes::is_utf8(bytes::as_bytes(q))) continue;
    SCOPED_TRACE(q);
    for (std::uint32_t d = 0; d <= 2; ++d) {
      std::vector<Entry> want;
      for (std::uint64_t i = 0; i < m.size(); ++i)
        if (edit_distance(m[i], q) <= d) want.push_back(Entry{m[i], i});
      EXPECT_EQ(idx.fuzzy(q, d), want) << "distance " << d;
      if (!want.empty()) {
        EXPECT_EQ(idx.fuzzy(q, d, 1), std::vector<Entry>{want.front()});
      }
    }
    std::vector<Entry> want;
    for (std::uint64_t i = 0; i < m.size(); ++i)
      if (has_subsequence(m[i], q)) want.push_back(Entry{m[i], i});
    EXPECT_EQ(idx.subsequence(q), want);
  }
}

TEST(StringIndexQueries, SmallCases) {
  const StringIndex abc = build_of({"a", "ab", "abc", "b"});
  EXPECT_EQ(abc.key(2), "abc");
  EXPECT_EQ(abc.prefix_id_range("ab"), (std::pair<std::uint64_t, std::uint64_t>{1, 3}));
  EXPECT_EQ(abc.common_prefix("abcd"), (std::vector<Entry>{{"a", 0}, {"ab", 1}, {"abc", 2}}));
  EXPECT_EQ(build_of({"ab", "abcd"}).common_prefix("abc"), (std::vector<Entry>{{"ab", 0}}));

  // Order is by unsigned bytes: "a" + U+00E9 sorts after "az".
  const StringIndex accents = build_of({"a\xC3\xA9", "az"});
  EXPECT_EQ(accents.id("az"), 0u);
  EXPECT_EQ(accents.id("a\xC3\xA9"), 1u);

  // The empty key is id 0 and the first of every common_prefix.
  const StringIndex with_empty = build_of({"x", "", "xy"});
  EXPECT_EQ(with_empty.key(0), "");
  EXPECT_EQ(with_empty.common_prefix(""), (std::vector<Entry>{{"", 0}}));
  EXPECT_EQ(with_empty.longest_prefix("q"), (Entry{"", 0}));
  EXPECT_EQ(with_empty.range("", "x"), (std::vector<Entry>{{"", 0}}));
  EXPECT_TRUE(with_empty.range("x", "").empty());

  const StringIndex empty;
  EXPECT_EQ(empty.len(), 0u);
  EXPECT_EQ(empty.key(0), std::nullopt);
  EXPECT_EQ(empty.lower_bound("a"), 0u);
  EXPECT_EQ(empty.prefix_id_range(""), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
  EXPECT_EQ(empty.successor(""), std::nullopt);
  EXPECT_EQ(empty.predecessor("z"), std::nullopt);

  // Subsequence: a multi-byte character matches only as that character.
  const StringIndex sub = build_of({"abcde", "ace", "bad", "\xC3\x83\xC2\xA9",
                                    "\xC3\xA8\xC3\xA9"
                                    "a"});
  EXPECT_EQ(sub.subsequence("ace"), (std::vector<Entry>{{"abcde", 0}, {"ace", 1}}));
  EXPECT_EQ(sub.subsequence("\xC3\xA9"), (std::vector<Entry>{{"\xC3\xA8\xC3\xA9"
                                                              "a",
                                                              4}}));
  EXPECT_EQ(sub.subsequence("\xC3\xA9"
                            "a"),
            (std::vector<Entry>{{"\xC3\xA8\xC3\xA9"
                                 "a",
                                 4}}));

  // Fuzzy of the empty query: keys of at most d characters, counted in characters.
  const StringIndex chars = build_of({"\xC3\xA9\xC3\xA9", "abc", "x"});
  EXPECT_EQ(chars.fuzzy("", 2), (std::vector<Entry>{{"x", 1}, {"\xC3\xA9\xC3\xA9", 2}}));
}

TEST(StringIndexQueries, FuzzyRefusesHugeAutomatonWhateverTheLimit) {
  const StringIndex idx = build_of({"a"});
  const std::string query = "abcdefghijkl";
  for (const std::optional<std::uint64_t> limit :
       {std::optional<std::uint64_t>{0}, std::optional<std::uint64_t>{}}) {
    try {
      idx.fuzzy(query, 3, limit);
      FAIL() << "expected an automaton error";
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Automaton);
      EXPECT_STREQ(e.what(),
                   "automaton error: Levenshtein automaton exceeds size limit of 10000 states");
    }
  }
}

// An automaton that counts its steps, to see how much of the map a limited listing reads.
template <class A>
struct Counting {
  using State = typename A::State;
  A inner;
  std::uint64_t* steps;
  State start() const { return inner.start(); }
  bool is_match(const State& s) const { return inner.is_match(s); }
  bool can_match(const State& s) const { return fst::can_match(inner, s); }
  State accept(const State& s, std::uint8_t b) const {
    ++*steps;
    return inner.accept(s, b);
  }
};

TEST(StringIndexQueries, LimitedListingsStopNearTheLastResult) {
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back("key" + std::to_string(i * 7919 % 100000));
  const std::vector<std::string> m = model_of(keys);
  const StringIndex idx = build_of(keys);
  for (const std::string prefix : {"", "key", "key5"}) {
    std::uint64_t steps = 0;
    auto it = idx.search(Counting<PrefixAutomaton>{
        fst::automaton::starts_with(fst::automaton::Str(prefix)), &steps});
    const auto got = drain(it, 10);
    ASSERT_EQ(got.size(), 10u);
    // Reaching ten keys takes at most their bytes, plus the transitions tried and refused
    // along the prefix.
    std::uint64_t bound = 256 * (prefix.size() + 1);
    for (const Entry& e : got) bound += e.key.size();
    EXPECT_LE(steps, bound) << prefix;
    EXPECT_EQ(got, idx.prefix(prefix, 10));
  }
  std::uint64_t steps = 0;
  auto it = idx.search(Counting<fst::automaton::AlwaysMatch>{{}, &steps}, std::string_view("key3"),
                       std::string_view("key9"));
  const auto got = drain(it, 10);
  ASSERT_EQ(got.size(), 10u);
  std::uint64_t bound = 4;
  for (const Entry& e : got) bound += e.key.size();
  EXPECT_LE(steps, bound);
  EXPECT_EQ(got, idx.range("key3", "key9", 10));
}

TEST(StringIndexQueries, RankWalkAndLossyKeys) {
  EXPECT_EQ(lossy_utf8(bytes::as_bytes("ok\xC3\xA9")), "ok\xC3\xA9");
  EXPECT_EQ(lossy_utf8(bytes::as_bytes("a\xC3"
                                       "b\xFF\xE2\x82")),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");

  // A map holding a key that is not UTF-8 (only a blob loaded without validation can): the
  // rank walk refuses it, a listing shows it lossily.
  fst::MapBuilder b = fst::MapBuilder::memory();
  b.insert(std::string_view("a"), 0);
  b.insert(std::string_view("b\xFF"), 1);
  std::vector<std::uint8_t> blob = {'B', 'I', 'X', '4'};
  const auto map = b.into_inner();
  blob.insert(blob.end(), map.begin(), map.end());
  const StringIndex idx = StringIndex::from_shared(blob::SharedBytes::from_owned(blob), false);
  EXPECT_EQ(idx.key(1), std::nullopt);
  EXPECT_EQ(idx.prefix("b"), (std::vector<Entry>{{"b\xEF\xBF\xBD", 1}}));
}

// --- builds ----------------------------------------------------------------------------------

class StringIndexBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("string_index_test.");
    out_ = dir_ / "keys.bix";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Names in the directory, the output's included.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  std::vector<std::uint8_t> output() const { return fileio::read_file(out_); }

  fs::path dir_;
  fs::path out_;
};

// A source whose one pass fails after `good` keys.
class FailingSource final : public key_source::KeySource {
 public:
  FailingSource(std::vector<std::string_view> keys, std::size_t good)
      : keys_(std::move(keys)), good_(std::min(good, keys_.size())) {}
  std::unique_ptr<key_source::KeyStream> open_pass() override {
    const std::span<const std::string_view> good(keys_.data(), good_);
    return good_source_.emplace(good).open_pass();
  }
  bool failed() const override { return good_ < keys_.size(); }

 private:
  std::vector<std::string_view> keys_;
  std::size_t good_;
  std::optional<key_source::Strings> good_source_;
};

TEST_F(StringIndexBuild, EveryBuildWritesTheSameBytes) {
  std::mt19937_64 rng(3);
  const std::vector<std::string> keys = random_keys(rng, 3000);
  const std::vector<std::string> m = model_of(keys);
  const std::vector<std::uint8_t> want = build_of(keys).to_bytes();
  const auto kv = views(keys);

  key_source::Strings one(kv);
  EXPECT_EQ(StringIndex::build_to_file(one, out_), m.size());
  EXPECT_EQ(output(), want);

  // Many runs (a run budget of 64 bytes or 8 keys), with repeats across them.
  key_source::Strings many(kv);
  EXPECT_EQ(detail::build_to_file_with(many, out_, {64, extsort::kMaxRunBytes}), m.size());
  EXPECT_EQ(output(), want);
  // More runs than one merge takes at once.
  key_source::Strings crowd(kv);
  EXPECT_EQ(detail::build_to_file_with(crowd, out_, {16, extsort::kMaxRunBytes}), m.size());
  EXPECT_EQ(output(), want);

  std::vector<std::string> sorted_with_repeats = m;
  sorted_with_repeats.insert(sorted_with_repeats.begin() + sorted_with_repeats.size() / 2,
                             m[m.size() / 2]);
  const auto sv = views(sorted_with_repeats);
  key_source::Strings sorted(sv);
  EXPECT_EQ(StringIndex::build_sorted_to_file(sorted, out_), m.size());
  EXPECT_EQ(output(), want);
  EXPECT_EQ(names(), std::vector<std::string>{"keys.bix"});

  EXPECT_EQ(StringIndex::load(out_).to_bytes(), want);
  const std::vector<std::string> none;
  EXPECT_EQ(StringIndex::load_mmap(out_).len(), m.size());
  EXPECT_EQ(build_of(none).serialized_len(), build_of(none).to_bytes().size());

  // No keys at all: every build writes the empty index.
  key_source::Strings empty_unsorted({});
  EXPECT_EQ(StringIndex::build_to_file(empty_unsorted, out_), 0u);
  EXPECT_EQ(output(), build_of(none).to_bytes());
  fs::remove(out_);
  key_source::Strings empty_sorted({});
  EXPECT_EQ(StringIndex::build_sorted_to_file(empty_sorted, out_), 0u);
  EXPECT_EQ(output(), build_of(none).to_bytes());
  EXPECT_EQ(StringIndex::load(out_).len(), 0u);
}

TEST_F(StringIndexBuild, LongKeysFollowTheRunRule) {
  const std::string big(100, 'x');
  // First key over the budget: refused before anything is written.
  {
    const std::vector<std::string_view> keys = {big, "a"};
    key_source::Strings src(keys);
    try {
      detail::build_to_file_with(src, out_, {64, extsort::kMaxRunBytes});
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_STREQ(e.what(), "format error: string-index: a key longer than the run budget");
    }
    EXPECT_TRUE(names().empty());
  }
  // Over the budget after other keys: it stands alone in its run, same bytes as in memory.
  {
    const std::vector<std::string_view> keys = {"b", "a", big, "c"};
    key_source::Strings src(keys);
    EXPECT_EQ(detail::build_to_file_with(src, out_, {64, extsort::kMaxRunBytes}), 4u);
    EXPECT_EQ(output(), StringIndex::build(std::span<const std::string_view>(keys)).to_bytes());
  }
  // Past the run's offset limit (4 GiB, here 90 bytes) after other keys: refused, not cut.
  {
    fs::remove(out_);
    const std::vector<std::string_view> keys = {"b", "a", big, "c"};
    key_source::Strings src(keys);
    try {
      detail::build_to_file_with(src, out_, {64, 90});
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Format);
      EXPECT_STREQ(e.what(), "format error: extsort: a key longer than 4 GiB");
    }
    EXPECT_TRUE(names().empty());
  }
}

TEST_F(StringIndexBuild, FailuresLeaveTheTargetAsItWas) {
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  blob::write_atomically(out_, old);
  ::chmod(out_.c_str(), 0640);

  const std::vector<std::string_view> unordered = {"a", "c", "b"};
  key_source::Strings src(unordered);
  try {
    StringIndex::build_sorted_to_file(src, out_);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Fst);
    EXPECT_STREQ(e.what(),
                 "fst error: Error inserting out-of-order key: 'b'. (Previous key was 'c'.) Keys "
                 "must be inserted in lexicographic order.");
  }
  EXPECT_EQ(output(), old);
  EXPECT_EQ(names(), std::vector<std::string>{"keys.bix"});

  // A source that fails part-way, in both builds, with spilled runs in the first.
  std::vector<std::string_view> many;
  std::vector<std::string> store;
  for (int i = 0; i < 200; ++i) store.push_back(std::to_string(i * 37 % 200));
  for (const auto& s : store) many.push_back(s);
  for (const bool sorted : {false, true}) {
    FailingSource failing(many, 150);
    try {
      if (sorted) {
        std::sort(many.begin(), many.end());
        FailingSource ordered(many, 150);
        StringIndex::build_sorted_to_file(ordered, out_);
      } else {
        detail::build_to_file_with(failing, out_, {32, extsort::kMaxRunBytes});
      }
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_STREQ(e.what(),
                   "format error: string-index: the input iterable raised before it ended");
    }
    EXPECT_EQ(output(), old);
    EXPECT_EQ(names(), std::vector<std::string>{"keys.bix"});
  }

  // Success keeps the replaced file's permission bits.
  key_source::Strings ok(unordered);
  StringIndex::build_to_file(ok, out_);
  struct stat st;
  ASSERT_EQ(::stat(out_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A write refused by the file size limit, whether the builder's own flush or the final flush
// meets it, is an I/O error and leaves nothing behind.
TEST_F(StringIndexBuild, WriteFailuresAreIoErrors) {
  std::vector<std::string> keys;
  for (int i = 0; i < 50000; ++i) keys.push_back(std::to_string(i * 7919) + "-key");
  const auto kv = views(keys);
  const std::vector<std::string_view> few = {"a", "b"};
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  ::getrlimit(RLIMIT_FSIZE, &old);
  for (const auto& [limit, source] :
       {std::pair{rlim_t{20}, std::span<const std::string_view>(few)},
        std::pair{rlim_t{100000}, std::span<const std::string_view>(kv)}}) {
    for (const bool sorted : {false, true}) {
      std::vector<std::string_view> input(source.begin(), source.end());
      if (sorted) std::sort(input.begin(), input.end());
      key_source::Strings src(input);
      rlimit small = old;
      small.rlim_cur = limit;
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
      try {
        if (sorted) {
          StringIndex::build_sorted_to_file(src, out_);
        } else {
          StringIndex::build_to_file(src, out_);
        }
        ::setrlimit(RLIMIT_FSIZE, &old);
        FAIL() << "limit " << limit;
      } catch (const IndexError& e) {
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(e.kind(), IndexError::Kind::Io) << e.what();
      }
      EXPECT_TRUE(names().empty());
    }
  }
}

}  // namespace
