// Static symbol tables of the FSST scheme: up to 255 symbols of 1 to 8 bytes, each coded as one
// byte, with code 255 escaping one literal byte.
//
// Serialised table (exactly its own span, no alignment):
//
//   offset  size            field
//   0       1               n, number of symbols, 0..=255
//   1       n               the lengths in code order, each 1..=8
//   1 + n   sum of lengths  the symbols in code order, symbol i as its first lengths[i] bytes
//
// The encoder's lookup tables and the training are this library's own and deterministic: the
// same pieces and limit always give the same table, symbol for symbol and in the same order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.hpp"

namespace quenlith::fsst {

inline constexpr std::uint8_t kEscape = 255;
inline constexpr unsigned kSlots = 1024;

// The slot of a symbol of 3 or more bytes: the top 10 bits of its first three bytes times the
// golden-ratio constant.
inline unsigned slot_of(std::uint64_t v) noexcept {
  return static_cast<unsigned>(((v & 0xFFFFFF) * 0x9E3779B97F4A7C15ULL) >> 54);
}

class Encoder;

class Table {
 public:
  Table() = default;

  std::size_t size() const noexcept { return symbols_.size(); }
  // Symbol i's bytes, little-endian in a word whose bits above its length are zero.
  std::uint64_t symbol(std::size_t i) const noexcept { return symbols_[i]; }
  unsigned length(std::size_t i) const noexcept { return lengths_[i]; }
  const std::vector<std::uint64_t>& symbols() const noexcept { return symbols_; }
  const std::vector<std::uint8_t>& lengths() const noexcept { return lengths_; }

  // Reads a serialised table from exactly `b`; nullopt on any fault.
  static std::optional<Table> from_bytes(std::span<const std::uint8_t> b);
  // Appends the serialised form.
  void write_to(std::vector<std::uint8_t>& out) const;
  // Bytes of the serialised form.
  std::uint64_t serialized_len() const noexcept;

  Encoder encoder() const;
  // The first min(k, n) symbols.
  Table head(std::uint64_t k) const;
  // Trains a table of at most `limit` (<= 255) symbols over the pieces, in at most four passes.
  static Table train_to(std::span<const std::string_view> pieces, std::uint64_t limit);

  // Appends a symbol (used by readers, training and tests).
  void push(std::uint64_t value, unsigned length) {
    symbols_.push_back(value);
    lengths_.push_back(static_cast<std::uint8_t>(length));
  }

  friend bool operator==(const Table&, const Table&) = default;

 private:
  std::vector<std::uint64_t> symbols_;
  std::vector<std::uint8_t> lengths_;
};

// The lookup tables of one table. Each thread that encodes builds its own.
class Encoder {
 public:
  struct Match {
    std::uint8_t code;
    std::uint8_t length;
  };

  // The code at `pos` of `text` (pos < text length): the slot's symbol when it fits and
  // matches, else the two-byte entry (two or more bytes left) or the one-byte entry. Code 255,
  // length 1, is the escape.
  Match find(const std::uint8_t* text, std::size_t len, std::size_t pos) const noexcept {
    const std::size_t r = len - pos;
    std::uint64_t w;
    if (r >= 8) {
      w = bytes::load_u64(text + pos);
    } else {
      w = 0;
      for (std::size_t i = 0; i < r; ++i) w |= std::uint64_t{text[pos + i]} << (8 * i);
    }
    return find_word(w, r);
  }
  // `find` given the little-endian word w of the next min(r, 8) bytes, zero beyond them, where r
  // (at least 1) bytes are left: for callers that keep their text zero-padded.
  Match find_word(std::uint64_t w, std::size_t r) const noexcept {
    const Slot& s = slots_[slot_of(w)];
    if (s.len != 0 && r >= s.len && (w & s.mask) == s.symbol) return {s.code, s.len};
    const std::uint16_t e = r >= 2 ? two_byte_[w & 0xFFFF] : one_byte_[w & 0xFF];
    return {static_cast<std::uint8_t>(e & 0xFF), static_cast<std::uint8_t>(e >> 8)};
  }

  // Appends the coded form of `text`: symbol codes, and 255 followed by the byte for escapes.
  void encode(std::span<const std::uint8_t> text, std::vector<std::uint8_t>& out) const;

 private:
  friend class Table;
  struct Slot {
    std::uint64_t symbol = 0;
    std::uint64_t mask = 0;
    std::uint8_t code = 0;
    std::uint8_t len = 0;
  };
  std::vector<std::uint16_t> two_byte_;
  std::vector<std::uint16_t> one_byte_;
  std::vector<Slot> slots_;
};

}  // namespace quenlith::fsst
