// External pair sorting against a sorted-set model: spills, the parallel merge into ranges,
// the readers over merged files, and the distinct-h1 stream.
#include "compact_hash_runs.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <set>

#include "hash_index_testing.hpp"
#include "stream_testing.hpp"

using namespace quenlith;
using compact_hash::Pair;
using compact_hash::Scratch;
using test_support::listing;
using test_support::ScratchDir;

namespace {

// Pairs with many repeats and many equal h1 values, `hot` of every 4 in one bucket.
std::vector<Pair> crowded_pairs(std::size_t n, std::uint64_t seed, bool hot) {
  std::mt19937_64 rng(seed);
  std::vector<Pair> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t h1 = rng() % 3 == 0 ? rng() % 512 : rng();
    if (hot && i % 4 != 0) h1 = (std::uint64_t{7} << 54) | (rng() % 4096);
    const std::uint64_t h2 = rng() % 5;
    out.push_back(Pair{h1, h2});
    if (rng() % 4 == 0) out.push_back(out[rng() % out.size()]);  // a repeat
  }
  return out;
}

struct Model {
  std::vector<Pair> pairs;
  std::uint64_t repeats = 0;
};
Model model_of(const std::vector<Pair>& pairs) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> set;
  for (const Pair& p : pairs) set.insert({p.h1, p.h2});
  Model m;
  for (const auto& [h1, h2] : set) {
    if (!m.pairs.empty() && m.pairs.back().h1 == h1) ++m.repeats;
    m.pairs.push_back(Pair{h1, h2});
  }
  return m;
}

std::vector<Pair> read_all(compact_hash::Source& source) {
  std::vector<Pair> out;
  for (auto block = source.next(); !block.empty(); block = source.next())
    out.insert(out.end(), block.begin(), block.end());
  return out;
}

// Spills `pairs` in runs of `run` pairs and merges them.
Scratch::Merged spill_and_merge(Scratch& scratch, const std::vector<Pair>& pairs, std::size_t run) {
  std::vector<Pair> buffer;
  for (const Pair& p : pairs) {
    buffer.push_back(p);
    if (buffer.size() == run) scratch.spill(buffer);
  }
  if (!buffer.empty()) scratch.spill(buffer);
  return scratch.merge();
}

TEST(PairRuns, MergeThreadsGiveTheDistinctPairsInOrder) {
  ScratchDir dir;
  for (bool hot : {false, true}) {
    const std::vector<Pair> pairs = crowded_pairs(30000, hot ? 2 : 1, hot);
    const Model want = model_of(pairs);
    for (unsigned threads : {1u, 3u, 8u}) {
      for (std::size_t run : {std::size_t{997}, std::size_t{8000}}) {
        Scratch scratch(dir / "out.bch", threads);
        const Scratch::Merged merged = spill_and_merge(scratch, pairs, run);
        EXPECT_EQ(merged.pairs, want.pairs.size());
        EXPECT_EQ(merged.repeats, want.repeats);
        EXPECT_LE(merged.files.size(), threads);
        if (threads == 1) {
          EXPECT_EQ(merged.files.size(), 1u);
        }
        compact_hash::Pairs files = merged.files;
        compact_hash::Source source(files);
        ASSERT_EQ(read_all(source), want.pairs) << threads << " threads, runs of " << run;
        // Read twice: a second source starts over.
        compact_hash::Source again(files);
        EXPECT_EQ(read_all(again).size(), want.pairs.size());
        // The distinct h1 values, however the caller's batches fall.
        compact_hash::Source for_reps(files);
        compact_hash::Reps reps(for_reps);
        std::vector<std::uint64_t> got;
        std::uint64_t buf[37];
        for (std::size_t k; (k = reps.next_batch(buf)) != 0;) got.insert(got.end(), buf, buf + k);
        std::vector<std::uint64_t> h1s;
        for (const Pair& p : want.pairs)
          if (h1s.empty() || h1s.back() != p.h1) h1s.push_back(p.h1);
        EXPECT_EQ(got, h1s);
        EXPECT_FALSE(reps.error);
      }
    }
  }
}

TEST(PairRuns, ScratchDirectoryComesWithTheFirstSpillAndGoesWithTheScratch) {
  ScratchDir dir;
  {
    Scratch scratch(dir / "o.bch", 2);
    EXPECT_TRUE(listing(dir.path()).empty());
    std::vector<Pair> run = {{3, 1}, {1, 2}, {3, 1}};
    scratch.spill(run);
    EXPECT_TRUE(run.empty());
    const auto names = listing(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names.begin()->starts_with("o.bch.") && names.begin()->ends_with(".runs"));
    EXPECT_EQ(std::filesystem::file_size(scratch.dir() / "0"), 2 * compact_hash::kPairBytes);
    // Two scratches of one output never share a directory.
    Scratch other(dir / "o.bch", 2);
    EXPECT_NE(other.dir(), scratch.dir());
  }
  EXPECT_TRUE(listing(dir.path()).empty());
}

// The scratch directory is the output path followed by the process id and the next sequence
// number; a leftover directory of exactly that name is an error, and no other name is tried.
TEST(PairRuns, ScratchDirectoryNameAndALeftoverOfThatName) {
  ScratchDir dir;
  const std::string head = (dir / "keys.idx").string() + "." + std::to_string(::getpid()) + ".";
  Scratch first(dir / "keys.idx", 1);
  const std::string name = first.dir().string();
  ASSERT_TRUE(name.starts_with(head) && name.ends_with(".runs")) << name;
  const std::uint64_t seq = std::stoull(name.substr(head.size(), name.size() - head.size() - 5));
  EXPECT_TRUE(std::filesystem::is_directory(name));

  std::filesystem::create_directory(head + std::to_string(seq + 1) + ".runs");
  Scratch second(dir / "keys.idx", 1);
  try {
    second.dir();
    ADD_FAILURE() << "a leftover directory was reused";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::AlreadyExists);
  }
  EXPECT_EQ(listing(dir.path()).size(), 2u);
  Scratch third(dir / "keys.idx", 1);
  EXPECT_EQ(third.dir().string(), head + std::to_string(seq + 2) + ".runs");
}

TEST(PairRuns, TornRunAndMergedFilesAreIoErrors) {
  ScratchDir dir;
  const std::vector<Pair> pairs = crowded_pairs(5000, 9, false);
  auto expect_torn = [](const std::function<void()>& f) {
    try {
      f();
      ADD_FAILURE() << "no error";
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Io);
      EXPECT_STREQ(e.what(), "io error: compact-hash: a scratch file is torn");
    }
  };
  {
    Scratch scratch(dir / "a.bch", 2);
    std::vector<Pair> run = pairs;
    scratch.spill(run);
    std::filesystem::resize_file(scratch.dir() / "0",
                                 std::filesystem::file_size(scratch.dir() / "0") - 5);
    expect_torn([&] { scratch.merge(); });
  }
  {
    Scratch scratch(dir / "b.bch", 1);
    const Scratch::Merged merged = spill_and_merge(scratch, pairs, 1000);
    std::filesystem::resize_file(merged.files[0], std::filesystem::file_size(merged.files[0]) - 15);
    compact_hash::Pairs files = merged.files;
    compact_hash::Source source(files);
    expect_torn([&] { read_all(source); });
    // Through `Reps` the error is kept, and the sequence ends.
    compact_hash::Source for_reps(files);
    compact_hash::Reps reps(for_reps);
    std::uint64_t buf[1024];
    while (reps.next_batch(buf) != 0) {}
    ASSERT_TRUE(reps.error);
    EXPECT_EQ(reps.error->message(), "compact-hash: a scratch file is torn");
  }
}

TEST(PairRuns, EmptyRangesGetEmptyMergedFilesThatReadersPassOver) {
  ScratchDir dir;
  // Every pair in one bucket: the cuts collapse, and the surplus workers merge nothing.
  std::vector<Pair> pairs;
  for (std::uint64_t i = 0; i < 3000; ++i) pairs.push_back(Pair{i % 700, i % 3});
  Scratch scratch(dir / "c.bch", 4);
  const Scratch::Merged merged = spill_and_merge(scratch, pairs, 500);
  // The first cut falls after bucket 0, which holds everything: the second range is empty.
  ASSERT_EQ(merged.files.size(), 2u);
  EXPECT_EQ(std::filesystem::file_size(merged.files[1]), 0u);
  const Model want = model_of(pairs);
  compact_hash::Pairs files = merged.files;
  compact_hash::Source source(files);
  EXPECT_EQ(read_all(source), want.pairs);
  EXPECT_EQ(merged.repeats, want.repeats);
}

}  // namespace
