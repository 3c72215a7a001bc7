#include "hashed_dict.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quenlith::hashed_dict {
namespace {

using dict_index::DictIndex;

std::vector<std::string> keys_of(std::size_t n) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back("key-" + std::to_string(i * 7919 % 100003));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

std::shared_ptr<const DictIndex> dict_of(const std::vector<std::string>& keys) {
  std::vector<std::string_view> v(keys.begin(), keys.end());
  return std::make_shared<const DictIndex>(DictIndex::build_with_block(v, 32));
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    return e.message();
  }
  return "";
}

TEST(HashedDict, EveryKeyGetsItsRankAtEveryWidth) {
  const auto keys = keys_of(3000);
  const auto dict = dict_of(keys);
  std::vector<std::string_view> v(keys.begin(), keys.end());
  for (std::uint32_t f : {0u, 1u, 8u, 17u, 32u}) {
    const HashedDictIndex h = HashedDictIndex::from_shared_dict(dict, f);
    const HashedDictIndex l = HashedDictIndex::from_bytes(h.to_bytes());
    EXPECT_EQ(l.to_bytes(), h.to_bytes());
    EXPECT_EQ(h.serialized_len(), h.to_bytes().size());
    for (const HashedDictIndex* x : {&h, &l}) {
      const auto batch = x->ids_of(v);
      for (std::uint64_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(x->id(keys[i]), i) << f;
        ASSERT_EQ(x->unchecked_with_side(keys[i]), i);
        ASSERT_EQ(batch[i], i);
        ASSERT_TRUE(x->contains(keys[i]));
      }
    }
  }
  EXPECT_EQ(error_of([&] { HashedDictIndex::from_shared_dict(dict, 33); }),
            "hashed-dict: fingerprint_bits must be in 0..=32");
}

TEST(HashedDict, NonMembersPassAtTheFingerprintRate) {
  const auto keys = keys_of(4000);
  const auto dict = dict_of(keys);
  std::vector<std::string> absent;
  for (int i = 0; i < 40000; ++i) absent.push_back("absent-" + std::to_string(i));
  std::vector<std::string_view> av(absent.begin(), absent.end());
  for (std::uint32_t f : {0u, 1u, 8u}) {
    const HashedDictIndex h = HashedDictIndex::from_shared_dict(dict, f);
    std::size_t passed = 0;
    const auto batch = h.ids_of(av);
    for (std::size_t i = 0; i < absent.size(); ++i) {
      const auto id = h.id(absent[i]);
      EXPECT_EQ(batch[i], id);
      if (id) {
        ++passed;
        EXPECT_LT(*id, keys.size());
      }
      EXPECT_LT(h.unchecked_with_side(absent[i]), keys.size());
    }
    const double rate = double(passed) / absent.size();
    if (f == 0) {
      EXPECT_EQ(passed, 0u);
    }
    if (f == 1) {
      EXPECT_NEAR(rate, 0.5, 0.05);
    }
    if (f == 8) {
      EXPECT_NEAR(rate, 1.0 / 256, 0.003);
    }
  }
}

TEST(HashedDict, CollidingFirstHalvesGoToTheSideTable) {
  const auto keys = keys_of(100);
  const auto dict = dict_of(keys);
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  // Keys 10, 40 and 70 share key 10's h1; key 50 shares key 20's.
  pairs[40].h1 = pairs[70].h1 = pairs[10].h1;
  pairs[50].h1 = pairs[20].h1;
  for (unsigned threads : {1u, 4u}) {
    const HashedDictIndex h = HashedDictIndex::from_pairs(dict, 8, pairs, threads);
    EXPECT_EQ(h.side_count(), 3u);
    EXPECT_EQ(h.side_lookup(pairs[40].h1, pairs[40].h2), 40u);
    EXPECT_EQ(h.side_lookup(pairs[70].h1, pairs[70].h2), 70u);
    EXPECT_EQ(h.side_lookup(pairs[50].h1, pairs[50].h2), 50u);
    EXPECT_FALSE(h.side_lookup(pairs[10].h1, pairs[10].h2));
    const HashedDictIndex l = HashedDictIndex::from_bytes(h.to_bytes());
    EXPECT_EQ(l.side(), h.side());
    // Side entries stored out of order load sorted.
    auto blob = h.to_bytes();
    const std::size_t side_at = blob.size() - 72;
    std::vector<std::uint8_t> reversed(blob.begin() + side_at, blob.end());
    std::copy(reversed.begin() + 48, reversed.end(), blob.begin() + side_at);
    std::copy(reversed.begin(), reversed.begin() + 48, blob.begin() + side_at + 24);
    EXPECT_EQ(HashedDictIndex::from_shared(blob::SharedBytes::from_owned(blob), false).side(),
              h.side());
  }
}

// Two keys made to share the whole 128-bit hash (the later one goes to the side table with
// the same h1 and h2 as the earlier one's slot).
const std::string kTwinA("\\o/:N>Zi+k*3\"#1R3eer>\"v:TX1;;?QmGd0i7,\x05L4.z33sKHso]s_BT1r}DpFtAt");
const std::string kTwinB(
    "dJr)ZY68\\p6z?u`=3eer>\"v:TX1;;?QmQ:o]\x07\x13R\x07G+$+nlIsso]s_BT1r}DpFtAt");

TEST(HashedDict, KeysSharingTheWholeHashKeepTheirOwnRanks) {
  ASSERT_EQ(hash::hash_pair(kTwinA), hash::hash_pair(kTwinB));
  auto keys = keys_of(300);
  keys.push_back(kTwinA);
  keys.push_back(kTwinB);
  std::sort(keys.begin(), keys.end());
  const auto dict = dict_of(keys);
  std::vector<std::string_view> v(keys.begin(), keys.end());
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  // A third entry with the twins' pair: the side table then holds two entries of one pair.
  auto tripled = pairs;
  tripled.back() = pairs[0];
  for (std::uint32_t f : {0u, 1u, 8u, 32u}) {
    const HashedDictIndex h = HashedDictIndex::from_shared_dict(dict, f);
    EXPECT_EQ(h.side_count(), 1u);
    const HashedDictIndex t = HashedDictIndex::from_pairs(dict, f, tripled, 2);
    EXPECT_EQ(t.side_count(), 2u);
    const HashedDictIndex l = HashedDictIndex::from_bytes(h.to_bytes());
    for (const HashedDictIndex* x : {&h, &t, &l}) {
      const auto batch = x->ids_of(v);
      for (std::uint64_t i = 0; i + (x == &t) < keys.size(); ++i) {
        ASSERT_EQ(x->id(keys[i]), i) << f << " " << i;
        ASSERT_EQ(x->id_with_side(keys[i]), i) << f << " " << i;
        ASSERT_EQ(x->unchecked_with_side(keys[i]), i) << f << " " << i;
        ASSERT_EQ(batch[i], i) << f << " " << i;
        ASSERT_TRUE(x->contains(keys[i]));
      }
    }
  }
}

TEST(HashedDict, EmptyAndSingleKey) {
  const HashedDictIndex e = HashedDictIndex::from_shared_dict(dict_of({}), 5);
  EXPECT_EQ(e.entry_width(), 6u);
  EXPECT_FALSE(e.id("a"));
  EXPECT_EQ(e.unchecked_with_side("a"), 0u);
  const auto blob = e.to_bytes();
  EXPECT_EQ(bytes::load_u64(blob.data() + 24), 0u);
  EXPECT_FALSE(HashedDictIndex::from_bytes(blob).id(""));
  const HashedDictIndex one = HashedDictIndex::from_shared_dict(dict_of({"solo"}), 0);
  EXPECT_EQ(one.entry_width(), 1u);
  EXPECT_EQ(one.id("solo"), 0u);
  EXPECT_EQ(one.unchecked_with_side("solo"), 0u);
}

std::string load_error(const std::vector<std::uint8_t>& b, bool verify = true) {
  return error_of([&] { HashedDictIndex::from_shared(blob::SharedBytes::from_owned(b), verify); });
}

void reseal(std::vector<std::uint8_t>& b) {
  bytes::store_u32(b.data() + 44, blob::header_check(std::span(b.data(), 44)));
}

TEST(HashedDictLoad, ChecksInOrder) {
  const auto keys = keys_of(200);
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  pairs[5].h1 = pairs[3].h1;
  const auto blob = HashedDictIndex::from_pairs(dict_of(keys), 8, pairs, 1).to_bytes();
  EXPECT_EQ(load_error(blob), "");
  EXPECT_EQ(load_error(std::vector<std::uint8_t>(blob.begin(), blob.begin() + 47)),
            "bad magic or truncated header");
  auto with = [&](auto edit) {
    auto b = blob;
    edit(b);
    reseal(b);
    return load_error(b);
  };
  auto flipped = blob;
  flipped[20] ^= 1;
  EXPECT_EQ(load_error(flipped), "header checksum mismatch");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 4, std::uint64_t{1} << 32); }),
            "hashed-dict: header claims more than u32::MAX keys");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 33); }),
            "hashed-dict: fingerprint_bits must be in 0..=32");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 32, 200); }),
            "side table length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 24, 0); }),
            "hashed-dict: mph length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 16, ~std::uint64_t{0} - 8); }),
            "hashed-dict: dictionary length out of range");
  EXPECT_EQ(with([&](auto& b) { bytes::store_u64(b.data() + 24, b.size()); }),
            "hashed-dict: mph length out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 32); }),
            "hashed-dict: rank table length mismatch");
  auto longer = blob;
  longer.push_back(0);
  EXPECT_EQ(load_error(longer), "side table length out of range");
  auto shorter = blob;
  shorter.pop_back();
  EXPECT_EQ(load_error(shorter), "side table length out of range");
  auto rank_byte = blob;
  rank_byte[rank_byte.size() - 24 - 3] ^= 1;
  EXPECT_EQ(load_error(rank_byte, false), "");
  EXPECT_EQ(load_error(rank_byte), "payload checksum mismatch");
  auto side_rank = blob;
  bytes::store_u64(side_rank.data() + side_rank.size() - 8, 200);
  EXPECT_EQ(load_error(side_rank, false), "hashed-dict: a side-table rank is past the last key");
  // The perfect hash covers 199 keys; a header claiming no side entry, with the rank table
  // grown to 200 entries of 16 bits, passes the length checks and fails the key count.
  auto no_side = blob;
  no_side.resize(no_side.size() - 24);
  no_side.insert(no_side.end(), 2, 0);
  bytes::store_u32(no_side.data() + 32, 0);
  reseal(no_side);
  EXPECT_EQ(load_error(no_side, false), "mph / header length mismatch");
  // 200 keys at 16 bits a rank entry take as many bytes as 100 at 25 + 7 bits.
  auto plain = HashedDictIndex::from_shared_dict(dict_of(keys), 8).to_bytes();
  bytes::store_u64(plain.data() + 4, 100);
  bytes::store_u32(plain.data() + 12, 25);
  reseal(plain);
  EXPECT_EQ(load_error(plain, false),
            "hashed-dict: the dictionary and the header disagree on the key count");
}

TEST(HashedDictLoad, TruncationsAndFlipsNeverCrash) {
  const auto keys = keys_of(150);
  const auto blob = HashedDictIndex::from_shared_dict(dict_of(keys), 12).to_bytes();
  for (std::size_t len = 0; len < blob.size(); ++len)
    EXPECT_NE(load_error(std::vector<std::uint8_t>(blob.begin(), blob.begin() + len)), "");
  std::mt19937 rng(1);
  for (int round = 0; round < 2000; ++round) {
    auto b = blob;
    b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    if (rng() % 2) reseal(b);
    for (bool verify : {false, true}) {
      try {
        const auto h = HashedDictIndex::from_shared(blob::SharedBytes::from_owned(b), verify);
        for (const auto& k : keys) {
          h.id(k);
          h.unchecked_with_side(k);
        }
      } catch (const IndexError&) {}
    }
  }
}

}  // namespace
}  // namespace quenlith::hashed_dict

namespace quenlith::hashed_dict {
namespace {

TEST(HashedDict, PerSlotPassOnWorkersGivesTheSameBlob) {
  const auto keys = keys_of(40000);
  const auto dict = dict_of(keys);
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  const auto one = HashedDictIndex::from_pairs(dict, 8, pairs, 1).to_bytes();
  EXPECT_EQ(HashedDictIndex::from_pairs(dict, 8, pairs, 8).to_bytes(), one);
  EXPECT_EQ(HashedDictIndex::from_shared_dict(dict, 8).to_bytes(), one);
}

// Each field lands at its drawn offset, and the reader gives back what the writer was given.
TEST(HashedDictHeader, FieldsSitWhereDrawnAndReadBack) {
  Header h;
  h.n = 0x0102030405060708;
  h.fingerprint_bits = 0x11121314;
  h.dict_len = 0x2122232425262728;
  h.mph_len = 0x3132333435363738;
  h.side_count = 0x41424344;
  h.payload = 0x5152535455565758;
  const auto b = h.write();
  EXPECT_TRUE(blob::has_magic(b, "BHD1"));
  EXPECT_EQ(bytes::load_u64(b.data() + 4), h.n);
  EXPECT_EQ(bytes::load_u32(b.data() + 12), h.fingerprint_bits);
  EXPECT_EQ(bytes::load_u64(b.data() + 16), h.dict_len);
  EXPECT_EQ(bytes::load_u64(b.data() + 24), h.mph_len);
  EXPECT_EQ(bytes::load_u32(b.data() + 32), h.side_count);
  EXPECT_EQ(bytes::load_u64(b.data() + 36), h.payload);
  EXPECT_EQ(bytes::load_u32(b.data() + 44), blob::header_check(std::span(b).first(44)));
  const Header r = Header::parse(b);
  EXPECT_EQ(r.n, h.n);
  EXPECT_EQ(r.fingerprint_bits, h.fingerprint_bits);
  EXPECT_EQ(r.dict_len, h.dict_len);
  EXPECT_EQ(r.mph_len, h.mph_len);
  EXPECT_EQ(r.side_count, h.side_count);
  EXPECT_EQ(r.payload, h.payload);
  EXPECT_THROW(Header::parse(std::span(b).first(47)), IndexError);
}

}  // namespace
}  // namespace quenlith::hashed_dict
