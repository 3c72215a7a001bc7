// CRC-32C (Castagnoli) as a running checksum, with the rotate-and-add mask maps store.
#pragma once

#include <cstdint>
#include <span>

namespace fst {

// The raw CRC-32C of `bytes` continued from `crc` (0 to start): reflected polynomial
// 0x82F63B78, initial value and final XOR 0xFFFFFFFF. crc32c(crc32c(0, a), b) == crc32c(0, a+b).
std::uint32_t crc32c(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

namespace detail {
// The table-driven computation crc32c() falls back to without the CPU instruction (for tests).
std::uint32_t crc32c_portable(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
}  // namespace detail

// The stored form of a CRC: rotated right by 15 bits, then 0xA282EAD8 added (wrapping).
constexpr std::uint32_t mask_crc(std::uint32_t crc) noexcept {
  return ((crc >> 15) | (crc << 17)) + 0xA282EAD8u;
}

// A checksum over bytes fed in pieces; any split of the same bytes gives the same result.
class CheckSummer {
 public:
  CheckSummer() = default;
  void update(std::span<const std::uint8_t> bytes) noexcept { sum_ = crc32c(sum_, bytes); }
  // The raw CRC-32C of everything fed so far (0 for nothing).
  std::uint32_t crc() const noexcept { return sum_; }
  // The masked CRC, as stored at the end of a map file. 0xA282EAD8 for nothing.
  std::uint32_t masked() const noexcept { return mask_crc(sum_); }

 private:
  std::uint32_t sum_ = 0;
};

}  // namespace fst
