// The external compact build against the in-memory build on every road (pairs in memory or
// merged from runs, fingerprint table in memory or in range files), and its failures.
#include <gtest/gtest.h>

#include <random>

#include "compact_hash.hpp"
#include "stream_testing.hpp"

using namespace quenlith;
using compact_hash::BuildLimits;
using compact_hash::CompactHashIndex;
using test_support::distinct_keys;
using test_support::expect_clean_failure;
using test_support::file_bytes;
using test_support::listing;
using test_support::ScratchDir;
using test_support::ScriptedSource;
using test_support::views;

namespace {

// Keys beginning with '#' share one h1, those beginning with '%' another.
hash::Pair colliding_hash(std::string_view key) {
  hash::Pair hp = hash::hash_pair(key);
  if (!key.empty() && key[0] == '#') hp.h1 = 0x00000000C0FFEE00ull;
  if (!key.empty() && key[0] == '%') hp.h1 = 0xFFFFFFFFC0FFEE00ull;
  return hp;
}

std::vector<std::string> corpus(std::size_t n, std::uint64_t seed) {
  std::vector<std::string> keys = distinct_keys(n, seed);
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < n / 5; ++i) keys.push_back(keys[rng() % n]);  // repeats
// GCC 12 reports a false -Wrestrict inside std::string's operator+(const char*, std::string&&)
// (GCC bug 105651); the strings never overlap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (int i = 0; i < 6; ++i) {
    keys.push_back("#" + std::to_string(i));
    keys.push_back("%" + std::to_string(i));
  }
#pragma GCC diagnostic pop
  keys.push_back("#3");
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

std::vector<std::uint8_t> in_memory(const std::vector<std::string>& keys, std::uint32_t bits,
                                    hash::Pair (*hash)(std::string_view)) {
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash(k));
  return CompactHashIndex::build_from_pairs(std::move(pairs), bits).to_bytes();
}

struct Road {
  const char* name;
  std::uint64_t run_pairs;  // 0: the standard run buffer
  bool ranged;
};

TEST(CompactHashStream, EqualsInMemoryBuildOnEveryRoad) {
  ScratchDir dir;
  const std::vector<std::string> keys = corpus(3000, 4);
  const Road roads[] = {{"in memory", 0, false},
                        {"runs", 500, false},
                        {"in memory, ranged", 0, true},
                        {"runs, ranged", 333, true},
                        {"one full run", keys.size(), false}};
  for (std::uint32_t bits : {8u, 1u, 3u, 16u, 24u, 61u, 64u}) {
    const auto want = in_memory(keys, bits, colliding_hash);
    for (const Road& road : roads) {
      for (unsigned threads : {1u, 3u}) {
        BuildLimits limits;
        limits.bits = bits;
        if (road.run_pairs) limits.run_bytes = road.run_pairs * 16;
        if (road.ranged) {
          limits.table_bytes = 100;
          limits.range_slots = bits % 2 ? 64 : 200;
        }
        ScriptedSource source({keys});
        const auto path = dir / "c.bch";
        const std::uint64_t n = compact_hash::detail::build_to_file_threads(
            source, path, limits, threads, colliding_hash);
        ASSERT_EQ(file_bytes(path), want) << road.name << ", " << bits << " bits, " << threads;
        EXPECT_EQ(n, CompactHashIndex::from_bytes(want).len());
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"c.bch"});
      }
    }
  }
}

TEST(CompactHashStream, TableBudgetBoundary) {
  ScratchDir dir;
  const std::vector<std::string> keys = corpus(900, 8);
  const auto want = in_memory(keys, 64, colliding_hash);
  const CompactHashIndex idx = CompactHashIndex::from_bytes(want);
  const std::uint64_t table = (idx.len() - idx.side().size()) * 8;
  // A table of exactly the budget stays in memory; one byte over it goes to range files, the
  // last range holding what is left.
  for (std::uint64_t budget : {table, table - 1}) {
    BuildLimits limits;
    limits.bits = 64;
    limits.table_bytes = budget;
    limits.range_slots = 96;
    ScriptedSource source({keys});
    compact_hash::detail::build_to_file_threads(source, dir / "b.bch", limits, 2, colliding_hash);
    EXPECT_EQ(file_bytes(dir / "b.bch"), want) << budget;
  }
}

TEST(CompactHashStream, ThreadCountDoesNotChangeTheBytes) {
  ScratchDir dir;
  const std::vector<std::string> keys = corpus(60000, 12);
  std::vector<std::uint8_t> first;
  for (unsigned threads : {1u, 2u, 4u}) {
    for (bool ranged : {false, true}) {
      BuildLimits limits;
      limits.bits = 13;
      limits.run_bytes = 16 * 7000;
      if (ranged) {
        limits.table_bytes = 4096;
        limits.range_slots = 8192;
      }
      ScriptedSource source({keys});
      compact_hash::detail::build_to_file_threads(source, dir / "t.bch", limits, threads);
      const auto bytes = file_bytes(dir / "t.bch");
      if (first.empty()) first = bytes;
      EXPECT_EQ(bytes, first) << threads << " threads, ranged " << ranged;
    }
  }
  const auto v = views(keys);
  EXPECT_EQ(first,
            CompactHashIndex::build_from_pairs(compact_hash::hash_keys(v, 1), 13).to_bytes());
}

TEST(CompactHashStream, NoKeysAndTheStandardEntry) {
  ScratchDir dir;
  ScriptedSource none(std::vector<std::vector<std::string>>{{}});
  EXPECT_EQ(CompactHashIndex::build_bits_to_file(none, dir / "e.bch"), 0u);
  EXPECT_EQ(file_bytes(dir / "e.bch"), CompactHashIndex::build_from_pairs({}, 8).to_bytes());
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"e.bch"});

  const std::vector<std::string> keys = corpus(500, 1);
  ScriptedSource source({keys});
  CompactHashIndex::build_bits_to_file(source, dir / "k.bch");
  EXPECT_EQ(file_bytes(dir / "k.bch"), in_memory(keys, 8, hash::hash_pair));
}

TEST(CompactHashStream, FailuresLeaveTheTargetAndNoScratch) {
  ScratchDir dir;
  const auto path = dir / "f.bch";
  const std::vector<std::uint8_t> before = {'p', 'r', 'e', 'v'};
  blob::write_atomically(path, before);
  const std::vector<std::string> keys = corpus(2000, 6);
  for (std::uint64_t run_pairs : {std::uint64_t{0}, std::uint64_t{300}}) {
    BuildLimits limits;
    if (run_pairs) limits.run_bytes = run_pairs * 16;
    ScriptedSource source({keys});
    source.fail_from = 0;
    expect_clean_failure([&] { CompactHashIndex::build_to_file_with(source, path, limits); },
                         IndexError::Kind::Format,
                         "compact-hash: the input iterable raised before it ended", path, before);
  }
  // A keys file that cannot be opened is a source that failed, not an empty corpus.
  key_source::KeysFile missing(dir / "absent.txt");
  expect_clean_failure([&] { CompactHashIndex::build_bits_to_file(missing, path); },
                       IndexError::Kind::Format,
                       "compact-hash: the input iterable raised before it ended", path, before);
  // The width is refused before the source is opened.
  for (std::uint32_t bits : {0u, 65u}) {
    ScriptedSource source({keys});
    BuildLimits limits;
    limits.bits = bits;
    expect_clean_failure([&] { CompactHashIndex::build_to_file_with(source, path, limits); },
                         IndexError::Kind::Format,
                         "compact-hash: fingerprint_bits must be in 1..=64", path, before);
    EXPECT_EQ(source.opened(), 0u);
  }
}

}  // namespace
