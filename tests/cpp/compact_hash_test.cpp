#include "compact_hash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "hash_index_testing.hpp"

using namespace quenlith;
using compact_hash::CompactHashIndex;
using compact_hash::Pair;
using test_support::distinct_keys;
using test_support::format_error;
using test_support::views;

namespace {

std::vector<Pair> random_pairs(std::size_t n, std::uint64_t seed, std::uint64_t h1_range = 0) {
  std::mt19937_64 rng(seed);
  std::vector<Pair> out(n);
  for (auto& p : out) p = Pair{h1_range ? rng() % h1_range : rng(), rng()};
  return out;
}

bool pair_less(const Pair& a, const Pair& b) { return a.h1 != b.h1 ? a.h1 < b.h1 : a.h2 < b.h2; }

CompactHashIndex from_view(std::span<const std::uint8_t> b, bool verify) {
  return CompactHashIndex::from_shared(blob::SharedBytes::from_owned(b), verify);
}

void reframe(std::vector<std::uint8_t>& b) { test_support::reframe(b, 40, 28); }

}  // namespace

TEST(SortRun, SortsLikeTheModelAtTheParallelThresholds) {
  for (unsigned threads : {0u, 1u, 2u, 3u, 300u}) {
    const std::uint64_t t = threads == 0 ? 1 : std::min(threads, 256u);
    for (std::size_t n :
         {std::size_t{0}, std::size_t{1}, std::size_t{20}, std::size_t{21},
          std::size_t(t * 4096 - 1), std::size_t(t * 4096), std::size_t(t * 4096 + 7)}) {
      if (n > 2'000'000) continue;
      // Few distinct h1 values, so duplicates and equal-h1 runs are common.
      std::vector<Pair> pairs = random_pairs(n, n * 31 + threads, n / 3 + 1);
      for (auto& p : pairs) p.h1 *= 0x9E3779B97F4A7C15ULL;  // spread over all parts
      std::vector<Pair> model = pairs;
      std::sort(model.begin(), model.end(), pair_less);
      compact_hash::sort_run(pairs, threads);
      ASSERT_EQ(pairs, model) << "threads " << threads << " n " << n;
    }
  }
}

TEST(SortRun, CrowdedBucketsSortLikeTheModel) {
  // All h1 in one radix bucket, then in one sub-bucket of it, then a few crowded values among
  // spread ones: the comparison fallbacks and the empty buckets around them.
  for (std::uint64_t spread : {std::uint64_t{1}, std::uint64_t{1} << 20, std::uint64_t{1} << 50}) {
    std::vector<Pair> pairs = random_pairs(40'000, spread, 5'000);
    for (std::size_t i = 0; i < pairs.size(); i += 3) pairs[i].h1 *= spread;
    std::vector<Pair> model = pairs;
    std::sort(model.begin(), model.end(), pair_less);
    for (unsigned threads : {1u, 4u}) {
      std::vector<Pair> got = pairs;
      compact_hash::sort_run(got, threads);
      ASSERT_EQ(got, model) << "spread " << spread << " threads " << threads;
    }
  }
}

// The kilobytes of a "VmRSS:" or "VmHWM:" line of /proc/self/status; 0 when absent.
std::uint64_t status_kib(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field)) return std::stoull(line.substr(field.size()));
  return 0;
}

// The streamed builds budget their run buffer alone: sorting a run must not take a second table
// as large as the run.
TEST(SortRun, SortsWithoutASecondTableAsLargeAsTheRun) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "shadow memory blurs resident figures";
#endif
  const std::size_t n = std::size_t{4} << 20;  // 64 MiB of pairs
  for (unsigned threads : {1u, 4u}) {
    std::vector<Pair> pairs = random_pairs(n, threads);
    {
      std::ofstream reset("/proc/self/clear_refs");
      reset << "5";  // the peak resident size starts again from the current one
      reset.flush();
      if (!reset) GTEST_SKIP() << "the peak resident size cannot be reset here";
    }
    const std::uint64_t before = status_kib("VmRSS:");
    compact_hash::sort_run(pairs, threads);
    const std::uint64_t grown = status_kib("VmHWM:") - before;
    EXPECT_LT(grown, 16u * 1024) << threads << " threads: " << grown << " KiB more";
    EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end(), pair_less));
  }
}

TEST(SlotsInPlace, MarksRepeatsAcrossChunkBoundariesAsOneThreadDoes) {
  // 4 threads over 4 * 4096 pairs: chunks of 4096; a group of equal h1 spans positions 4090..4105.
  const std::size_t n = 4 * 4096;
  std::vector<Pair> pairs(n);
  std::uint64_t h = 1000;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(i > 4090 && i <= 4105) && !(i > 8191 && i < 8194)) h += 1 + (i % 7);
    pairs[i] = Pair{h * 0x9E3779B97F4A7C15ULL, i};
  }
  std::sort(pairs.begin(), pairs.end(), pair_less);
  std::vector<std::uint64_t> distinct;
  for (const auto& p : pairs)
    if (distinct.empty() || distinct.back() != p.h1) distinct.push_back(p.h1);
  const mphf::Mphf mph = mphf::Mphf::build_with_threads(distinct, 1);
  std::vector<Pair> one = pairs, many = pairs;
  compact_hash::slots_in_place(one, mph, 1);
  compact_hash::slots_in_place(many, mph, 4);
  EXPECT_EQ(one, many);
  std::vector<bool> seen(distinct.size());
  for (std::size_t i = 0; i < n; ++i) {
    const bool repeat = i > 0 && pairs[i].h1 == pairs[i - 1].h1;
    if (repeat) {
      EXPECT_EQ(one[i].h1, compact_hash::kRepeated) << i;
    } else {
      ASSERT_LT(one[i].h1, distinct.size());
      EXPECT_FALSE(seen[one[i].h1]);
      seen[one[i].h1] = true;
    }
    EXPECT_EQ(one[i].h2, pairs[i].h2);
  }
}

TEST(CompactBuild, EveryWidthFindsEveryMemberAndRejectsNonMembersAtTwoToTheMinusB) {
  const auto keys = distinct_keys(3000, 11);
  const auto others = distinct_keys(200'000, 12, "#");  // never members
  std::vector<Pair> other_pairs;
  for (const auto& k : others) other_pairs.push_back(hash::hash_pair(k));
  for (std::uint32_t bits = 1; bits <= 64; ++bits) {
    const CompactHashIndex idx = CompactHashIndex::build_from_pairs(
        [&] {
          std::vector<Pair> p;
          for (const auto& k : keys) p.push_back(hash::hash_pair(k));
          return p;
        }(),
        bits);
    ASSERT_EQ(idx.len(), keys.size());
    ASSERT_EQ(idx.fingerprint_table().size(), (keys.size() * bits + 7) / 8);
    std::vector<bool> seen(keys.size());
    for (const auto& k : keys) {
      const auto id = idx.id(k);
      ASSERT_TRUE(id) << "bits " << bits << " key " << k;
      ASSERT_LT(*id, keys.size());
      ASSERT_FALSE(seen[*id]);
      seen[*id] = true;
      ASSERT_EQ(idx.id_unchecked(k), *id);
    }
    std::size_t accepted = 0;
    for (const Pair& p : other_pairs) accepted += idx.contains_hashed(p);
    const double n = static_cast<double>(other_pairs.size());
    const double p = std::ldexp(1.0, -static_cast<int>(bits));
    const double expected = n * p;
    const double sigma = std::sqrt(n * p * (1 - p));
    EXPECT_LE(std::abs(static_cast<double>(accepted) - expected), 6 * sigma + 3)
        << "bits " << bits << ": " << accepted << " false positives, expected about " << expected;
  }
}

TEST(CompactBuild, EdgeCases) {
  for (std::uint32_t bad : {0u, 65u}) {
    EXPECT_EQ(format_error([&] { CompactHashIndex::build_from_pairs({}, bad); }),
              "compact-hash: fingerprint_bits must be in 1..=64");
    EXPECT_EQ(format_error([&] { CompactHashIndex::build_from_pairs(random_pairs(10, 1), bad); }),
              "compact-hash: fingerprint_bits must be in 1..=64");
  }
  const CompactHashIndex empty = CompactHashIndex::build_from_pairs({}, 13);
  EXPECT_EQ(empty.len(), 0u);
  EXPECT_EQ(empty.bits(), 13u);
  EXPECT_FALSE(empty.mph());
  EXPECT_FALSE(empty.contains(""));
  EXPECT_FALSE(empty.id_with_side("x").matched);
  EXPECT_EQ(empty.id_unchecked("x"), 0u);
  EXPECT_EQ(empty.serialized_len(), 40u);
  const std::vector<std::string_view> some{"a", "b"};
  EXPECT_EQ(empty.ids_of(some),
            (std::vector<std::optional<std::uint32_t>>{std::nullopt, std::nullopt}));

  // Equal keys and equal pairs are one key.
  const std::vector<std::string_view> dup{"x", "y", "x", "x"};
  const CompactHashIndex d = CompactHashIndex::build(dup);
  EXPECT_EQ(d.len(), 2u);
  EXPECT_EQ(d.bits(), 8u);
  EXPECT_NE(*d.id("x"), *d.id("y"));
}

TEST(CompactBuild, CollidingFirstHalvesGoToTheSideTable) {
  // Group A (h1 = 5): h2 = 9, 3, 7; group B (h1 = 2): h2 = 8, 1; plus 300 ordinary pairs so the
  // minimal perfect hash has a level 0.
  std::vector<Pair> pairs = random_pairs(300, 99);
  const std::vector<Pair> a{{5, 9}, {5, 3}, {5, 7}}, b{{2, 8}, {2, 1}};
  pairs.insert(pairs.end(), a.begin(), a.end());
  pairs.insert(pairs.end(), b.begin(), b.end());
  pairs.push_back(Pair{5, 3});  // a duplicate
  const CompactHashIndex idx = CompactHashIndex::build_from_pairs(pairs, 8);
  const std::uint64_t n = 305, m = 302;
  ASSERT_EQ(idx.len(), n);
  ASSERT_EQ(idx.side().size(), 3u);
  // Representatives: the smallest h2 of each group; collisions get the tail ids in (h1, h2)
  // order, so group B (smaller h1) comes first.
  EXPECT_LT(idx.id_with_side_hashed({2, 1}).id, m);
  EXPECT_LT(idx.id_with_side_hashed({5, 3}).id, m);
  EXPECT_EQ(idx.id_with_side_hashed({2, 8}).id, m);
  EXPECT_EQ(idx.id_with_side_hashed({5, 7}).id, m + 1);
  EXPECT_EQ(idx.id_with_side_hashed({5, 9}).id, m + 2);
  std::vector<bool> seen(n);
  std::vector<Pair> all = random_pairs(300, 99);
  all.insert(all.end(), a.begin(), a.end());
  all.insert(all.end(), b.begin(), b.end());
  for (const Pair& p : all) {
    const auto match = idx.id_with_side_hashed(p);
    ASSERT_TRUE(match.matched);
    ASSERT_FALSE(seen[match.id]);
    seen[match.id] = true;
    EXPECT_EQ(idx.id_unchecked_hashed(p), match.id);
  }
  // A side hit is exact; a pair of a side group's h1 with an unknown h2 falls to the slot path.
  EXPECT_FALSE(CompactHashIndex::side_lookup(idx.side(), 5, 4));
  const auto batch = idx.ids_of_hashed(all);
  for (std::size_t i = 0; i < all.size(); ++i)
    EXPECT_EQ(batch[i], idx.id_with_side_hashed(all[i]).id);
}

TEST(CompactBuild, BatchesAgreeWithSingleLookups) {
  const auto keys = distinct_keys(5000, 3);
  const auto probe = distinct_keys(3000, 4);  // overlaps the members
  const CompactHashIndex idx = CompactHashIndex::build_from_pairs(
      [&] {
        std::vector<Pair> p;
        for (const auto& k : keys) p.push_back(hash::hash_pair(k));
        return p;
      }(),
      5);
  const auto ids = idx.ids_of(views(probe));
  for (std::size_t i = 0; i < probe.size(); ++i) ASSERT_EQ(ids[i], idx.id(probe[i])) << probe[i];
}

TEST(CompactBuild, ResultDoesNotDependOnTheThreadCount) {
  // Enough pairs for the parallel sort and slot passes (and equal-h1 groups) to run.
  std::vector<Pair> pairs = random_pairs(200'000, 8);
  for (std::size_t i = 0; i < 50; ++i) pairs.push_back(Pair{pairs[i * 7].h1, pairs[i].h2 + 1});
  const auto one = CompactHashIndex::build_from_pairs_with_threads(pairs, 11, 1).to_bytes();
  for (unsigned t : {2u, 5u, 8u})
    EXPECT_EQ(CompactHashIndex::build_from_pairs_with_threads(pairs, 11, t).to_bytes(), one) << t;
}

TEST(CompactBuild, RepeatedPairsAndEveryWidthKindDoNotDependOnTheThreadCount) {
  // Exact repeats (dropped), equal-h1 groups (side entries) and crowded high bits of h1, built
  // with whole-byte and narrower widths on 1 and many workers; the side table against a model.
  std::vector<Pair> pairs = random_pairs(120'000, 9);
  for (std::size_t i = 0; i < 3'000; ++i) pairs.push_back(pairs[i * 11]);
  for (std::size_t i = 0; i < 40; ++i) pairs.push_back(Pair{pairs[i * 13].h1, pairs[i].h2 ^ 5});
  for (std::size_t i = 0; i < 2'000; ++i) pairs.push_back(Pair{i * 977, i});
  std::vector<Pair> model = pairs;
  std::sort(model.begin(), model.end(), pair_less);
  model.erase(std::unique(model.begin(), model.end()), model.end());
  std::vector<Pair> side_model;
  for (std::size_t i = 1; i < model.size(); ++i)
    if (model[i].h1 == model[i - 1].h1) side_model.push_back(model[i]);
  ASSERT_EQ(side_model.size(), 40u);
  for (std::uint32_t bits : {8u, 16u, 24u, 64u, 5u, 33u}) {
    const auto one = CompactHashIndex::build_from_pairs_with_threads(pairs, bits, 1);
    ASSERT_EQ(one.len(), model.size());
    ASSERT_EQ(one.side().size(), side_model.size());
    const std::uint64_t m = model.size() - side_model.size();
    for (std::size_t j = 0; j < side_model.size(); ++j) {
      EXPECT_EQ(one.side()[j].h1, side_model[j].h1);
      EXPECT_EQ(one.side()[j].h2, side_model[j].h2);
      EXPECT_EQ(one.side()[j].id, m + j);
    }
    for (const Pair& p : model) ASSERT_TRUE(one.id_with_side_hashed(p).matched) << bits;
    const auto bytes = one.to_bytes();
    for (unsigned t : {3u, 8u})
      EXPECT_EQ(CompactHashIndex::build_from_pairs_with_threads(pairs, bits, t).to_bytes(), bytes)
          << "bits " << bits << " threads " << t;
  }
}

class CompactBlob : public ::testing::Test {
 protected:
  void SetUp() override {
    keys_ = distinct_keys(400, 21);
    std::vector<Pair> pairs;
    for (const auto& k : keys_) pairs.push_back(hash::hash_pair(k));
    pairs.push_back(Pair{hash::hash_pair(keys_[3]).h1, 77});  // one side entry
    pairs.push_back(Pair{hash::hash_pair(keys_[9]).h1, 78});  // and another
    pairs_ = pairs;
    idx_ = std::make_unique<CompactHashIndex>(CompactHashIndex::build_from_pairs(pairs, 12));
    blob_ = idx_->to_bytes();
  }
  void expect_same_answers(const CompactHashIndex& other) const {
    for (const Pair& p : pairs_) {
      const auto a = idx_->id_with_side_hashed(p), b = other.id_with_side_hashed(p);
      ASSERT_EQ(a.matched, b.matched);
      ASSERT_EQ(a.id, b.id);
    }
    for (const auto& k : distinct_keys(500, 22, "~"))
      ASSERT_EQ(idx_->id_unchecked(k), other.id_unchecked(k)) << k;
  }
  std::vector<std::string> keys_;
  std::vector<Pair> pairs_;
  std::unique_ptr<CompactHashIndex> idx_;
  std::vector<std::uint8_t> blob_;
};

TEST_F(CompactBlob, RoundTripsByteForByteThroughEveryLoader) {
  EXPECT_EQ(blob_.size(), idx_->serialized_len());
  EXPECT_EQ(bytes::load_u32(blob_.data() + 24), 2u);
  const CompactHashIndex back = CompactHashIndex::from_bytes(blob_);
  EXPECT_EQ(back.to_bytes(), blob_);
  expect_same_answers(back);

  test_support::ScratchDir dir;
  const auto path = dir / "c.bch";
  idx_->save(path);
  EXPECT_EQ(fileio::read_file(path), blob_);
  EXPECT_EQ(CompactHashIndex::load(path).to_bytes(), blob_);
  EXPECT_EQ(CompactHashIndex::load_mmap_verified(path).to_bytes(), blob_);
  // The mapped index borrows the mapping and outlives both the original and the file's name.
  std::optional<CompactHashIndex> mapped = CompactHashIndex::load_mmap(path);
  std::filesystem::remove(path);
  idx_.reset();
  idx_ = std::make_unique<CompactHashIndex>(CompactHashIndex::from_bytes(blob_));
  expect_same_answers(*mapped);
  EXPECT_EQ(mapped->to_bytes(), blob_);
  // No partial file or temporary is left beside a saved target.
  idx_->save(path);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(CompactBlob, EmptyIndexBlob) {
  const CompactHashIndex e = CompactHashIndex::build_from_pairs({}, 64);
  const auto b = e.to_bytes();
  ASSERT_EQ(b.size(), 40u);
  EXPECT_EQ(CompactHashIndex::from_bytes(b).to_bytes(), b);
  // With n = 0 a non-empty mph section is accepted when the lengths add up, and never read.
  std::vector<std::uint8_t> padded = b;
  padded.insert(padded.end(), 5, 0xAB);
  bytes::store_u64(padded.data() + 16, 5);
  reframe(padded);
  const CompactHashIndex p = CompactHashIndex::from_bytes(padded);
  EXPECT_EQ(p.len(), 0u);
  EXPECT_FALSE(p.contains("a"));
}

TEST_F(CompactBlob, ChecksComeInOrderWithTheirMessages) {
  auto msg = [](std::vector<std::uint8_t> b, bool verify = true) {
    return format_error([&] { from_view(b, verify); });
  };
  EXPECT_EQ(msg({'B', 'C', 'H'}), "bad magic or truncated header");
  for (char v = '1'; v <= '7'; ++v)
    EXPECT_EQ(
        msg({'B', 'C', 'H', static_cast<std::uint8_t>(v)}),
        "compact-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer "
        "computes; the keys are not stored, so it cannot be converted - rebuild the index from its "
        "keys");
  EXPECT_EQ(msg({'B', 'C', 'H', '8'}), "bad magic or truncated header");
  EXPECT_EQ(msg({'B', 'C', 'H', '9'}), "bad magic or truncated header");
  EXPECT_EQ(msg({'B', 'C', 'H', '0'}), "bad magic or truncated header");
  std::vector<std::uint8_t> other = blob_;
  other[0] = 'X';
  EXPECT_EQ(msg(other), "bad magic or truncated header");
  for (std::size_t at : {4u, 13u, 30u, 39u}) {
    std::vector<std::uint8_t> b = blob_;
    b[at] ^= 1;
    EXPECT_EQ(msg(b, false), "header checksum mismatch") << at;
  }
  // A payload byte: refused with verification, loaded (answers may change) without.
  std::vector<std::uint8_t> fp = blob_;
  fp[blob_.size() - 2 * 20 - 1] ^= 0x10;  // the last fingerprint byte
  EXPECT_EQ(msg(fp), "payload checksum mismatch");
  EXPECT_EQ(msg(fp, false), "");

  auto with = [&](auto edit) {
    std::vector<std::uint8_t> b = blob_;
    edit(b);
    reframe(b);
    return msg(b);
  };
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 4, 0x100000000ull); }),
            "compact-hash: header claims more than u32::MAX keys");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 0); }),
            "compact-hash: bad fingerprint width");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 65); }),
            "compact-hash: bad fingerprint width");
  EXPECT_EQ(with([](auto& b) {
              bytes::store_u32(b.data() + 24,
                               static_cast<std::uint32_t>(bytes::load_u64(b.data() + 4)));
            }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& b) {
              bytes::store_u64(b.data() + 4, 0xFFFFFFFFull);
              bytes::store_u32(b.data() + 24, 0xFFFFFFF0u);
            }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 16, ~std::uint64_t{0} - 10); }),
            "mph length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 16, b.size()); }),
            "mph length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + b.size() - 4, 5); }),
            "compact-hash: side-table ids are not the tail id range");
  EXPECT_EQ(with([](auto& b) {  // a repeated id
              bytes::store_u32(b.data() + b.size() - 4, bytes::load_u32(b.data() + b.size() - 24));
            }),
            "compact-hash: side-table ids are not the tail id range");
  // One fingerprint byte more or less (the mph section absorbs the difference).
  EXPECT_EQ(
      with([](auto& b) { bytes::store_u64(b.data() + 16, bytes::load_u64(b.data() + 16) + 1); }),
      "compact-hash: fingerprint length mismatch");
  EXPECT_EQ(
      with([](auto& b) { bytes::store_u64(b.data() + 16, bytes::load_u64(b.data() + 16) - 1); }),
      "compact-hash: fingerprint length mismatch");
  EXPECT_EQ(with([](auto& b) { b[40] = 'X'; }), "mphf: bad magic or truncated header");
}

TEST_F(CompactBlob, SideEntriesInAnyOrderLoad) {
  std::vector<std::uint8_t> b = blob_;
  // Swap the two 20-byte side entries.
  std::swap_ranges(b.end() - 40, b.end() - 20, b.end() - 20);
  ASSERT_NE(b, blob_);
  reframe(b);
  const CompactHashIndex shuffled = CompactHashIndex::from_bytes(b);
  expect_same_answers(shuffled);
  EXPECT_EQ(shuffled.to_bytes(), blob_);
}

TEST_F(CompactBlob, DamagedBytesNeverCrash) {
  test_support::expect_truncations_refused(blob_, [](auto b) { from_view(b, false); });
  auto use = [&](std::span<const std::uint8_t> b) {
    const CompactHashIndex x = from_view(b, false);
    for (std::size_t i = 0; i < 40; ++i) (void)x.id_with_side_hashed(pairs_[i]);
    (void)x.ids_of_hashed(std::span(pairs_).first(40));
    (void)x.id_unchecked("zz");
  };
  const std::size_t raw = test_support::flip_every_byte(blob_, nullptr, use);
  const std::size_t framed = test_support::flip_every_byte(blob_, reframe, use);
  test_support::scramble(blob_, 3, 3000, reframe, use);
  EXPECT_GT(raw, 0u);  // payload flips load without verification
  EXPECT_GT(framed, 0u);
  // With verification every flip is refused.
  EXPECT_EQ(test_support::flip_every_byte(blob_, nullptr, [](auto b) { from_view(b, true); }), 0u);
}
