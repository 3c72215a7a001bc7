#include "extsort.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "test_dir.hpp"

namespace fs = std::filesystem;
using namespace quenlith;
using namespace quenlith::extsort;

namespace {

// "words.bdx.<digits>.<digits>.runs": the scratch directory named after the output, a process id
// and a sequence number.
bool is_run_dir_name(std::string_view name) {
  constexpr std::string_view kPrefix = "words.bdx.", kSuffix = ".runs";
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
  name = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  const std::size_t dot = name.find('.');
  auto digits = [](std::string_view d) {
    return !d.empty() && d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dot != std::string_view::npos && digits(name.substr(0, dot)) &&
         digits(name.substr(dot + 1));
}

constexpr const char* kTooLong = "dict: a key longer than the run budget";

class ExtSort : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("extsort_test.");
    output_ = dir_ / "words.bdx";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Names in the test directory other than the output's.
  std::vector<std::string> scratch() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
    return out;
  }

  fs::path dir_;
  fs::path output_;
};

std::vector<std::string> replay_all(Replay& r) {
  std::vector<std::string> out;
  r.for_each([&](std::string_view k) { out.emplace_back(k); });
  return out;
}

// Keys from a small alphabet of ASCII and multi-byte characters, so that repeats, prefixes and
// bytes above 0x7F are common.
std::vector<std::string> corpus(std::mt19937_64& rng, std::size_t n) {
  static const char* pieces[] = {"a", "b", "ab", "\xC3\xA9", "\xF0\x9F\x98\x80", "z", "~"};
  std::vector<std::string> keys(n);
  for (auto& k : keys)
    for (std::size_t p = rng() % 6; p > 0; --p) k += pieces[rng() % 7];
  return keys;
}

// The offset of the first byte of the first non-empty key in the run file `f` after 1/`part` of
// its bytes.
std::size_t key_byte_at(const std::vector<std::uint8_t>& f, std::size_t part) {
  for (std::size_t at = 8; at + 4 <= f.size();) {
    const std::uint32_t len = bytes::load_u32(f.data() + at);
    if (len > 0 && at >= f.size() / part) return at + 4;
    at += 4 + len;
  }
  ADD_FAILURE() << "no key to damage";
  return 8;
}

std::vector<std::string> model(const std::vector<std::string>& keys) {
  std::set<std::string> s(keys.begin(), keys.end());
  return {s.begin(), s.end()};
}

std::string format_error(auto&& f) {
  try {
    f();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format) << e.what();
    return e.message();
  }
  return "accepted";
}

}  // namespace

TEST_F(ExtSort, MatchesModelFromNoRunToCascadedMerges) {
  std::mt19937_64 rng(42);
  struct Case {
    std::size_t keys;
    std::uint64_t budget;
    bool spills;
  };
  // No key; one run in memory; a few runs; more than 128 runs, so groups merge first.
  for (const Case c : {Case{0, 64, false}, Case{1, 64, false}, Case{500, 1 << 20, false},
                       Case{2000, 4096, true}, Case{6000, 96, true}}) {
    SCOPED_TRACE("keys " + std::to_string(c.keys) + " budget " + std::to_string(c.budget));
    const auto keys = corpus(rng, c.keys);
    {
      Sorter sorter(output_, c.budget, kTooLong);
      for (const auto& k : keys) sorter.push(k);
      Replay& replay = sorter.finish();
      EXPECT_EQ(sorter.spilled(), c.spills);
      if (c.keys == 6000) {
        EXPECT_GT(sorter.runs().numbers().size(), kMaxFanIn);
      }
      const auto first = replay_all(replay);
      EXPECT_EQ(first, model(keys));
      if (c.keys == 6000) {
        EXPECT_LE(sorter.runs().numbers().size(), kMaxFanIn);
      }
      EXPECT_EQ(replay_all(replay), first);  // a second pass sees the same keys
      EXPECT_EQ(scratch().size(), c.spills ? 1u : 0u);
    }
    EXPECT_TRUE(scratch().empty()) << "the scratch directory outlives the sort";
  }
}

TEST_F(ExtSort, CascadeMergesFullGroupsAndKeepsALoneRun) {
  // 129 runs: the first 128 merge into run 129, the 129th stays: two runs for the final merge.
  Runs runs(output_);
  extsort::Run run(64);
  std::vector<std::string> all;
  for (int r = 0; r < 129; ++r) {
    for (std::string k :
         {std::string("shared"), std::to_string(r) + "r", std::to_string(r / 2) + "r"}) {
      run.push(k);
      all.push_back(k);
    }
    runs.spill(run);
    run.clear();
  }
  RunsReplay replay(runs);
  EXPECT_EQ(replay_all(replay), model(all));
  EXPECT_EQ(std::vector<std::uint64_t>(runs.numbers().begin(), runs.numbers().end()),
            (std::vector<std::uint64_t>{129, 128}));
  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(runs.dir())) files.insert(e.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"128", "129"}));
  // The raw merge keeps a key that two runs hold; the replay drops it.
  ErrorCell cell;
  Merge m = runs.merge(cell);
  std::size_t shared = 0;
  while (auto k = m.next()) shared += *k == "shared";
  EXPECT_EQ(shared, 129u);  // 128 in the merged run, 1 in the lone one
  EXPECT_FALSE(cell);
}

TEST_F(ExtSort, RunsSortUnsignedAndSpillEachKeyOnce) {
  extsort::Run run(1 << 10);
  for (const char* k : {"b", "\xC3\xA9", "ab", "a", "", "b", "abc", "z", "a"}) run.push(k);
  std::vector<std::string> sorted;
  for (auto k : run.sorted()) sorted.emplace_back(k);
  EXPECT_EQ(sorted, (std::vector<std::string>{"", "a", "ab", "abc", "b", "z", "\xC3\xA9"}));
  EXPECT_EQ(run.sorted().size(), 7u);  // sorted once, kept

  Runs runs(output_);
  runs.spill(run);
  const auto file = fileio::read_file(runs.dir() / "0");
  EXPECT_EQ(bytes::load_u64(file.data()), 7u);
  EXPECT_EQ(file.size(), 8 + 7 * 4 + (0 + 1 + 2 + 3 + 1 + 1 + 2));
  EXPECT_TRUE(is_run_dir_name(runs.dir().filename().string())) << runs.dir();
  EXPECT_TRUE(runs.dir().string().starts_with(output_.string() + "." + std::to_string(::getpid())));
}

TEST_F(ExtSort, KeysLongerThanTheBudget) {
  // A budget below 8 holds no key at all.
  EXPECT_EQ(format_error([&] { Sorter(output_, 7, kTooLong).push("a"); }), kTooLong);
  // As the first key, a key longer than the budget is refused, and nothing touches the disk.
  {
    Sorter sorter(output_, 64, "plan: a key longer than the run budget");
    EXPECT_EQ(format_error([&] { sorter.push(std::string(65, 'x')); }),
              "plan: a key longer than the run budget");
    sorter.push(std::string(64, 'y'));  // exactly the budget fits
    EXPECT_EQ(replay_all(sorter.finish()), std::vector<std::string>{std::string(64, 'y')});
    EXPECT_TRUE(scratch().empty());
  }
  // After other keys it is taken: the keys before it are spilled, it stands alone in the emptied
  // run, and the next key spills it; every key is replayed once, in order.
  {
    Sorter sorter(output_, 64, "plan: a key longer than the run budget");
    std::vector<std::string> keys;
    for (int i = 0; i < 5; ++i) keys.push_back("key" + std::to_string(i));
    keys.push_back(std::string(200, 'x'));
    keys.push_back("after");
    keys.push_back(std::string(200, 'x'));  // a repeat of the long key, in a later run
    for (const auto& k : keys) sorter.push(k);
    Replay& replay = sorter.finish();
    EXPECT_TRUE(sorter.spilled());
    EXPECT_EQ(sorter.runs().numbers().size(), 4u);
    EXPECT_EQ(replay_all(replay), model(keys));
    EXPECT_EQ(replay_all(replay), model(keys));
  }
  EXPECT_TRUE(scratch().empty());
}

TEST_F(ExtSort, ThirtyTwoBitFieldsNeverWrap) {
  // A budget past the 32-bit offsets is refused up front.
  EXPECT_EQ(format_error([] { extsort::Run r(kMaxRunBytes + 1); }),
            "extsort: a run budget of 4 GiB or more");
  EXPECT_EQ(format_error([] { extsort::Run r(kMaxRunBytes); }), "accepted");
  EXPECT_EQ(format_error([] { extsort::Run r(101, 100); }),
            "extsort: a run budget of 4 GiB or more");

  // With a 100-byte stand-in limit: keys that would end past it, or are longer than it, are
  // refused and leave the run as it was.
  extsort::Run run(100, 100);
  for (int i = 0; i < 9; ++i) run.push(std::string(10, static_cast<char>('a' + i)));
  EXPECT_EQ(format_error([&] { run.push(std::string(11, 'z')); }),
            "extsort: a run of 4 GiB or more");
  EXPECT_EQ(format_error([&] { run.push(std::string(101, 'z')); }),
            "extsort: a key longer than 4 GiB");
  run.push(std::string(10, 'j'));  // ends exactly at the limit
  std::vector<std::string> got;
  for (auto k : run.sorted()) got.emplace_back(k);
  ASSERT_EQ(got.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(got[i], std::string(10, static_cast<char>('a' + i)));

  // Under the spill rule with the budget at the limit, runs fill to the limit and round-trip.
  std::mt19937_64 rng(9);
  Runs runs(output_);
  extsort::Run limited(100, 100);
  std::vector<std::string> keys;
  for (int i = 0; i < 500; ++i) {
    keys.push_back(std::string(1 + rng() % 30, static_cast<char>('a' + rng() % 26)));
    push_or_spill(limited, runs, keys.back(), kTooLong);
  }
  runs.spill(limited);
  RunsReplay replay(runs);
  EXPECT_EQ(replay_all(replay), model(keys));
}

TEST_F(ExtSort, DamagedRunFilesAreReported) {
  std::mt19937_64 rng(1);
  const auto keys = corpus(rng, 3000);
  struct Damage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> apply;
    const char* message;  // nullptr: the short read's own error
  };
  const std::vector<Damage> damages{
      {"invalid UTF-8", [](auto& f) { f[key_byte_at(f, 2)] = 0xFF; },
       "extsort: a run file is corrupt"},
      {"keys out of order",
       // A key early in the run made larger than those after it: a changed byte that stays text.
       [](auto& f) { f[key_byte_at(f, 8)] = 0x7F; }, "extsort: a run file is corrupt"},
      {"bytes after the last record", [](auto& f) { f.push_back('a'); },
       "extsort: a run file is corrupt"},
      {"count too small",
       [](auto& f) { bytes::store_u64(f.data(), bytes::load_u64(f.data()) - 1); },
       "extsort: a run file is corrupt"},
      {"truncated", [](auto& f) { f.resize(f.size() - 3); }, nullptr},
      {"length past the end", [](auto& f) { bytes::store_u32(f.data() + 8, 0xFFFFFFF0u); },
       nullptr},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    {
      Sorter sorter(output_, 2048, kTooLong);
      for (const auto& k : keys) sorter.push(k);
      Replay& replay = sorter.finish();
      ASSERT_TRUE(sorter.spilled());
      const fs::path victim = sorter.runs().dir_path() / "1";
      auto bytes = fileio::read_file(victim);
      d.apply(bytes);
      fs::remove(victim);
      fileio::File f = fileio::File::create(victim);
      f.write_all(bytes);
      f.close();

      std::size_t delivered = 0;
      try {
        replay.for_each([&](std::string_view) { ++delivered; });
        ADD_FAILURE() << "damage not reported";
      } catch (const IndexError& e) {
        EXPECT_EQ(e.kind(), IndexError::Kind::Io) << e.what();
        if (d.message) {
          EXPECT_STREQ(e.what(), ("io error: " + std::string(d.message)).c_str());
        } else {
          EXPECT_EQ(e.io_kind(), IndexError::IoKind::UnexpectedEof) << e.what();
        }
      }
      EXPECT_LT(delivered, model(keys).size());
    }
    EXPECT_TRUE(scratch().empty());
  }
}

TEST_F(ExtSort, FuzzedRunFilesFailCleanly) {
  // Random byte changes anywhere in a run file: the replay either fails with an I/O error or
  // delivers ascending distinct keys; it never crashes or reads out of bounds.
  std::mt19937_64 rng(77);
  const auto keys = corpus(rng, 400);
  for (int trial = 0; trial < 60; ++trial) {
    Sorter sorter(output_, 512, kTooLong);
    for (const auto& k : keys) sorter.push(k);
    Replay& replay = sorter.finish();
    const fs::path victim = sorter.runs().dir_path() / std::to_string(trial % 3);
    auto bytes = fileio::read_file(victim);
    for (int flips = 1 + trial % 3; flips > 0; --flips)
      bytes[rng() % bytes.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    if (trial % 5 == 0) bytes.resize(rng() % bytes.size());
    fs::remove(victim);
    fileio::File f = fileio::File::create(victim);
    f.write_all(bytes);
    f.close();
    std::vector<std::string> got;
    try {
      replay.for_each([&](std::string_view k) { got.emplace_back(k); });
      ASSERT_TRUE(std::is_sorted(got.begin(), got.end())) << trial;
      ASSERT_EQ(std::adjacent_find(got.begin(), got.end()), got.end()) << trial;
    } catch (const IndexError& e) {
      ASSERT_EQ(e.kind(), IndexError::Kind::Io) << trial << ": " << e.what();
    }
  }
}

TEST_F(ExtSort, CallbackFailureStopsAtOnceAndCleansUp) {
  std::mt19937_64 rng(2);
  const auto keys = corpus(rng, 2000);
  for (std::uint64_t budget : {1 << 20, 1024}) {
    {
      Sorter sorter(output_, budget, kTooLong);
      for (const auto& k : keys) sorter.push(k);
      Replay& replay = sorter.finish();
      int seen = 0;
      EXPECT_THROW(replay.for_each([&](std::string_view) {
        if (++seen == 3) throw IndexError::build("perfect-hash: stop");
      }),
                   IndexError);
      EXPECT_EQ(seen, 3);
      EXPECT_EQ(replay_all(replay), model(keys));  // the sort is still whole
    }
    EXPECT_TRUE(scratch().empty());
  }
}

TEST_F(ExtSort, ScratchDirectoryFailuresAreIo) {
  Runs runs(dir_ / "missing" / "out.idx");
  extsort::Run run(64);
  run.push("k");
  try {
    runs.spill(run);
    FAIL() << "spilled into a missing directory";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::NotFound);
  }
  // An output name with a NUL byte is refused before any directory is made under a cut name.
  {
    Runs nul(fs::path(output_.string() + std::string(1, '\0') + "x"));
    extsort::Run one(64);
    one.push("k");
    try {
      nul.spill(one);
      FAIL() << "spilled under a name with a NUL byte";
    } catch (const IndexError& e) {
      EXPECT_EQ(e.io_kind(), IndexError::IoKind::InvalidInput);
    }
    EXPECT_TRUE(scratch().empty());
  }
  // Two sorts of one output never share a scratch directory.
  Runs a(output_), b(output_);
  EXPECT_NE(a.dir(), b.dir());
}
