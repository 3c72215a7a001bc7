#include "perfect_hash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "hash_index_testing.hpp"

using namespace quenlith;
using perfect_hash::Pair;
using perfect_hash::PerfectHashIndex;
using test_support::distinct_keys;
using test_support::format_error;
using test_support::views;

namespace {

PerfectHashIndex from_view(std::span<const std::uint8_t> b, bool verify) {
  return PerfectHashIndex::from_shared(blob::SharedBytes::from_owned(b), verify);
}

void reframe(std::vector<std::uint8_t>& b) { test_support::reframe(b, 36, 24); }

// Checks every answer of `idx` against the model of its keys: ids a permutation of [0, n),
// key(id(k)) == k, batches equal to single lookups, non-members absent.
void expect_exact(const PerfectHashIndex& idx, const std::vector<std::string>& keys,
                  const std::vector<std::string>& non_members) {
  const std::uint64_t n = idx.len();
  std::vector<bool> seen(n);
  for (const auto& k : keys) {
    const auto id = idx.id(k);
    ASSERT_TRUE(id) << k;
    ASSERT_LT(*id, n);
    ASSERT_FALSE(seen[*id]);
    seen[*id] = true;
    ASSERT_EQ(idx.key(*id), k);
    ASSERT_TRUE(idx.contains(k));
    ASSERT_EQ(idx.id_with_side(k), id);
    ASSERT_EQ(idx.id_unchecked(k), *id);
  }
  for (const auto& k : non_members) {
    ASSERT_FALSE(idx.id(k)) << k;
    ASSERT_FALSE(idx.contains(k));
    ASSERT_LT(idx.id_unchecked(k), std::max<std::uint64_t>(n - idx.side().size(), 1));
  }
  std::vector<std::string_view> probe = views(keys);
  for (const auto& k : non_members) probe.push_back(k);
  const auto batch = idx.ids_of(probe);
  for (std::size_t i = 0; i < probe.size(); ++i) ASSERT_EQ(batch[i], idx.id(probe[i])) << probe[i];
  EXPECT_FALSE(idx.key(static_cast<std::uint32_t>(n)));
  EXPECT_FALSE(idx.key(0xFFFFFFFFu));
}

// Keys sorted and distinct with synthetic hashes: `groups` maps a key index to the h1 it shares.
struct Synthetic {
  std::vector<std::string> keys;
  std::vector<std::uint64_t> h1;
  std::vector<std::uint8_t> fp;
  std::uint64_t total = 0;
};

Synthetic synthetic(std::size_t n, std::uint64_t seed,
                    const std::vector<std::vector<std::size_t>>& groups) {
  Synthetic s;
  s.keys = distinct_keys(n, seed);
  std::sort(s.keys.begin(), s.keys.end());
  for (const auto& k : s.keys) {
    const Pair p = hash::hash_pair(k);
    s.h1.push_back(p.h1);
    s.fp.push_back(static_cast<std::uint8_t>(p.h2));
    s.total += k.size();
  }
  for (const auto& g : groups)
    for (std::size_t i : g) s.h1[i] = s.h1[g.front()];
  return s;
}

PerfectHashIndex build_synthetic(const Synthetic& s, bool fingerprints, unsigned threads = 4) {
  const std::vector<std::string_view> v = views(s.keys);
  std::optional<std::span<const std::uint8_t>> fp;
  if (fingerprints) fp = std::span<const std::uint8_t>(s.fp);
  return PerfectHashIndex::build_with_collisions(v, s.h1, fp, s.total, threads);
}

// The hash pair the synthetic index was built with for key i.
Pair pair_of(const Synthetic& s, std::size_t i) {
  return Pair{s.h1[i], hash::hash_pair(s.keys[i]).h2};
}

}  // namespace

TEST(PerfectHash, ExactOnEverySizeWithAndWithoutFingerprints) {
  for (std::size_t n : {0u, 1u, 2u, 17u, 256u, 257u, 4000u}) {
    for (bool fps : {false, true}) {
      const auto keys = distinct_keys(n, n + 100);
      const auto others = distinct_keys(300, n + 200, "\xff");
      const PerfectHashIndex idx = PerfectHashIndex::build_with(views(keys), fps);
      ASSERT_EQ(idx.len(), n);
      EXPECT_EQ(idx.has_fingerprints(), fps);
      EXPECT_TRUE(idx.side().empty());
      expect_exact(idx, keys, others);
    }
  }
}

TEST(PerfectHash, EmptyAndRepeatedKeys) {
  const PerfectHashIndex e = PerfectHashIndex::build_with({}, true);
  EXPECT_EQ(e.len(), 0u);
  EXPECT_TRUE(e.has_fingerprints());
  EXPECT_FALSE(e.mph());
  EXPECT_FALSE(e.id(""));
  EXPECT_FALSE(e.key(0));
  EXPECT_EQ(e.id_unchecked("x"), 0u);
  const std::vector<std::string_view> q{"a", "b"};
  EXPECT_EQ(e.ids_of(q), (std::vector<std::optional<std::uint32_t>>{std::nullopt, std::nullopt}));

  const std::vector<std::string_view> bab{"b", "a", "b"};
  const PerfectHashIndex r = PerfectHashIndex::build(bab);
  EXPECT_EQ(r.len(), 2u);
  EXPECT_EQ(r.key(*r.id("b")), "b");
  EXPECT_EQ(r.key(*r.id("a")), "a");
  EXPECT_FALSE(r.id("ab"));
}

TEST(PerfectHash, NonUtf8KeysAreFoundButNotReturned) {
  const std::vector<std::string_view> keys{"ok", std::string_view("\xc3\x28", 2),
                                           std::string_view("a\0b", 3)};
  const PerfectHashIndex idx = PerfectHashIndex::build(keys);
  for (auto k : keys) ASSERT_TRUE(idx.id(k));
  EXPECT_FALSE(idx.key(*idx.id(keys[1])));
  EXPECT_EQ(idx.key(*idx.id(keys[2])), keys[2]);
}

TEST(PerfectHash, FingerprintMatchStillComparesTheKey) {
  const auto keys = distinct_keys(2000, 9);
  const PerfectHashIndex idx = PerfectHashIndex::build_with(views(keys), true);
  // Find non-members whose slot's stored fingerprint equals theirs: they must still be absent.
  std::size_t tested = 0;
  for (const auto& k : distinct_keys(20000, 10, "#")) {
    const Pair p = hash::hash_pair(k);
    const std::uint64_t s = idx.mph()->index(p.h1);
    if (idx.arena().fingerprint(s) == static_cast<std::uint8_t>(p.h2)) {
      ++tested;
      ASSERT_FALSE(idx.id(k)) << k;
    }
  }
  EXPECT_GT(tested, 20u);
}

TEST(PerfectHashCollisions, ThreeKeysOfOneHashTakeTheTailInKeyOrder) {
  // Keys 10, 3 and 7 (sorted order) share one h1: 3 is the representative.
  const Synthetic s = synthetic(300, 1, {{3, 7, 10}});
  for (bool fps : {false, true}) {
    const PerfectHashIndex idx = build_synthetic(s, fps);
    const std::uint64_t n = 300;
    ASSERT_EQ(idx.len(), n);
    ASSERT_EQ(idx.side().size(), 2u);
    EXPECT_LT(*idx.id_hashed(s.keys[3], pair_of(s, 3)), n - 2);
    EXPECT_EQ(idx.id_hashed(s.keys[7], pair_of(s, 7)), n - 2);
    EXPECT_EQ(idx.id_hashed(s.keys[10], pair_of(s, 10)), n - 1);
    std::vector<bool> seen(n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto id = idx.id_hashed(s.keys[i], pair_of(s, i));
      ASSERT_TRUE(id) << i;
      ASSERT_FALSE(seen[*id]);
      seen[*id] = true;
      ASSERT_EQ(idx.key(*id), s.keys[i]);
      ASSERT_EQ(idx.id_with_side_hashed(s.keys[i], pair_of(s, i)), id);
      ASSERT_EQ(idx.id_unchecked_hashed(s.keys[i], pair_of(s, i)), *id);
    }
    // A string of the group's h1 whose bytes match no key, and one whose slot holds another key
    // but whose h1 matches no side entry: both absent.
    EXPECT_FALSE(idx.id_hashed("not a key", Pair{s.h1[3], 0}));
    EXPECT_FALSE(idx.side_lookup(s.h1[3], "not a key"));
    EXPECT_FALSE(idx.id_hashed("not a key", pair_of(s, 50)));
    EXPECT_LT(idx.id_unchecked_hashed("not a key", Pair{s.h1[3], 0}), n - 2);
  }
}

TEST(PerfectHashCollisions, TwoGroupsGetTailIdsInKeyOrderEntriesInHashOrder) {
  const Synthetic s = synthetic(500, 2, {{4, 20}, {1, 9, 30}});
  const PerfectHashIndex idx = build_synthetic(s, false);
  const std::uint64_t u = 497;
  // Collisions in key order: 9, 20, 30.
  EXPECT_EQ(idx.id_hashed(s.keys[9], pair_of(s, 9)), u);
  EXPECT_EQ(idx.id_hashed(s.keys[20], pair_of(s, 20)), u + 1);
  EXPECT_EQ(idx.id_hashed(s.keys[30], pair_of(s, 30)), u + 2);
  const auto side = idx.side();
  ASSERT_EQ(side.size(), 3u);
  EXPECT_TRUE(std::is_sorted(side.begin(), side.end()));
  // Batches over the synthetic hashes agree with single lookups, members and strangers alike.
  std::vector<std::string> probe = s.keys;
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < s.keys.size(); ++i) pairs.push_back(pair_of(s, i));
  for (const auto& k : distinct_keys(100, 3, "@")) {
    probe.push_back(k);
    pairs.push_back(Pair{s.h1[pairs.size() % 40], 0});  // some share a group's h1
  }
  const auto batch = idx.ids_of_hashed_with(
      probe.size(), [&](std::size_t i) { return std::string_view(probe[i]); }, pairs);
  for (std::size_t i = 0; i < probe.size(); ++i) {
    ASSERT_EQ(batch[i], idx.id_hashed(probe[i], pairs[i])) << i;
    ASSERT_EQ(batch[i].has_value(), i < s.keys.size()) << i;
  }
}

// A hash whose first half only sees a key's length and first byte: distinct keys collide a lot.
Pair weak_hash(std::string_view k) {
  const std::uint64_t first = k.empty() ? 0 : static_cast<unsigned char>(k[0]);
  return Pair{hash::mix(k.size() * 256 + first), hash::hash_pair(k).h2};
}

TEST(PerfectHashCollisions, UnsortedBuildEqualsTheBuildFromSortedKeys) {
  // Keys in caller order with repeats, many sharing a weak h1: the build from unsorted keys must
  // give exactly the index of the byte-wise sorted, deduplicated keys.
  auto keys = distinct_keys(3000, 13);
  std::mt19937_64 rng(14);
  std::vector<std::string> input = keys;
  for (int i = 0; i < 500; ++i) input.push_back(keys[rng() % keys.size()]);
  std::shuffle(input.begin(), input.end(), rng);
  std::sort(keys.begin(), keys.end());
  std::vector<std::uint64_t> h1;
  std::vector<std::uint8_t> fp;
  std::uint64_t total = 0;
  for (const auto& k : keys) {
    h1.push_back(weak_hash(k).h1);
    fp.push_back(static_cast<std::uint8_t>(weak_hash(k).h2));
    total += k.size();
  }
  for (bool fps : {false, true}) {
    std::optional<std::span<const std::uint8_t>> fpv;
    if (fps) fpv = std::span<const std::uint8_t>(fp);
    const PerfectHashIndex model =
        PerfectHashIndex::build_with_collisions(views(keys), h1, fpv, total, 3);
    const PerfectHashIndex idx =
        perfect_hash::detail::build_with_hash(views(input), fps, 3, weak_hash);
    ASSERT_GT(idx.side().size(), 1000u);
    EXPECT_EQ(idx.to_bytes(), model.to_bytes());
    std::vector<bool> seen(keys.size());
    for (const auto& k : keys) {
      const auto id = idx.id_hashed(k, weak_hash(k));
      ASSERT_TRUE(id) << k;
      ASSERT_FALSE(seen[*id]);
      seen[*id] = true;
      ASSERT_EQ(idx.key(*id), k);
    }
    for (const auto& k : distinct_keys(300, 15, "%"))
      ASSERT_FALSE(idx.id_hashed(k, weak_hash(k))) << k;
  }
}

TEST(PerfectHash, ResultDoesNotDependOnTheThreadCount) {
  const auto keys = distinct_keys(40'000, 77);
  const auto one = PerfectHashIndex::build_with_threads(views(keys), true, 1).to_bytes();
  for (unsigned t : {2u, 8u})
    EXPECT_EQ(PerfectHashIndex::build_with_threads(views(keys), true, t).to_bytes(), one);
  const Synthetic s = synthetic(3000, 5, {{1, 2}, {100, 200, 300}});
  const auto c1 = build_synthetic(s, true, 1).to_bytes();
  EXPECT_EQ(build_synthetic(s, true, 8).to_bytes(), c1);
  // Repeats and a weak hash whose few h1 values gather thousands of keys each, split across
  // several workers' runs of buckets.
  std::vector<std::string> input = distinct_keys(50'000, 78);
  std::mt19937_64 rng(79);
  for (int i = 0; i < 5000; ++i) input.push_back(input[rng() % 50'000]);
  std::shuffle(input.begin(), input.end(), rng);
  const auto weak1 = perfect_hash::detail::build_with_hash(views(input), true, 1, weak_hash);
  EXPECT_EQ(weak1.len(), 50'000u);
  EXPECT_EQ(perfect_hash::detail::build_with_hash(views(input), true, 8, weak_hash).to_bytes(),
            weak1.to_bytes());
}

class PerfectBlob : public ::testing::Test {
 protected:
  void SetUp() override {
    s_ = synthetic(200, 41, {{5, 6}, {50, 60}});  // two side entries
    idx_ = std::make_unique<PerfectHashIndex>(build_synthetic(s_, true));
    blob_ = idx_->to_bytes();
  }
  void expect_same_answers(const PerfectHashIndex& other) const {
    for (std::size_t i = 0; i < s_.keys.size(); ++i) {
      ASSERT_EQ(idx_->id_hashed(s_.keys[i], pair_of(s_, i)),
                other.id_hashed(s_.keys[i], pair_of(s_, i)));
      ASSERT_EQ(other.key(static_cast<std::uint32_t>(i)), idx_->key(static_cast<std::uint32_t>(i)));
    }
    for (const auto& k : distinct_keys(200, 42, "^"))
      ASSERT_EQ(idx_->id_unchecked(k), other.id_unchecked(k));
  }
  // Exercises every query of a loaded (possibly damaged) index.
  void use(const PerfectHashIndex& x) const {
    for (std::size_t i = 0; i < 30; ++i) {
      (void)x.id_hashed(s_.keys[i], pair_of(s_, i));
      (void)x.id_unchecked(s_.keys[i]);
      (void)x.key(static_cast<std::uint32_t>(i));
    }
    (void)x.key(static_cast<std::uint32_t>(x.len() - 1));
    (void)x.ids_of(views(s_.keys));
  }
  Synthetic s_;
  std::unique_ptr<PerfectHashIndex> idx_;
  std::vector<std::uint8_t> blob_;
};

TEST_F(PerfectBlob, RoundTripsByteForByteThroughEveryLoader) {
  EXPECT_EQ(blob_.size(), idx_->serialized_len());
  const PerfectHashIndex back = PerfectHashIndex::from_bytes(blob_);
  EXPECT_EQ(back.to_bytes(), blob_);
  expect_same_answers(back);
  EXPECT_TRUE(back.has_fingerprints());

  test_support::ScratchDir dir;
  const auto path = dir / "p.bmp";
  idx_->save(path);
  EXPECT_EQ(fileio::read_file(path), blob_);
  EXPECT_EQ(PerfectHashIndex::load(path).to_bytes(), blob_);
  EXPECT_EQ(PerfectHashIndex::load_mmap_verified(path).to_bytes(), blob_);
  std::optional<PerfectHashIndex> mapped = PerfectHashIndex::load_mmap(path);
  EXPECT_EQ(mapped->arena().shared().kind(), blob::SharedBytes::Kind::Mapped);
  // The mapped index keeps the mapping alive after the original index and the file name go.
  std::filesystem::remove(path);
  idx_.reset();
  idx_ = std::make_unique<PerfectHashIndex>(PerfectHashIndex::from_bytes(blob_));
  expect_same_answers(*mapped);
  EXPECT_EQ(mapped->key(0), idx_->key(0));
  // A failed save leaves the target untouched: a directory in the way of the temporary's rename.
  std::filesystem::create_directory(dir / "taken");
  std::filesystem::create_directory(dir / "taken" / "x");
  EXPECT_THROW(idx_->save(dir / "taken"), IndexError);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
}

TEST_F(PerfectBlob, EmptyIndexBlobLoads) {
  const PerfectHashIndex e = PerfectHashIndex::build_with({}, false);
  const auto b = e.to_bytes();
  EXPECT_EQ(b.size(), e.serialized_len());
  EXPECT_EQ(bytes::load_u64(b.data() + 12), 0u);
  const PerfectHashIndex back = PerfectHashIndex::from_bytes(b);
  EXPECT_EQ(back.len(), 0u);
  EXPECT_FALSE(back.id(""));
  EXPECT_EQ(back.to_bytes(), b);
}

TEST_F(PerfectBlob, ChecksComeInOrderWithTheirMessages) {
  auto msg = [](const std::vector<std::uint8_t>& b, bool verify = true) {
    return format_error([&] { from_view(b, verify); });
  };
  const std::string old =
      "perfect-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer "
      "computes; "
      "rebuild the index from its keys";
  EXPECT_EQ(msg({'B', 'M', 'P'}), "bad magic or truncated header");
  EXPECT_EQ(msg({'B', 'M', 'P', '5'}), old);
  std::vector<std::uint8_t> v2 = blob_;
  v2[3] = '2';
  EXPECT_EQ(msg(v2), old);
  v2[3] = '7';
  EXPECT_EQ(msg(v2), old);
  std::vector<std::uint8_t> short_blob(blob_.begin(), blob_.begin() + 35);
  EXPECT_EQ(msg(short_blob), "bad magic or truncated header");
  v2[3] = '9';
  EXPECT_EQ(msg(v2), "bad magic or truncated header");
  v2[3] = '1';
  EXPECT_EQ(msg(v2), "bad magic or truncated header");
  std::vector<std::uint8_t> b = blob_;
  b[20] ^= 1;
  EXPECT_EQ(msg(b, false), "header checksum mismatch");
  b = blob_;
  b[b.size() / 2] ^= 1;
  EXPECT_EQ(msg(b), "payload checksum mismatch");

  auto with = [&](auto edit) {
    std::vector<std::uint8_t> x = blob_;
    edit(x);
    reframe(x);
    return msg(x);
  };
  EXPECT_EQ(with([](auto& x) { bytes::store_u64(x.data() + 4, 4294967296ull); }),
            "perfect-hash: header claims more than u32::MAX keys");
  EXPECT_EQ(with([](auto& x) { bytes::store_u32(x.data() + 20, 200); }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u64(x.data() + 4, 0xFFFFFFFFull);
              bytes::store_u32(x.data() + 20, 0x7FFFFFFFu);
            }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u64(x.data() + 12, x.size()); }),
            "mph length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u64(x.data() + 12, ~std::uint64_t{0} - 20); }),
            "mph length out of range");
  EXPECT_EQ(with([](auto& x) { bytes::store_u32(x.data() + x.size() - 4, 197); }),
            "perfect-hash: side-table ids are not the tail id range");
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u32(x.data() + x.size() - 4, bytes::load_u32(x.data() + x.size() - 16));
            }),
            "perfect-hash: side-table ids are not the tail id range");
  // The arena is checked before the mph: a zero count is the arena's own message.
  const std::uint64_t arena_at = 36 + bytes::load_u64(blob_.data() + 12);
  EXPECT_EQ(with([&](auto& x) { bytes::store_u64(x.data() + arena_at, 0); }),
            "arena: zero offsets (need at least 1)");
  // n one larger, side ids moved along: the arena holds one key too few.
  EXPECT_EQ(with([](auto& x) {
              bytes::store_u64(x.data() + 4, 201);
              bytes::store_u32(x.data() + x.size() - 16, 199);
              bytes::store_u32(x.data() + x.size() - 4, 200);
            }),
            "mph / arena length mismatch");
  EXPECT_EQ(with([](auto& x) { x[36] = 'Z'; }), "mphf: bad magic or truncated header");
}

TEST_F(PerfectBlob, SideEntriesInAnyOrderLoad) {
  std::vector<std::uint8_t> b = blob_;
  std::swap_ranges(b.end() - 24, b.end() - 12, b.end() - 12);
  ASSERT_NE(b, blob_);
  reframe(b);
  const PerfectHashIndex x = PerfectHashIndex::from_bytes(b);
  expect_same_answers(x);
  EXPECT_EQ(x.to_bytes(), blob_);
}

TEST_F(PerfectBlob, DamagedBytesNeverCrash) {
  test_support::expect_truncations_refused(blob_, [](auto b) { from_view(b, false); });
  auto load_use = [&](std::span<const std::uint8_t> b) { use(from_view(b, false)); };
  EXPECT_GT(test_support::flip_every_byte(blob_, nullptr, load_use), 0u);
  test_support::flip_every_byte(blob_, reframe, load_use);
  test_support::scramble(blob_, 5, 3000, reframe, load_use);
  EXPECT_EQ(test_support::flip_every_byte(blob_, nullptr, [](auto b) { from_view(b, true); }), 0u);
}
