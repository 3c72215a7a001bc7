// The fixed table of frequent input bytes that one-transition nodes keep inside their state
// byte (private to the library). Index 0 means "not in the table".
#pragma once

#include <array>
#include <cstdint>

namespace fst::detail {

// Bytes of indexes 1..63, in index order. Part of the file format: never change it.
inline constexpr char kCommonInputs[] =
    "te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHG";
static_assert(sizeof kCommonInputs == 64, "63 common inputs and the terminator");

inline constexpr std::array<std::uint8_t, 256> kCommonIndex = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 63; ++i)
    t[static_cast<unsigned char>(kCommonInputs[i])] = static_cast<std::uint8_t>(i + 1);
  return t;
}();

// The common-input index (1..63) of byte `b`, or 0.
inline std::uint8_t common_input_index(std::uint8_t b) { return kCommonIndex[b]; }

}  // namespace fst::detail
