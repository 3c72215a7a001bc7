// CRC-32C by slicing-by-8 tables, with the SSE4.2 crc32 instruction where the CPU has it
// (chosen at run time, so the library stays portable).
#include "fst/crc32.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define FST_CRC_HW 1
#endif

namespace fst {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t j = 1; j < 8; ++j) {
    for (std::uint32_t i = 0; i < 256; ++i) t[j][i] = (t[j - 1][i] >> 8) ^ t[0][t[j - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();

// Works on the un-inverted register value.
std::uint32_t crc_soft(std::uint32_t c, const std::uint8_t* p, std::size_t n) noexcept {
  while (n >= 8) {
    std::uint32_t lo = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                       static_cast<std::uint32_t>(p[2]) << 16 |
                       static_cast<std::uint32_t>(p[3]) << 24;
    lo ^= c;
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
        kTables[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return c;
}

#ifdef FST_CRC_HW
__attribute__((target("sse4.2"))) std::uint32_t crc_hw(std::uint32_t c, const std::uint8_t* p,
                                                       std::size_t n) noexcept {
  std::uint64_t c64 = c;
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    c64 = _mm_crc32_u64(c64, w);
    p += 8;
    n -= 8;
  }
  std::uint32_t c32 = static_cast<std::uint32_t>(c64);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}

const bool kHaveHw = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") != 0;
}();
#endif

}  // namespace

std::uint32_t crc32c(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  std::uint32_t c = ~crc;
#ifdef FST_CRC_HW
  if (kHaveHw) return ~crc_hw(c, bytes.data(), bytes.size());
#endif
  return ~crc_soft(c, bytes.data(), bytes.size());
}

std::uint32_t detail::crc32c_portable(std::uint32_t crc,
                                      std::span<const std::uint8_t> bytes) noexcept {
  return ~crc_soft(~crc, bytes.data(), bytes.size());
}

}  // namespace fst
