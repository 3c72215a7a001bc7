#include "hash.hpp"

#include <gtest/gtest.h>

#include <string>

#include "blob.hpp"

using quenlith::hash::hash_pair;
using quenlith::hash::Pair;

TEST(HashPair, ReferenceValues) {
  EXPECT_EQ(hash_pair(""), (Pair{0x6E2F2E9135776AE6ULL, 0x1C5181564D26D06EULL}));
  EXPECT_EQ(hash_pair("a"), (Pair{0x9FECCFE58406FD60ULL, 0xB56F2A3E57C80C15ULL}));
  EXPECT_EQ(hash_pair("abc"), (Pair{0x6C84DEC0ADAFD3E8ULL, 0x3D1A9E5659CD35F1ULL}));
  EXPECT_EQ(hash_pair("abcd"), (Pair{0x6415B6A69B381D7AULL, 0xC87ECB26A95AA3F2ULL}));
  EXPECT_EQ(hash_pair("abcdefghijklmnop"), (Pair{0x98D0BB804A826F51ULL, 0x1CE18D6306FD5CA5ULL}));
  EXPECT_EQ(hash_pair("abcdefghijklmnopq"), (Pair{0xF4CC6F286C15EC6EULL, 0xFD7D3211EA3F90E8ULL}));
  EXPECT_EQ(hash_pair("abcdefghijklmnopqrstuvwxyz0123456789"),
            (Pair{0xAE61221D8F584481ULL, 0x7A16BBD2D8248844ULL}));
}

TEST(HashPair, LengthClassesDifferAndReadOnlyTheKey) {
  // Keys cut from one buffer at every boundary length: each is hashed from its own bytes only,
  // so a copy in a buffer of exactly that size hashes the same (ASan catches over-reads).
  std::string base(130, 'x');
  for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<char>('a' + (i * 7) % 26);
  for (std::size_t n : {0u, 1u, 3u, 4u, 7u, 8u, 15u, 16u, 17u, 32u, 33u, 64u, 65u, 129u}) {
    std::string exact = base.substr(0, n);
    EXPECT_EQ(hash_pair(std::string_view(base).substr(0, n)), hash_pair(exact)) << n;
  }
  // "a" and "aaa" share word A and differ only through the length terms.
  Pair a = hash_pair("a"), aaa = hash_pair("aaa");
  EXPECT_NE(a.h1, aaa.h1);
  EXPECT_NE(a.h2, aaa.h2);
}

TEST(SplitCollisions, SeparatesRepeatsByPosition) {
  std::vector<std::uint64_t> in{5, 3, 5, 5};
  auto c = quenlith::hash::split_collisions(in);
  EXPECT_EQ(c.distinct, (std::vector<std::uint64_t>{3, 5}));
  ASSERT_EQ(c.repeated.size(), 2u);
  EXPECT_EQ(c.repeated[0], (std::pair<std::uint64_t, std::uint32_t>{5, 2}));
  EXPECT_EQ(c.repeated[1], (std::pair<std::uint64_t, std::uint32_t>{5, 3}));
  auto e = quenlith::hash::split_collisions({});
  EXPECT_TRUE(e.distinct.empty());
  EXPECT_TRUE(e.repeated.empty());
}
