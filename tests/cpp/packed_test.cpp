#include "packed.hpp"

#include <gtest/gtest.h>

namespace quenlith::packed {
namespace {

std::array<std::uint64_t, 256> counts(std::initializer_list<std::pair<int, std::uint64_t>> c) {
  std::array<std::uint64_t, 256> a{};
  for (auto [b, n] : c) a[b] = n;
  return a;
}
using Bytes = std::vector<std::uint8_t>;

TEST(PackedAlphabet, WorkedVectors) {
  EXPECT_FALSE(Alphabet::of(counts({})));
  auto one = *Alphabet::of(counts({{'x', 10}}));
  EXPECT_EQ(one.bits, 1u);
  EXPECT_EQ(one.primary, Bytes{'x'});
  EXPECT_EQ(one.cost, 10u);
  auto two = *Alphabet::of(counts({{'b', 4}, {'a', 4}}));
  EXPECT_EQ(two.bits, 1u);
  EXPECT_EQ(two.primary, (Bytes{'a', 'b'}));
  EXPECT_TRUE(two.secondary.empty());
  auto three = *Alphabet::of(counts({{'x', 5}, {'y', 3}, {'z', 1}}));
  EXPECT_EQ(three.bits, 2u);
  EXPECT_EQ(three.primary, (Bytes{'x', 'y', 'z'}));
  EXPECT_EQ(three.cost, 18u);
  auto tie = *Alphabet::of(counts({{'x', 8}, {'y', 1}, {'z', 1}}));
  EXPECT_EQ(tie.bits, 1u);
  EXPECT_EQ(tie.primary, Bytes{'x'});
  EXPECT_EQ(tie.secondary, Bytes{'y'});
  EXPECT_EQ(tie.index['z'], kNone);
  EXPECT_EQ(tie.units_of('z'), 10u);
  std::array<std::uint64_t, 256> twenty{};
  for (int i = 0; i < 20; ++i) twenty[100 + i] = 1;
  auto t = *Alphabet::of(twenty);
  EXPECT_EQ(t.bits, 4u);
  EXPECT_EQ(t.primary.size(), 15u);
  EXPECT_EQ(t.secondary.size(), 5u);
  EXPECT_EQ(t.cost, 100u);
  EXPECT_EQ(t.secondary[0], 115);
  EXPECT_EQ(t.index[116], kSecondary | 1);
  std::array<std::uint64_t, 256> all;
  all.fill(3);
  auto a = *Alphabet::of(all);
  EXPECT_EQ(a.bits, 8u);
  EXPECT_EQ(a.primary.size(), 256u);
  EXPECT_EQ(a.primary[255], 255);
}

}  // namespace
}  // namespace quenlith::packed
