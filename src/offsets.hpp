// Monotone offset arrays of the dictionary index, and bare bit-packed value arrays.
//
// An `Offsets` holds a non-decreasing u64 sequence as one full sample every 2^shift values (u64
// little-endian) plus, for every value, its difference from its group's sample in `width` bits
// (0 to 56), packed least significant bit first at bit i * width. The packed bytes carry 8 zero
// bytes of slack after the last value, so any value is one unaligned 8-byte load, a shift and a
// mask: with width <= 56, (i * width) mod 8 + width <= 63 always fits the loaded word.
//
//   samples  8 * ceil(count / 2^shift) bytes
//   deltas   ceil(count * width / 8) + 8 bytes (0 when count is 0)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"

namespace quenlith::offsets {

inline constexpr unsigned kMaxWidth = 56;
inline constexpr unsigned kShift = 6;

// The w-bit value at index i of packed bytes (w <= 56, the 8 slack bytes present).
inline std::uint64_t packed_get(const std::uint8_t* bits, std::uint64_t i, unsigned w) noexcept {
  if (w == 0) return 0;
  const std::uint64_t bit = i * w;
  const std::uint64_t word = bytes::load_u64(bits + bit / 8) >> (bit % 8);
  return word & ((std::uint64_t{1} << w) - 1);
}

// Bytes of a packed array of `count` values of `w` bits: ceil(count * w / 8) + 8, 0 when empty.
std::uint64_t packed_len(std::uint64_t count, unsigned w);

// The packed bytes of `values` at w bits each (each value must fit w bits).
std::vector<std::uint8_t> packed_pack(std::span<const std::uint64_t> values, unsigned w);

// Samples and deltas of `values` at w bits with shift 6.
struct Packed {
  std::vector<std::uint8_t> samples;
  std::vector<std::uint8_t> deltas;
};
Packed pack(std::span<const std::uint64_t> values, unsigned w);

class Offsets {
 public:
  Offsets() = default;
  Offsets(blob::SharedBytes samples, blob::SharedBytes deltas, unsigned width, unsigned shift)
      : samples_(std::move(samples)), deltas_(std::move(deltas)), width_(width), shift_(shift) {}

  // Value i. The caller keeps i below the count the arrays were sized for (the loader checked
  // the lengths); a read past them is a broken invariant.
  std::uint64_t get(std::uint64_t i) const {
    const std::uint64_t g = i >> shift_;
    check_invariant((g + 1) * 8 <= samples_.size(), "an offset read stays inside its samples");
    const std::uint64_t base = bytes::load_u64(samples_.data() + g * 8);
    if (width_ == 0) return base;
    check_invariant((i * width_) / 8 + 8 <= deltas_.size(), "an offset read stays inside its bits");
    return base + packed_get(deltas_.data(), i, width_);
  }

  const blob::SharedBytes& samples() const noexcept { return samples_; }
  const blob::SharedBytes& deltas() const noexcept { return deltas_; }
  unsigned width() const noexcept { return width_; }
  unsigned shift() const noexcept { return shift_; }

 private:
  blob::SharedBytes samples_;
  blob::SharedBytes deltas_;
  unsigned width_ = 0;
  unsigned shift_ = kShift;
};

// An `Offsets` over `values` (non-decreasing) with shift 6 and the width of the largest
// difference between a value and its group's first value.
Offsets packed_offsets(std::span<const std::uint64_t> values);

// The bytes the three offset arrays of a dictionary take: two sampled arrays of `blocks` values
// (shift `shift`, widths w_he and w_bo) and one packed array of `micro_count` values (w_mo);
// nullopt when the arithmetic overflows 64 bits.
std::optional<std::uint64_t> arrays_len(std::uint64_t blocks, std::uint64_t micro_count,
                                        unsigned w_he, unsigned w_bo, unsigned w_mo,
                                        unsigned shift);

}  // namespace quenlith::offsets
