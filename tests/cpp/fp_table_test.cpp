#include "fp_table.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quenlith::fp_table {
namespace {

TEST(FpTable, WriteAndReadEveryWidthAgainstABitModel) {
  std::mt19937_64 rng(5);
  for (std::uint32_t bits = 1; bits <= 64; ++bits) {
    const std::uint64_t m = 37;
    std::vector<std::uint8_t> table((m * bits + 7) / 8, 0);
    std::vector<std::uint64_t> fps(m);
    for (std::uint64_t s = 0; s < m; ++s) {
      fps[s] = rng() & mask(bits);
      write(table, s, bits, fps[s]);
    }
    for (std::uint64_t s = 0; s < m; ++s) {
      std::uint64_t model = 0;  // bit j of slot s is table bit s*b + j
      for (std::uint32_t j = 0; j < bits; ++j) {
        const std::uint64_t k = s * bits + j;
        model |= std::uint64_t{(table[k / 8] >> (k % 8)) & 1u} << j;
      }
      ASSERT_EQ(model, fps[s]) << "bits " << bits << " slot " << s;
      // Only the low b bits of h2 take part.
      const std::uint64_t h2 = fps[s] | (bits < 64 ? rng() << bits : 0);
      ASSERT_TRUE(matches(table, bits, s, h2)) << bits << " " << s;
      ASSERT_FALSE(matches(table, bits, s, h2 ^ 1)) << bits << " " << s;
    }
    // Bits past m*b stay zero.
    if ((m * bits) % 8) {
      EXPECT_EQ(table.back() >> ((m * bits) % 8), 0) << bits;
    }
    // A fingerprint with a bit outside the table is never compared, even when the rest matches.
    const std::vector<std::uint8_t> short_table(table.begin(), table.end() - 1);
    const std::uint64_t last_start_bit = (m - 1) * bits;
    if (last_start_bit / 8 <= short_table.size()) {
      EXPECT_FALSE(matches(short_table, bits, m - 1, fps[m - 1])) << bits;
    }
    EXPECT_FALSE(matches(table, bits, ~std::uint64_t{0} / 2, 0)) << bits;
  }
}

TEST(FpTable, StraddlingLayouts) {
  // b = 3, four slots: 2 bytes; slot 2 is table bits 6..8.
  std::vector<std::uint8_t> t3(2, 0);
  write(t3, 2, 3, 0b101);
  EXPECT_EQ(t3[0], 0b0100'0000);
  EXPECT_EQ(t3[1], 0b1);
  // b = 61, slot 1: bits 61..121, bytes 7..15, the last through the extra byte.
  std::vector<std::uint8_t> t61((2 * 61 + 7) / 8, 0);
  const std::uint64_t f = mask(61);
  write(t61, 1, 61, f);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(t61[i], 0) << i;
  EXPECT_EQ(t61[7], 0xE0);
  for (std::size_t i = 8; i < 15; ++i) EXPECT_EQ(t61[i], 0xFF) << i;
  EXPECT_EQ(t61[15], 0x03);
  EXPECT_TRUE(matches(t61, 61, 1, ~std::uint64_t{0}));
}

}  // namespace
}  // namespace quenlith::fp_table
