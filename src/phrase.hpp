// The phrase dictionary of a dictionary index and its build-time byte trie.
//
// Serialised dictionary (the blob's "phrases" section), little-endian, g = ceil(n / 256):
//
//   offset      size     field
//   0           4        n, number of phrases, u32
//   4           4 * g    bases: the data offset of each group of 256 phrases, u32
//   4 + 4g      514 * g  offsets: 257 u16 a group, phrase j of a group spanning
//                        [base + off[j], base + off[j + 1])
//   4 + 518g    rest     phrase data
//
// In memory the data is followed by 32 zero bytes, so a decoder copies any phrase as one fixed
// 32-byte move (a phrase is 1 to 32 bytes) and advances by its true length.
//
// The trie is a double array of (base, check, value) cells: the child of cell c by byte b is
// cell base(c) + b when that cell's check is c; value is the phrase id + 1 ending there, or 0.
// It always holds at least (largest base) + 256 cells, so walkers index it without bounds tests.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fsst.hpp"

namespace quenlith::phrase {

inline constexpr std::size_t kPad = 32;
inline constexpr std::size_t kMaxPhrase = 32;

// The hasher of every u64-keyed map of the phrase machinery.
struct Mix {
  std::size_t operator()(std::uint64_t k) const noexcept {
    return static_cast<std::size_t>(std::rotr(k * 0x517cc1b727220a95ULL, 38));
  }
};

class Dict {
 public:
  // The empty dictionary: no phrases, 32 padding bytes.
  Dict() : bytes_(kPad, 0) {}

  // A dictionary of `phrases` (each 1 to 32 bytes) in groups of 256, ids in list order.
  static Dict of(std::span<const std::string> phrases);
  // Validates and copies a whole "phrases" section; nullopt on any fault.
  static std::optional<Dict> read(std::span<const std::uint8_t> section);
  void write_to(std::vector<std::uint8_t>& out) const;
  std::uint64_t serialized_len() const noexcept {
    return 4 + 4 * bases_.size() + 2 * offsets_.size() + data_len_;
  }

  std::uint64_t count() const noexcept { return count_; }
  std::uint64_t data_len() const noexcept { return data_len_; }
  // The phrase data followed by 32 zero bytes.
  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
  const std::vector<std::uint32_t>& bases() const noexcept { return bases_; }
  const std::vector<std::uint16_t>& offsets() const noexcept { return offsets_; }

  // The start and length of phrase `id` with at least 32 readable bytes from its start, or
  // nullopt when the id or its offsets are out of range.
  std::optional<std::pair<const std::uint8_t*, unsigned>> phrase(std::uint64_t id) const noexcept {
    if (id >= count_) return std::nullopt;
    const std::uint64_t g = id >> 8, k = g + id;
    if (g >= bases_.size() || k + 1 >= offsets_.size()) return std::nullopt;
    const std::uint16_t a = offsets_[k], e = offsets_[k + 1];
    if (e < a) return std::nullopt;
    const std::uint64_t start = std::uint64_t{bases_[g]} + a;
    if (start > bytes_.size() || bytes_.size() - start < kPad) return std::nullopt;
    return std::pair{bytes_.data() + start, static_cast<unsigned>(e - a)};
  }

  friend bool operator==(const Dict&, const Dict&) = default;

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t data_len_ = 0;
  std::uint64_t count_ = 0;
  std::vector<std::uint32_t> bases_;
  std::vector<std::uint16_t> offsets_;
};

struct Cell {
  std::uint32_t base = 0;
  std::uint32_t check = 0xFFFFFFFF;
  std::uint32_t value = 0;
  friend bool operator==(const Cell&, const Cell&) = default;
};

class Trie {
 public:
  // 256 unused cells: no phrase matches.
  static Trie empty();
  // The trie of `phrases`, phrase i with value i + 1 (a repeated phrase keeps the later id).
  static Trie of(std::span<const std::string> phrases);

  const std::vector<Cell>& cells() const noexcept { return cells_; }

  // Calls f(length, value) for every phrase that starts the text, shortest first, walking at
  // most 32 bytes.
  template <class F>
  void walk(const std::uint8_t* text, std::size_t len, F&& f) const {
    std::uint32_t cur = 0;
    const std::size_t lim = len < kMaxPhrase ? len : kMaxPhrase;
    for (std::size_t i = 0; i < lim; ++i) {
      const std::uint32_t t = cells_[cur].base + text[i];
      if (cells_[t].check != cur) return;
      cur = t;
      if (cells_[t].value != 0) f(i + 1, cells_[t].value);
    }
  }

 private:
  std::vector<Cell> cells_;
};

// The cost in bits of the cheapest coding of `text` by the encoder's symbols alone: backwards
// from the end, a matched symbol 8 bits, an escaped byte 16 bits. `scratch` is caller-owned.
std::uint64_t parse_plain(std::span<const std::uint8_t> text, const fsst::Encoder& encoder,
                          std::vector<std::uint32_t>& scratch);

// True when sampled shards code smaller under a packed byte alphabet than under their symbol
// tables, so phrase mining would not pay. `pieces` and `tables` are per shard.
bool packed_only(std::span<const std::vector<std::string_view>> pieces,
                 std::span<const fsst::Table> tables);

}  // namespace quenlith::phrase
