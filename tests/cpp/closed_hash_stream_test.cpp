// The streamed closed build against the in-memory build, with and without spilled runs.
#include <gtest/gtest.h>

#include <random>

#include "closed_hash.hpp"
#include "stream_testing.hpp"

using namespace quenlith;
using closed_hash::ClosedHashIndex;
using test_support::distinct_keys;
using test_support::expect_clean_failure;
using test_support::file_bytes;
using test_support::listing;
using test_support::ScratchDir;
using test_support::ScriptedSource;

namespace {

hash::Pair colliding_hash(std::string_view key) {
  hash::Pair hp = hash::hash_pair(key);
  if (!key.empty() && key[0] == '#') hp.h1 = 0x8000000000000001ull;
  return hp;
}

std::vector<std::string> corpus(std::size_t n, std::uint64_t seed) {
  std::vector<std::string> keys = distinct_keys(n, seed);
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < n / 4; ++i) keys.push_back(keys[rng() % n]);
  for (const char* k : {"#b", "#a", "#c", "#a"}) keys.push_back(k);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

std::vector<std::uint8_t> in_memory(const std::vector<std::string>& keys,
                                    hash::Pair (*hash)(std::string_view)) {
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash(k));
  return ClosedHashIndex::build_from_pairs(std::move(pairs)).to_bytes();
}

TEST(ClosedHashStream, EqualsInMemoryBuildWithAndWithoutRuns) {
  ScratchDir dir;
  const std::vector<std::string> keys = corpus(4000, 3);
  const auto want = in_memory(keys, colliding_hash);
  // Runs of: all keys in memory; exactly all keys (one run spilled at the last key); one key
  // fewer (a second one-pair run at the end); many small runs.
  for (std::uint64_t run_pairs : {std::uint64_t{1} << 20, std::uint64_t{keys.size()},
                                  std::uint64_t{keys.size() - 1}, std::uint64_t{257}}) {
    for (unsigned threads : {1u, 4u}) {
      ScriptedSource source({keys});
      const auto path = dir / "c.bcl";
      const std::uint64_t n = closed_hash::detail::build_to_file_limits(source, path, run_pairs,
                                                                        threads, colliding_hash);
      ASSERT_EQ(file_bytes(path), want) << run_pairs << " pairs a run, " << threads;
      EXPECT_EQ(n, ClosedHashIndex::from_bytes(want).len());
      EXPECT_EQ(listing(dir.path()), std::set<std::string>{"c.bcl"});
    }
  }
}

TEST(ClosedHashStream, ThreadCountDoesNotChangeTheBytes) {
  ScratchDir dir;
  const std::vector<std::string> keys = corpus(50000, 9);
  std::vector<std::uint8_t> first;
  for (unsigned threads : {1u, 2u, 4u}) {
    ScriptedSource source({keys});
    closed_hash::detail::build_to_file_limits(source, dir / "t.bcl", 9000, threads);
    const auto bytes = file_bytes(dir / "t.bcl");
    if (first.empty()) first = bytes;
    EXPECT_EQ(bytes, first) << threads;
  }
  EXPECT_EQ(first, in_memory(keys, hash::hash_pair));
}

TEST(ClosedHashStream, NoKeysWritesTheHeaderAlone) {
  ScratchDir dir;
  ScriptedSource none(std::vector<std::vector<std::string>>{{}});
  EXPECT_EQ(ClosedHashIndex::build_to_file(none, dir / "e.bcl"), 0u);
  const auto bytes = file_bytes(dir / "e.bcl");
  EXPECT_EQ(bytes.size(), 36u);
  EXPECT_EQ(ClosedHashIndex::from_bytes(bytes).len(), 0u);
}

TEST(ClosedHashStream, AFailedSourceNeverYieldsAnIndex) {
  ScratchDir dir;
  const auto path = dir / "f.bcl";
  const std::vector<std::uint8_t> before = {'o', 'l', 'd'};
  blob::write_atomically(path, before);
  for (std::uint64_t run_pairs : {std::uint64_t{1} << 20, std::uint64_t{100}}) {
    ScriptedSource source({corpus(1000, 2)});
    source.fail_from = 0;
    expect_clean_failure(
        [&] { closed_hash::detail::build_to_file_limits(source, path, run_pairs, 2); },
        IndexError::Kind::Format, "closed-hash: the key source failed before it ended", path,
        before);
  }
  // A keys file with a line that is not UTF-8, through the standard entry.
  const auto keys_path = dir / "keys.txt";
  blob::write_atomically(keys_path, bytes::as_bytes(std::string_view("a\nb\n\xed\xa0\x80\n")));
  key_source::KeysFile file(keys_path);
  expect_clean_failure([&] { ClosedHashIndex::build_to_file(file, path); },
                       IndexError::Kind::Format,
                       "closed-hash: the key source failed before it ended", path, before);
}

}  // namespace
