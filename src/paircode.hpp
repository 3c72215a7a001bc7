// Pair codes: how the (shared, length) header pairs of a front-coded run are packed.
//
// Serialised code (little-endian, no length prefix; a reader learns its end by reading it):
//
//   tag 0:  u8 0 | LEB128 A | LEB128 B | u8 P << 4 | Q | u8 w1 | u8 w2 | u8 w3 << 4 | w4
//   tag 1:  u8 1 | u8 w (1..=10) | u16 count (< 2^w) | count u16 entries shared << 8 | length
//
// A run under a tag-0 code starts with a header word of H = w1 + w2 + w3 + w4 bits holding the
// run's offsets from the code's bases (shared base A + dA, length base B + dB, widths P + dP and
// Q + dQ), followed by one (p + q)-bit word per entry: (shared - sb) << q | (length - lb), the
// all-ones word escaping. Under tag 1 every entry is a w-bit index into the pair table, an index
// at or past the count escaping. An escaped entry's shared and length follow as absolute LEB128
// values at the next byte boundary of the run's code stream, before its suffix units.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "bytes.hpp"

namespace quenlith::paircode {

struct Pair {
  std::uint64_t shared;
  std::uint64_t length;
  friend bool operator==(const Pair&, const Pair&) = default;
};

// Bytes of x in unsigned LEB128 (1 to 10).
inline unsigned leb_len(std::uint64_t x) noexcept {
  unsigned n = 1;
  while (x >= 0x80) x >>= 7, ++n;
  return n;
}
inline void put_varint(std::vector<std::uint8_t>& out, std::uint64_t x) {
  while (x >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(x | 0x80));
    x >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(x));
}
// One unsigned LEB128 number of at most 10 bytes: (value, bytes consumed), or nullopt when the
// bytes end inside it or the tenth byte is above 1.
inline std::optional<std::pair<std::uint64_t, std::size_t>> get_varint(
    std::span<const std::uint8_t> b) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < b.size() && i < 10; ++i) {
    const std::uint8_t c = b[i];
    if (i == 9) {
      if (c > 1) return std::nullopt;
      return std::pair{v | (std::uint64_t{c} << 63), std::size_t{10}};
    }
    v |= std::uint64_t{c & 0x7Fu} << (7 * i);
    if (c < 0x80) return std::pair{v, i + 1};
  }
  return std::nullopt;
}

// The little-endian word of the up to 8 bytes from min(pos, len), zero above the bytes present.
inline std::uint64_t tail_word(const std::uint8_t* data, std::size_t len,
                               std::uint64_t pos) noexcept {
  if (pos >= len) return 0;
  if (len - pos >= 8) return bytes::load_u64(data + pos);
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < len - pos; ++i) w |= std::uint64_t{data[pos + i]} << (8 * i);
  return w;
}

inline std::uint64_t mask(unsigned w) noexcept {
  return w >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << w) - 1;
}
inline unsigned bitlen(std::uint64_t x) noexcept {
  unsigned n = 0;
  while (x) x >>= 1, ++n;
  return n;
}

struct Code {
  std::uint8_t tag = 0;
  // Tag 0.
  std::uint64_t base_shared = 0;  // A
  std::uint64_t base_length = 0;  // B
  unsigned min_shared = 0;        // P
  unsigned min_length = 0;        // Q
  unsigned w1 = 0, w2 = 0, w3 = 0, w4 = 0;
  // Tag 1.
  unsigned width = 1;
  std::vector<std::uint16_t> table;

  unsigned header_bits() const noexcept { return w1 + w2 + w3 + w4; }

  // Parses one code from the front of `b`: (code, bytes consumed), nullopt when malformed.
  static std::optional<std::pair<Code, std::size_t>> read(std::span<const std::uint8_t> b);
  void write_to(std::vector<std::uint8_t>& out) const;
  std::uint64_t serialized_len() const noexcept;

  // The code of the all-zero tag-0 form: every entry of a run under it is escaped.
  static Code zero() { return Code{}; }

  friend bool operator==(const Code&, const Code&) = default;
};

struct RunFit {
  std::uint64_t min_shared = 0;
  std::uint64_t min_length = 0;
  unsigned ws = 0;
  unsigned wl = 0;
  std::uint64_t escape_bytes = 0;
  std::uint64_t count = 0;
};

// Three 17 x 17 tally tables, zeroed by the caller once; `fit_run` clears what it uses.
struct FitScratch {
  std::array<std::uint64_t, 17 * 17> a{};
  std::array<std::uint64_t, 17 * 17> b{};
  std::array<std::uint64_t, 17 * 17> sum{};
};

// The run's minima and the widths of least cost, the candidate widths 0 ..= min(max, 14) each;
// ties keep the smaller shared width, then the smaller length width. `pairs` is not empty.
RunFit fit_run(std::span<const Pair> pairs, FitScratch& scratch);

struct Choice {
  Code code;
  std::uint64_t price = 0;
};

// The code of least estimated bytes for a set of runs (empty runs ignored): the tag-0 fit of
// every run against a tag-1 pair table; a tie keeps tag 0.
Choice choose_cost(std::span<const std::span<const Pair>> runs);

}  // namespace quenlith::paircode
