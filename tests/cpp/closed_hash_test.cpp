#include "closed_hash.hpp"

#include <gtest/gtest.h>

#include <random>

#include "hash_index_testing.hpp"

using namespace quenlith;
using closed_hash::ClosedHashIndex;
using closed_hash::Pair;
using test_support::distinct_keys;
using test_support::format_error;
using test_support::views;

namespace {

std::vector<Pair> pairs_of(const std::vector<std::string>& keys) {
  std::vector<Pair> out;
  for (const auto& k : keys) out.push_back(hash::hash_pair(k));
  return out;
}

void reframe(std::vector<std::uint8_t>& b) { test_support::reframe(b, 36, 24); }

}  // namespace

TEST(ClosedHash, MembersGetDistinctIdsAndEveryStringSomeId) {
  for (std::size_t n : {1u, 2u, 256u, 257u, 3000u}) {
    const auto keys = distinct_keys(n, n);
    const ClosedHashIndex idx = ClosedHashIndex::build(views(keys));
    ASSERT_EQ(idx.len(), n);
    std::vector<bool> seen(n);
    for (const auto& k : keys) {
      const std::uint32_t id = idx.id(k);
      ASSERT_LT(id, n);
      ASSERT_FALSE(seen[id]) << "n " << n << " key " << k;
      seen[id] = true;
    }
    const auto others = distinct_keys(500, n + 1, "!");
    for (const auto& k : others) ASSERT_LT(idx.id(k), n);
    const auto batch = idx.ids_of(views(others));
    for (std::size_t i = 0; i < others.size(); ++i) ASSERT_EQ(batch[i], idx.id(others[i]));
  }
}

TEST(ClosedHash, EmptyIndexAnswersZero) {
  const ClosedHashIndex e = ClosedHashIndex::build({});
  EXPECT_EQ(e.len(), 0u);
  EXPECT_EQ(e.id("anything"), 0u);
  const std::vector<std::string_view> q{"a", "", "b"};
  EXPECT_EQ(e.ids_of(q), (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_EQ(e.serialized_len(), 36u);
  const auto b = e.to_bytes();
  ASSERT_EQ(b.size(), 36u);
  const ClosedHashIndex back = ClosedHashIndex::from_bytes(b);
  EXPECT_EQ(back.id("x"), 0u);
  EXPECT_EQ(back.to_bytes(), b);
}

TEST(ClosedHash, CollidingPairsKeepDistinctIds) {
  std::vector<Pair> pairs = pairs_of(distinct_keys(400, 5));
  pairs.push_back(Pair{pairs[0].h1, pairs[0].h2 ^ 1});    // collides with key 0
  pairs.push_back(Pair{pairs[10].h1, pairs[10].h2 ^ 2});  // collides with key 10
  pairs.push_back(pairs[3]);                              // a duplicate: one key
  const ClosedHashIndex idx = ClosedHashIndex::build_from_pairs(pairs);
  const std::uint64_t n = 402;
  ASSERT_EQ(idx.len(), n);
  ASSERT_EQ(idx.side().size(), 2u);
  std::vector<bool> seen(n);
  for (std::size_t i = 0; i + 1 < pairs.size(); ++i) {
    const std::uint32_t id = idx.id_with_side_hashed(pairs[i]);
    ASSERT_LT(id, n);
    ASSERT_FALSE(seen[id]) << i;
    seen[id] = true;
  }
  // The side ids are the tail, in (h1, h2) order; the group of smaller h1 first.
  const auto& side = idx.side();
  EXPECT_EQ(side[0].id, n - 2);
  EXPECT_EQ(side[1].id, n - 1);
  EXPECT_LT(side[0].h1, side[1].h1);
  // The batch takes the per-key path and agrees.
  const auto batch = idx.ids_of_hashed(pairs);
  for (std::size_t i = 0; i < pairs.size(); ++i)
    EXPECT_EQ(batch[i], idx.id_with_side_hashed(pairs[i]));
}

TEST(ClosedHash, ResultDoesNotDependOnTheThreadCount) {
  std::vector<Pair> pairs = pairs_of(distinct_keys(60'000, 6));
  for (std::size_t i = 0; i < 30; ++i) pairs.push_back(Pair{pairs[i * 3].h1, ~pairs[i].h2});
  const auto one = ClosedHashIndex::build_from_pairs_with_threads(pairs, 1).to_bytes();
  for (unsigned t : {2u, 8u})
    EXPECT_EQ(ClosedHashIndex::build_from_pairs_with_threads(pairs, t).to_bytes(), one);
}

class ClosedBlob : public ::testing::Test {
 protected:
  void SetUp() override {
    pairs_ = pairs_of(distinct_keys(300, 31));
    pairs_.push_back(Pair{pairs_[5].h1, 1});
    pairs_.push_back(Pair{pairs_[6].h1, 2});
    idx_ = std::make_unique<ClosedHashIndex>(ClosedHashIndex::build_from_pairs(pairs_));
    blob_ = idx_->to_bytes();
  }
  void expect_same_answers(const ClosedHashIndex& other) const {
    for (const Pair& p : pairs_)
      ASSERT_EQ(idx_->id_with_side_hashed(p), other.id_with_side_hashed(p));
    for (const auto& k : distinct_keys(300, 32, "?")) ASSERT_EQ(idx_->id(k), other.id(k)) << k;
  }
  std::vector<Pair> pairs_;
  std::unique_ptr<ClosedHashIndex> idx_;
  std::vector<std::uint8_t> blob_;
};

TEST_F(ClosedBlob, RoundTripsAndSaves) {
  EXPECT_EQ(blob_.size(), idx_->serialized_len());
  const ClosedHashIndex back = ClosedHashIndex::from_bytes(blob_);
  EXPECT_EQ(back.to_bytes(), blob_);
  expect_same_answers(back);
  test_support::ScratchDir dir;
  const auto path = dir / "c.bcl";
  idx_->save(path);
  EXPECT_EQ(fileio::read_file(path), blob_);
  const ClosedHashIndex loaded = ClosedHashIndex::load(path);
  idx_->save(path);  // overwriting leaves only the target behind
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  expect_same_answers(loaded);
}

TEST_F(ClosedBlob, ChecksComeInOrderWithTheirMessages) {
  auto msg = [](const std::vector<std::uint8_t>& b) {
    return format_error([&] { ClosedHashIndex::from_bytes(b); });
  };
  EXPECT_EQ(msg({'B', 'C', 'L'}), "bad magic or truncated header");
  EXPECT_EQ(msg({'B', 'C', 'L', '1'}),
            "closed-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer "
            "computes; "
            "the keys are not stored, so it cannot be converted - rebuild the index from its keys");
  EXPECT_EQ(msg({'B', 'C', 'L', '2', 0, 0}), "bad magic or truncated header");
  EXPECT_EQ(msg({'B', 'C', 'L', '3', 0, 0}), "bad magic or truncated header");
  std::vector<std::uint8_t> b = blob_;
  b[7] ^= 4;
  EXPECT_EQ(msg(b), "header checksum mismatch");
  b = blob_;
  b[40] ^= 4;
  EXPECT_EQ(msg(b), "payload checksum mismatch");  // always verified

  auto with = [&](auto edit) {
    std::vector<std::uint8_t> x = blob_;
    edit(x);
    reframe(x);
    return msg(x);
  };
  EXPECT_EQ(with([](auto& x) { bytes::store_u64(x.data() + 4, 0x1'0000'0000ull); }),
            "closed-hash: header claims more than u32::MAX keys");
  EXPECT_EQ(with([](auto& x) { bytes::store_u32(x.data() + 20, 302); }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u32(x.data() + 20, 303); }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u64(x.data() + 4, 0xFFFFFFFFull);
              bytes::store_u32(x.data() + 20, 0x10000000u);
            }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& x) { x.push_back(0); }), "mph length out of range");
  EXPECT_EQ(with([](auto& x) { x.erase(x.begin() + 40); }), "mph length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u64(x.data() + 12, ~std::uint64_t{0}); }),
            "mph length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u32(x.data() + x.size() - 4, 300); }),
            "closed-hash: side-table ids are not the tail id range");
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u32(x.data() + x.size() - 4, 300);
              bytes::store_u32(x.data() + x.size() - 24, 300);
            }),
            "closed-hash: side-table ids are not the tail id range");
  EXPECT_EQ(with([](auto& x) { x[36] = 'Q'; }), "mphf: bad magic or truncated header");
  // n - s disagreeing with the mph's key count, with the side ids moved along.
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u64(x.data() + 4, 303);
              bytes::store_u32(x.data() + x.size() - 4, 302);
              bytes::store_u32(x.data() + x.size() - 24, 301);
            }),
            "mph / header length mismatch");
}

TEST_F(ClosedBlob, SideEntriesInAnyOrderLoad) {
  std::vector<std::uint8_t> b = blob_;
  std::swap_ranges(b.end() - 40, b.end() - 20, b.end() - 20);
  reframe(b);
  const ClosedHashIndex x = ClosedHashIndex::from_bytes(b);
  expect_same_answers(x);
  EXPECT_EQ(x.to_bytes(), blob_);
}

TEST_F(ClosedBlob, DamagedBytesNeverCrash) {
  test_support::expect_truncations_refused(blob_, [](auto b) { ClosedHashIndex::from_bytes(b); });
  auto use = [&](std::span<const std::uint8_t> b) {
    const ClosedHashIndex x = ClosedHashIndex::from_bytes(b);
    for (std::size_t i = 0; i < 40; ++i)
      ASSERT_LT(x.id_with_side_hashed(pairs_[i]), std::max<std::uint64_t>(x.len(), 1));
    (void)x.ids_of_hashed(std::span(pairs_).first(40));
  };
  EXPECT_EQ(test_support::flip_every_byte(blob_, nullptr, use), 0u);
  test_support::flip_every_byte(blob_, reframe, use);
  test_support::scramble(blob_, 4, 3000, reframe, use);
}
