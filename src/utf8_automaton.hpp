// The eight-state automaton that accepts exactly the well-formed UTF-8 byte sequences (no
// overlong forms, no surrogates, nothing above U+10FFFF).
//
//   state  meaning                          byte -> next state (any other byte is invalid)
//   0      at a character boundary          00-7F -> 0; C2-DF -> 1; E0 -> 2; E1-EC, EE-EF -> 3;
//                                           ED -> 4; F0 -> 5; F1-F3 -> 6; F4 -> 7
//   1      one continuation byte due        80-BF -> 0
//   2      after E0                         A0-BF -> 1
//   3      two continuation bytes due       80-BF -> 1
//   4      after ED                         80-9F -> 1
//   5      after F0                         90-BF -> 3
//   6      three continuation bytes due     80-BF -> 3
//   7      after F4                         80-8F -> 3
#pragma once

#include <cstdint>

namespace quenlith::utf8 {

inline constexpr int kStart = 0;
inline constexpr int kStates = 8;
inline constexpr int kInvalid = -1;

// The state after byte `b` in state `state` (0..7), or kInvalid.
constexpr int step(int state, std::uint8_t b) noexcept {
  switch (state) {
    case 0:
      if (b <= 0x7F) return 0;
      if (b >= 0xC2 && b <= 0xDF) return 1;
      if (b == 0xE0) return 2;
      if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return 3;
      if (b == 0xED) return 4;
      if (b == 0xF0) return 5;
      if (b >= 0xF1 && b <= 0xF3) return 6;
      if (b == 0xF4) return 7;
      return kInvalid;
    case 1:
      return (b >= 0x80 && b <= 0xBF) ? 0 : kInvalid;
    case 2:
      return (b >= 0xA0 && b <= 0xBF) ? 1 : kInvalid;
    case 3:
      return (b >= 0x80 && b <= 0xBF) ? 1 : kInvalid;
    case 4:
      return (b >= 0x80 && b <= 0x9F) ? 1 : kInvalid;
    case 5:
      return (b >= 0x90 && b <= 0xBF) ? 3 : kInvalid;
    case 6:
      return (b >= 0x80 && b <= 0xBF) ? 3 : kInvalid;
    case 7:
      return (b >= 0x80 && b <= 0x8F) ? 3 : kInvalid;
    default:
      return kInvalid;
  }
}

// step() for every state and byte, for loops that step many bytes.
struct StepTable {
  std::int8_t next[kStates][256];
  constexpr StepTable() : next{} {
    for (int s = 0; s < kStates; ++s)
      for (int b = 0; b < 256; ++b)
        next[s][b] = static_cast<std::int8_t>(step(s, static_cast<std::uint8_t>(b)));
  }
};
inline constexpr StepTable kStepTable{};

}  // namespace quenlith::utf8
