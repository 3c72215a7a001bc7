// Packed byte alphabets: a code of b-bit units (b from 1 to 8) chosen from a shard's byte counts.
//
// The most frequent bytes (the primary list, P of them) take one unit each, the unit being their
// rank. When P = 2^b - 1 the all-ones unit escapes: followed by a unit j it is the j-th byte of
// the secondary list; followed by a second all-ones unit it opens a literal byte in ceil(8 / b)
// units, least significant unit first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace quenlith::packed {

inline constexpr std::uint16_t kNone = 0xFFFF;
inline constexpr std::uint16_t kSecondary = 0x8000;

// ceil(8 / b): the units of a literal byte's bits.
inline unsigned literal_units(unsigned b) { return (8 + b - 1) / b; }

struct Alphabet {
  unsigned bits = 8;
  std::vector<std::uint8_t> primary;
  std::vector<std::uint8_t> secondary;
  // Per byte value: i for primary[i], 0x8000 | j for secondary[j], 0xFFFF for neither.
  std::array<std::uint16_t, 256> index{};
  // Bits that all counted bytes take under this code.
  std::uint64_t cost = 0;

  // Units of one byte: 1 primary, 2 secondary, 2 + ceil(8 / b) literal.
  unsigned units_of(std::uint8_t x) const noexcept {
    const std::uint16_t e = index[x];
    if (e == kNone) return 2 + literal_units(bits);
    return (e & kSecondary) ? 2 : 1;
  }

  // The cheapest code for these counts (ties to the narrower width); nullopt when all are 0.
  static std::optional<Alphabet> of(const std::array<std::uint64_t, 256>& counts);
};

}  // namespace quenlith::packed
