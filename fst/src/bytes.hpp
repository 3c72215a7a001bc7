// Little-endian integer helpers shared by the reader and the builder (private to the library).
// Callers check bounds before calling: these functions read exactly the bytes they are told to.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "fst/node.hpp"  // detail::unpack_uint

namespace fst::detail {

inline std::uint64_t read_u64le(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline std::uint32_t read_u32le(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The number of bytes (1..8) needed to hold `n`; 0 still takes one byte.
inline unsigned pack_size(std::uint64_t n) {
  if (n == 0) return 1;
  return static_cast<unsigned>((std::bit_width(n) + 7) / 8);
}

}  // namespace fst::detail
