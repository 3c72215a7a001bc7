#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dict_index_internal.hpp"
#include "fileio.hpp"
#include "test_dir.hpp"

namespace quenlith::dict_index {
namespace {

namespace fs = std::filesystem;
using key_source::KeyBatch;
using key_source::KeySource;
using key_source::KeyStream;

// Keys the test holds; the source fails (ends early and says so) after `good` keys of a pass.
class TestSource final : public KeySource {
 public:
  explicit TestSource(std::vector<std::string_view> keys, std::size_t good = SIZE_MAX)
      : keys_(std::move(keys)), good_(good) {}
  std::unique_ptr<KeyStream> open_pass() override {
    struct Stream final : KeyStream {
      TestSource* src;
      std::size_t at = 0;
      bool next_batch(KeyBatch& batch) override {
        batch.clear();
        while (at < src->keys_.size() && batch.size() < 100) {
          if (at == src->good_) {
            src->failed_ = true;
            break;
          }
          batch.push(src->keys_[at++]);
        }
        return !batch.empty();
      }
    };
    auto s = std::make_unique<Stream>();
    s->src = this;
    return s;
  }
  bool failed() const override { return failed_; }

 private:
  std::vector<std::string_view> keys_;
  std::size_t good_;
  bool failed_ = false;
};

class DictStream : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("dict_index_stream_test.");
    out_ = dir_ / "keys.bdx";
  }
  void TearDown() override { fs::remove_all(dir_); }
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

std::vector<std::string> corpus(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) {
    std::string k =
        "https://h" + std::to_string(rng() % 300) + ".example/" + std::to_string(rng() % 100000);
    if (rng() % 7 == 0) k += "\xC3\xA9";  // some multi-byte characters
    keys.push_back(k);
    if (rng() % 5 == 0) keys.push_back(k);  // repeats
  }
  keys.push_back("");
  return keys;
}

std::vector<std::string_view> views(const std::vector<std::string>& keys) {
  return {keys.begin(), keys.end()};
}

TEST_F(DictStream, EqualsTheInMemoryBuildOnBothRoads) {
  for (std::size_t n : {0, 1, 5, 3000}) {
    const auto keys = corpus(n, static_cast<std::uint32_t>(n));
    for (std::uint64_t block : {1, 8, 256}) {
      SCOPED_TRACE("keys " + std::to_string(n) + " block " + std::to_string(block));
      const auto want = DictIndex::build_with_block(views(keys), block).to_bytes();
      std::vector<std::string_view> v = views(keys);
      if (n == 0) v.clear();
      const auto expect = n == 0 ? DictIndex::build_with_block({}, block).to_bytes() : want;
      TestSource one(v);
      DictIndex::build_to_file_runs(one, out_, block);
      EXPECT_EQ(output(), expect);
      // Many spilled runs: a budget of 200 bytes.
      TestSource many(v);
      detail::build_to_file_runs_limits(many, out_, block, {200, extsort::kMaxRunBytes});
      EXPECT_EQ(output(), expect);
      EXPECT_EQ(names(), std::vector<std::string>{"keys.bdx"});
    }
  }
}

TEST_F(DictStream, ManyShardsStreamLikeMemory) {
  // Block 1 makes shards of 65,535 keys; 70,000 keys give two.
  std::vector<std::string> keys;
// GCC 12 reports a false -Wrestrict inside std::string's operator+(const char*, std::string&&)
// (GCC bug 105651); the strings never overlap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (int i = 0; i < 70000; ++i) keys.push_back("k" + std::to_string(i * 37 % 70001));
#pragma GCC diagnostic pop
  const auto want = DictIndex::build_with_threads(views(keys), 1, 3).to_bytes();
  TestSource src(views(keys));
  EXPECT_EQ(detail::build_to_file_runs_limits(src, out_, 1, {100000, extsort::kMaxRunBytes}),
            keys.size());
  EXPECT_EQ(output(), want);
}

TEST_F(DictStream, FailuresLeaveNothingAndKeepTheTarget) {
  const auto keys = corpus(500, 3);
  fileio::File::create(out_).write_all(std::vector<std::uint8_t>{'o', 'l', 'd'});
  auto expect_error = [&](auto build, const std::string& message) {
    try {
      build();
      ADD_FAILURE() << "no error";
    } catch (const IndexError& e) {
      EXPECT_EQ(e.message(), message);
    }
    EXPECT_EQ(output(), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(names(), std::vector<std::string>{"keys.bdx"});
  };
  expect_error(
      [&] {
        TestSource s(views(keys), 300);
        detail::build_to_file_runs_limits(s, out_, 8, {200, extsort::kMaxRunBytes});
      },
      kSourceFailed);
  expect_error(
      [&] {
        TestSource s(views(keys));
        DictIndex::build_to_file_runs(s, out_, 0);
      },
      "dict: block must be in 1..=1024");
  const std::vector<std::string> long_first{std::string(300, 'x'), "a"};
  expect_error(
      [&] {
        TestSource s(views(long_first));
        detail::build_to_file_runs_limits(s, out_, 8, {200, extsort::kMaxRunBytes});
      },
      kKeyTooLong);
  // A key past what a run's offsets address (4 GiB, here a stand-in of 250 bytes) is refused,
  // never cut into another key, even after other keys.
  const std::vector<std::string> huge_later{"a", "b", std::string(260, 'y')};
  expect_error(
      [&] {
        TestSource s(views(huge_later));
        detail::build_to_file_runs_limits(s, out_, 8, {200, 250});
      },
      "extsort: a key longer than 4 GiB");
  // Longer than the budget but within the offsets: taken alone in its own run.
  const std::vector<std::string> long_later{"a", std::string(220, 'z'), "b"};
  TestSource ok(views(long_later));
  EXPECT_EQ(detail::build_to_file_runs_limits(ok, out_, 8, {200, 250}), 3u);
  EXPECT_EQ(output(), DictIndex::build_with_block(views(long_later), 8).to_bytes());
}

// A replay that yields other keys from its call `stable` on (the first pass replays twice).
class ShiftingReplay final : public extsort::Replay {
 public:
  ShiftingReplay(std::vector<std::string> first, std::vector<std::string> later, int stable = 2)
      : first_(std::move(first)), later_(std::move(later)), stable_(stable) {}
  void each(void* context, extsort::KeyCallback callback) override {
    const auto& keys = calls_++ < stable_ ? first_ : later_;
    for (const auto& k : keys) callback(context, k);
  }

 private:
  std::vector<std::string> first_, later_;
  int stable_;
  int calls_ = 0;
};

TEST_F(DictStream, AChangedStreamIsRefused) {
  std::vector<std::string> base;
// GCC 12 reports a false -Wrestrict inside std::string's operator+(const char*, std::string&&)
// (GCC bug 105651); the strings never overlap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (int i = 0; i < 300; ++i) base.push_back("k" + std::to_string(10000 + i));
  auto shorter = base;
  shorter.pop_back();
  auto longer = base;
  for (int i = 0; i < 70000; ++i) longer.push_back("z" + std::to_string(100000 + i));
#pragma GCC diagnostic pop
  for (const auto& later : {shorter, longer}) {
    for (std::uint64_t block : {1, 256}) {
      ShiftingReplay replay(base, later);
      const FirstPass first = first_pass(replay, block);
      try {
        write_sorted(replay, first, {}, out_);
        ADD_FAILURE() << "no error";
      } catch (const IndexError& e) {
        EXPECT_EQ(e.message(), kStreamChanged);
      }
      EXPECT_TRUE(names().empty());
    }
    // The same change between the first pass's own two replays: the longer stream reaches a
    // shard with no piece list at block 256.
    for (std::uint64_t block : {1, 256}) {
      ShiftingReplay replay(base, later, 1);
      try {
        first_pass(replay, block);
        ADD_FAILURE() << "no error";
      } catch (const IndexError& e) {
        EXPECT_EQ(e.message(), kStreamChanged);
      }
    }
  }
}

}  // namespace
}  // namespace quenlith::dict_index

#include "dict_testing.hpp"

namespace quenlith::dict_index {
namespace {

TEST_F(DictStream, PhrasedCorpusStreamsLikeMemory) {
  const auto keys = dict_testing::path_keys(60000, 4);
  const auto want = DictIndex::build_with_block(views(keys), 256);
  std::size_t phrased = 0;
  for (const Codec& c : want.codecs()) phrased += c.kind() == Codec::Kind::Phrased;
  EXPECT_GT(phrased, 0u);
  TestSource one(views(keys));
  DictIndex::build_to_file_runs(one, out_, 256);
  EXPECT_EQ(output(), want.to_bytes());
  TestSource many(views(keys));
  detail::build_to_file_runs_limits(many, out_, 256, {50000, extsort::kMaxRunBytes});
  EXPECT_EQ(output(), want.to_bytes());
}

}  // namespace
}  // namespace quenlith::dict_index
