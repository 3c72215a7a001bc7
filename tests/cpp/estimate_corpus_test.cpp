// The planner's view of a corpus: shape, draws, pricing, and the keys-file pass.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cli.hpp"
#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "perfect_hash.hpp"
#include "test_dir.hpp"

namespace fs = std::filesystem;
using namespace quenlith;
using namespace quenlith::estimate;

namespace {

// Sorted distinct keys of a realistic shape: words under a few shared stems, so that prefixes
// repeat and lengths vary.
std::vector<std::string> corpus(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  static const char* stems[] = {"https://example.org/", "user/", "caf\xC3\xA9-", "", "zz"};
  std::set<std::string> keys;
  while (keys.size() < n) {
    std::string k = stems[rng() % 5];
    for (std::size_t len = 1 + rng() % 12; len > 0; --len) k += static_cast<char>('a' + rng() % 26);
    keys.insert(std::move(k));
  }
  return {keys.begin(), keys.end()};
}

std::vector<std::string_view> views(const std::vector<std::string>& keys) {
  return {keys.begin(), keys.end()};
}

std::uint64_t lcp(std::string_view a, std::string_view b) {
  std::uint64_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

template <class Key>
std::vector<std::string> strings(const std::vector<Key>& keys) {
  return {keys.begin(), keys.end()};
}

// The k keys of smallest sample hash, sorted: what the hash draw must hold.
std::vector<std::string> smallest_by_hash(const std::vector<std::string>& keys, std::size_t k) {
  std::vector<std::pair<std::uint64_t, std::string>> by_hash;
  for (const auto& key : keys) by_hash.emplace_back(sample_hash(key), key);
  std::sort(by_hash.begin(), by_hash.end());
  std::vector<std::string> out;
  for (std::size_t i = 0; i < std::min(k, by_hash.size()); ++i) out.push_back(by_hash[i].second);
  std::sort(out.begin(), out.end());
  return out;
}

// The whole runs that start at the k run starts of smallest hash: what the run draw must hold.
std::vector<std::string> runs_by_hash(const std::vector<std::string>& keys, std::size_t k,
                                      std::size_t run_len) {
  std::vector<std::pair<std::uint64_t, std::size_t>> starts;
  for (std::size_t p = 0; p < keys.size(); p += run_len)
    starts.emplace_back(sample_hash(keys[p]), p);
  std::sort(starts.begin(), starts.end());
  std::vector<std::string> out;
  for (std::size_t i = 0; i < std::min(k, starts.size()); ++i)
    for (std::size_t p = starts[i].second; p < std::min(keys.size(), starts[i].second + run_len);
         ++p)
      out.push_back(keys[p]);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

// ---- Shape and draws ----

TEST(Shape, MatchesBruteForce) {
  for (std::size_t n : {0, 1, 2, 31, 32, 33, 34, 500}) {
    const std::vector<std::string> keys = corpus(n, n);
    Shape want;
    want.count = n;
    for (std::size_t i = 0; i < n; ++i) {
      want.total_len += keys[i].size();
      if (i > 0) want.lcp_prev += lcp(keys[i], keys[i - 1]);
      if (i >= 32) {
        want.lcp_back32 += lcp(keys[i], keys[i - 32]);
        ++want.pairs_back32;
      }
    }
    EXPECT_EQ(Shape::of(views(keys)), want) << n << " keys";
  }
}

TEST(Shape, Means) {
  EXPECT_EQ(Shape::of({}), Shape{});
  EXPECT_EQ(Shape{}.mean_length(), 0.0);
  EXPECT_EQ(Shape{}.mean_lcp(), 0.0);
  const std::vector<std::string_view> one = {"abcd"};
  EXPECT_EQ(Shape::of(one).mean_lcp(), 0.0);
  EXPECT_EQ(Shape::of(one).mean_length(), 4.0);
  // Fewer than 33 keys: the restart suffix falls back to the neighbour's shared prefix.
  const std::vector<std::string_view> few = {"abc", "abd", "abef"};
  const Shape s = Shape::of(few);
  EXPECT_EQ(s.mean_lcp(), 2.0);
  EXPECT_DOUBLE_EQ(s.mean_restart_suffix(), 10.0 / 3 - 2.0);
  const Shape wide{100, 1000, 500, 68, 68};
  EXPECT_DOUBLE_EQ(wide.mean_restart_suffix(), 10.0 - 1.0);
}

TEST(Draws, SampleHashIsFnvThenSplitMix) {
  EXPECT_EQ(sample_hash(""), 0xf52a15e9a9b5e89bULL);
  EXPECT_EQ(sample_hash("a"), 0x2c0bdbf481420f8ULL);
  EXPECT_EQ(sample_hash("quenlith"), 0xf6fcc11ee47cb5beULL);
}

TEST(Draws, HashDrawKeepsTheSmallestHashes) {
  for (std::size_t k : {1, 2, 7, 50}) {
    for (std::size_t n : {0, 1, 6, 7, 8, 13, 14, 15, 100, 1000}) {
      const std::vector<std::string> keys = corpus(n, 7 * n + k);
      HashSample<std::string_view> borrowed(k);
      HashSample<std::string> owned(k);
      for (const auto& key : keys) {
        borrowed.offer(key);
        owned.offer(key);
      }
      const std::vector<std::string> want = smallest_by_hash(keys, k);
      EXPECT_EQ(strings(std::move(borrowed).finish()), want) << "k " << k << " n " << n;
      EXPECT_EQ(std::move(owned).finish(), want) << "k " << k << " n " << n;
    }
  }
}

TEST(Draws, RunDrawKeepsWholeRunsOfTheSmallestStarts) {
  for (std::size_t k : {1, 2, 3}) {
    for (std::size_t run_len : {1, 3, 5}) {
      for (std::size_t n : {0, 1, 3, 4, 17, 40, 200}) {
        const std::vector<std::string> keys = corpus(n, n * 31 + k * 7 + run_len);
        RunSample<std::string_view> borrowed(k, run_len);
        RunSample<std::string> owned(k, run_len);
        for (const auto& key : keys) {
          borrowed.offer(key);
          owned.offer(key);
        }
        const std::vector<std::string> want = runs_by_hash(keys, k, run_len);
        SCOPED_TRACE("k " + std::to_string(k) + " run " + std::to_string(run_len) + " n " +
                     std::to_string(n));
        EXPECT_EQ(strings(std::move(borrowed).finish()), want);
        EXPECT_EQ(std::move(owned).finish(), want);
      }
    }
  }
}

TEST(Draws, SamplesOfStretchesAbsorbed) {
  // Stretches cut at multiples of the run length, sampled apart and absorbed in order, keep what
  // one sample offered every key keeps.
  const std::vector<std::string> keys = corpus(300, 12);
  for (std::size_t cut1 : {0, 5, 100, 300}) {
    for (std::size_t cut2 : {cut1, cut1 + 40}) {
      if (cut2 > keys.size()) continue;
      const std::size_t cuts[] = {0, cut1, cut2, keys.size()};
      HashSample<std::string_view> h(7);
      RunSample<std::string_view> r(3, 5);
      for (std::size_t part = 0; part < 3; ++part) {
        HashSample<std::string_view> hp(7);
        RunSample<std::string_view> rp(3, 5);
        for (std::size_t i = cuts[part]; i < cuts[part + 1]; ++i) {
          hp.offer(keys[i]);
          rp.offer(keys[i]);
        }
        h.absorb(std::move(hp));
        r.absorb(std::move(rp));
      }
      EXPECT_EQ(strings(std::move(h).finish()), smallest_by_hash(keys, 7)) << cut1 << " " << cut2;
      EXPECT_EQ(strings(std::move(r).finish()), runs_by_hash(keys, 3, 5)) << cut1 << " " << cut2;
    }
  }
}

TEST(Draws, FullSizeDraws) {
  // Up to 100,000 keys the hash draw is every key; 4,097 keys make two runs, both kept.
  const std::vector<std::string> keys = corpus(4097, 1);
  const auto [by_hash, by_run] = draws(views(keys));
  EXPECT_EQ(strings(by_hash), keys);
  EXPECT_EQ(strings(by_run), keys);
  // Past that, at most 100,000 and 24 runs of 4,096, sampled on workers when there are keys
  // enough.
  const std::vector<std::string> many = corpus(300000, 2);
  const auto [h, r] = draws(views(many));
  EXPECT_EQ(strings(h), smallest_by_hash(many, 100000));
  EXPECT_EQ(strings(r), runs_by_hash(many, 24, 4096));
  EXPECT_LE(r.size(), 24u * 4096);
}

TEST(Draws, DeterministicForAnyNumberOfWorkers) {
  std::vector<std::string> keys = corpus(20000, 13);
  const std::vector<std::string_view> v = views(keys);
  const Shape shape = detail::shape_of(v, 1);
  const auto one = detail::draws(v, 1);
  for (unsigned parts : {2, 3, 5, 8}) {
    EXPECT_EQ(detail::shape_of(v, parts), shape) << parts;
    EXPECT_EQ(detail::draws(v, parts), one) << parts;
  }
  // The shape of keys at hand equals that of a walk over a stream of them.
  ShapeWalk walk;
  for (std::string_view k : v) walk.push(k);
  EXPECT_EQ(walk.shape(), shape);

  // The sort: repeats dropped, ranges merged in rounds, an odd range out carried over.
  std::vector<std::string_view> shuffled = v;
  shuffled.insert(shuffled.end(), v.begin(), v.begin() + 3000);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(1));
  for (unsigned parts : {1, 2, 3, 4, 7, 9}) {
    std::vector<std::string_view> sorted = shuffled;
    detail::sort_distinct(sorted, parts);
    EXPECT_EQ(sorted, v) << parts;
  }
  for (std::size_t n : {0, 1, 2, 20, 21, 22}) {
    std::vector<std::string_view> few(v.rbegin(), v.rbegin() + static_cast<long>(n));
    few.insert(few.end(), few.begin(), few.end());
    detail::sort_distinct(few, 4);
    EXPECT_TRUE(std::is_sorted(few.begin(), few.end()) &&
                std::adjacent_find(few.begin(), few.end()) == few.end() && few.size() == n);
  }
}

// ---- Pricing ----

TEST(Pricing, WeighIsTheBuiltBlobSize) {
  for (std::size_t n : {0, 1, 2, 1000}) {
    const std::vector<std::string> keys = corpus(n, 5);
    const std::vector<std::string_view> v = views(keys);
    const std::vector<Candidate> hashes = {{Kind::CompactHashIndex, std::nullopt},
                                           {Kind::ClosedHashIndex, std::nullopt},
                                           {Kind::PerfectHashIndex, std::nullopt}};
    const std::vector<Estimate> got = weigh(v, hashes);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], (Estimate{Kind::CompactHashIndex, std::nullopt,
                                compact_hash::CompactHashIndex::build(v).to_bytes().size(), true}));
    EXPECT_EQ(got[1], (Estimate{Kind::ClosedHashIndex, std::nullopt,
                                closed_hash::ClosedHashIndex::build(v).to_bytes().size(), true}));
    EXPECT_EQ(got[2], (Estimate{Kind::PerfectHashIndex, std::nullopt,
                                perfect_hash::PerfectHashIndex::build(v).to_bytes().size(), true}));
  }
  EXPECT_TRUE(weigh({}, {}).empty());
}

TEST(Pricing, DictBlockOutOfRange) {
  for (std::uint64_t block : {0, 1025}) {
    const std::vector<Candidate> c = {{Kind::DictIndex, block}};
    try {
      weigh({}, c);
      ADD_FAILURE() << "block " << block << " accepted";
    } catch (const IndexError& e) {
      EXPECT_STREQ(e.what(), "format error: dict: block must be in 1..=1024");
    }
  }
}

TEST(Pricing, HashLinesPassThroughTheirBuilds) {
  const std::vector<std::string> keys = corpus(3001, 9);
  const std::vector<std::string_view> v = views(keys);
  const std::vector<Candidate> hashes = {{Kind::CompactHashIndex, std::nullopt},
                                         {Kind::ClosedHashIndex, std::nullopt},
                                         {Kind::PerfectHashIndex, std::nullopt}};
  const Sample sample = Sample::of(v, {}, 1000000, hashes);
  const HashFit half = hash_fits(std::span(v).first(1500));
  const HashFit full = hash_fits(v);
  const double n_h = 3001;
  EXPECT_NEAR(sample.compact.intercept + sample.compact.slope * 1500, half.compact, 1e-6);
  EXPECT_NEAR(sample.compact.intercept + sample.compact.slope * n_h, full.compact, 1e-6);
  EXPECT_NEAR(sample.closed.intercept + sample.closed.slope * n_h, full.closed, 1e-6);
  EXPECT_NEAR(sample.perfect.intercept + sample.perfect.slope * n_h, full.perfect, 1e-6);
  // The modelled sizes at the draw's own size are the built sizes.
  const Shape shape = Shape::of(v);
  const std::vector<Estimate> modelled = model(shape, sample, hashes);
  const std::vector<Estimate> built = weigh(v, hashes);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(modelled[i].measured);
    EXPECT_NEAR(static_cast<double>(modelled[i].bytes), static_cast<double>(built[i].bytes), 1.0);
  }
}

TEST(Pricing, ModelArithmetic) {
  Sample sample;
  sample.compact = {-500, 1};
  sample.closed = {NAN, 1};
  sample.perfect = {100, 2};
  sample.string_rate = 3.5;
  const std::uint64_t blocks[] = {32, 256, 1024};
  for (std::size_t i = 0; i < 3; ++i) sample.sets[i] = {blocks[i], {0.5, 1.0 + i, 2, 100, 0.25}};
  Shape shape{1000, 12000, 3996, 2000, 968};
  const std::vector<Candidate> cs = {{Kind::CompactHashIndex, std::nullopt},
                                     {Kind::ClosedHashIndex, std::nullopt},
                                     {Kind::PerfectHashIndex, std::nullopt},
                                     {Kind::StringIndex, std::nullopt},
                                     {Kind::DictIndex, 144},
                                     {Kind::DictIndex, 640},
                                     {Kind::DictIndex, std::nullopt},
                                     {Kind::DictIndex, 700}};
  const std::vector<Estimate> es = model(shape, sample, cs);
  EXPECT_EQ(es[0].bytes, 500u);                 // -500 + 1000
  EXPECT_EQ(es[1].bytes, 0u);                   // not a number
  EXPECT_EQ(es[2].bytes, 100u + 2000 + 12000);  // the keys are stored whole
  EXPECT_EQ(es[3].bytes, 3500u);
  // 144 is as far from 32 as from 256: the 32 set; 640 as far from 256 as from 1024: the 256 set.
  EXPECT_EQ(es[4].bytes, static_cast<std::uint64_t>(dict_price(shape, sample.sets[0].rates, 144)));
  EXPECT_EQ(es[5].bytes, static_cast<std::uint64_t>(dict_price(shape, sample.sets[1].rates, 640)));
  EXPECT_EQ(es[6].block, 256u);
  EXPECT_EQ(es[6].bytes, static_cast<std::uint64_t>(dict_price(shape, sample.sets[1].rates, 256)));
  EXPECT_EQ(es[7].bytes, static_cast<std::uint64_t>(dict_price(shape, sample.sets[2].rates, 700)));
  for (const Estimate& e : es) EXPECT_FALSE(e.measured);

  // A block of 256 over 1000 keys: 4 blocks, microblocks of 16 so 15 restarts a block, 1 shard.
  // l = 12, p = 4, s = 12 - 2000/968.
  const Rates r{0.5, 2, 3, 100, 0.25};
  const double s = 12 - 2000.0 / 968;
  const double want = 72 + 100 * 1 + 0.25 * 1000 + 12 * 4 + 2 * (1000 - 4) +
                      0.5 * ((1000 - 4 - 60) * (12 - 4) + 60 * s) + 3 * 4;
  EXPECT_DOUBLE_EQ(dict_price(shape, r, 256), want);
}

// ---- The keys-file pass ----

namespace {

class KeysFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("estimate_test.");
    path_ = dir_ / "keys.txt";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
  void write_lines(const std::vector<std::string>& keys, const char* eol = "\n") {
    std::string content;
    for (const auto& k : keys) content += k + eol;
    write(content);
  }
  // Everything in the directory but the keys file: a run directory left behind shows here.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path() != path_) out.push_back(e.path().filename().string());
    return out;
  }
  std::string fails(std::uint64_t budget = 1 << 20) {
    try {
      detail::read_corpus(path_, budget);
    } catch (const IndexError& e) {
      return e.what();
    }
    return "no error";
  }

  fs::path dir_;
  fs::path path_;
};

}  // namespace

TEST_F(KeysFile, LineRules) {
  // An empty line, a line of a lone CR, a CR inside a key, CRLF, and a CR ending the file.
  write("b\r\n\n\r\na\rb\nc\r\nb\nd\r");
  const detail::FileCorpus c = detail::read_corpus(path_, 1 << 20);
  ASSERT_TRUE(c.kept);
  EXPECT_EQ(*c.kept, (std::vector<std::string>{"a\rb", "b", "c", "d"}));
  // Only one CR is dropped, after one LF.
  write("x\r\r\n");
  EXPECT_EQ(*detail::read_corpus(path_, 1 << 20).kept, (std::vector<std::string>{"x\r"}));
  write("");
  const detail::FileCorpus empty = detail::read_corpus(path_, 1 << 20);
  EXPECT_EQ(empty.shape, Shape{});
  EXPECT_TRUE(empty.kept && empty.kept->empty());
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(KeysFile, Failures) {
  // Empty lines count in the line numbers.
  write("ok\n\n\xFF\xFEzz\nlater\n");
  EXPECT_EQ(fails(), "io error: " + path_.string() + ":3: not UTF-8");
  write("ok\n\xC3");  // a multi-byte character cut by the end of the file
  EXPECT_EQ(fails(), "io error: " + path_.string() + ":2: not UTF-8");
  try {
    detail::read_corpus(path_, 1 << 20);
  } catch (const IndexError& e) {
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::InvalidData);
  }
  const fs::path missing = dir_ / "missing.txt";
  try {
    plan_file(missing, {}, Objective::memory());
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(),
              "io error: " + missing.string() + ": No such file or directory (os error 2)");
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::NotFound);
  }
  // The first key longer than the budget; a later one stands alone in its run.
  write("a-key-of-twenty-byte\nb\n");
  EXPECT_EQ(fails(16), "format error: plan: a key longer than the run budget");
  write("b\na-key-of-twenty-byte\nc\n");
  EXPECT_EQ(*detail::read_corpus(path_, 16).kept,
            (std::vector<std::string>{"a-key-of-twenty-byte", "b", "c"}));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(KeysFile, SpilledRunsAreRemovedOnEveryPath) {
  std::vector<std::string> keys = corpus(3000, 11);
  std::vector<std::string> shuffled = keys;
  shuffled.insert(shuffled.end(), keys.begin(), keys.begin() + 500);  // repeats across runs
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(3));
  write_lines(shuffled, "\r\n");
  // About 60 runs of 1 KiB.
  const detail::FileCorpus c = detail::read_corpus(path_, 1024);
  ASSERT_TRUE(c.kept);
  EXPECT_EQ(*c.kept, keys);
  EXPECT_EQ(c.shape, Shape::of(views(keys)));
  EXPECT_TRUE(leftovers().empty());
  // A bad line after many spills.
  std::string content;
  for (const auto& k : shuffled) content += k + "\n";
  write(content + "\xFF\n");
  EXPECT_EQ(fails(1024), "io error: " + path_.string() + ":" + std::to_string(shuffled.size() + 1) +
                             ": not UTF-8");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(KeysFile, SameCorpusAsInMemory) {
  // Exactly at the measuring limit the keys are kept; one more and the draws are taken instead.
  std::vector<std::string> keys = corpus(100001, 4);
  std::vector<std::string> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(5));
  write_lines(std::vector<std::string>(shuffled.begin() + 1, shuffled.end()));
  detail::FileCorpus c = detail::read_corpus(path_, 1 << 20);
  ASSERT_TRUE(c.kept);
  EXPECT_EQ(c.kept->size(), 100000u);

  shuffled.push_back(shuffled[7]);  // a repeat does not count
  write_lines(shuffled);
  c = detail::read_corpus(path_, 1 << 20);  // spills several runs
  EXPECT_FALSE(c.kept);
  const std::vector<std::string_view> v = views(keys);
  const auto [by_hash, by_run] = draws(v);
  EXPECT_EQ(c.shape, Shape::of(v));
  EXPECT_EQ(c.hash_draw, strings(by_hash));
  EXPECT_EQ(c.run_draw, strings(by_run));
  EXPECT_TRUE(leftovers().empty());
}

// The command line reads keys files by rules of its own: a CR before the end of a file that has no
// final line feed stays in the key there, and its messages differ.
TEST_F(KeysFile, CommandLineReaderDiffersWhereItShould) {
  write("a\r\n\n\r\nb\r\r\nc\r");
  EXPECT_EQ(*detail::read_corpus(path_, 1 << 20).kept, (std::vector<std::string>{"a", "b\r", "c"}));
  cli::Input no_input(-1);
  const cli::Keys keys = cli::read_keys(path_.string(), no_input);
  EXPECT_EQ(std::vector<std::string_view>(keys.keys().begin(), keys.keys().end()),
            (std::vector<std::string_view>{"a", "b\r", "c\r"}));
  EXPECT_EQ(keys.skipped, 2u);

  write("a\n\n\xFF\n");
  EXPECT_EQ(fails(), "io error: " + path_.string() + ":3: not UTF-8");
  try {
    cli::read_keys(path_.string(), no_input);
    ADD_FAILURE();
  } catch (const cli::Fail& f) {
    EXPECT_EQ(f.message, path_.string() + ":3: stream did not contain valid UTF-8");
  }
}
