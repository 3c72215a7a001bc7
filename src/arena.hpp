// `StringArena`: many byte strings stored back to back behind a compact offset table.
//
// The arena is one self-contained little-endian image that an index stores verbatim as a section
// of its blob and reads in place, so a memory-mapped index never copies its keys. The image is
// drawn at the top of arena.cpp. The builder picks, per arena, the cheapest of four offset
// encodings (flat 32- or 64-bit offsets, blocks of 16 strings with 8-bit deltas, blocks of 256
// strings with 16-bit deltas) and may store one fingerprint byte per string beside the offsets.
//
// A loaded arena is immutable and shares its bytes: any number of threads may read it at once.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"

namespace quenlith::arena {

// Encoding tag: the low 5 bits give the layout, the high bits its options.
inline constexpr std::uint8_t kFlat32 = 4;     // flat 32-bit offsets
inline constexpr std::uint8_t kFlat64 = 8;     // flat 64-bit offsets
inline constexpr std::uint8_t kBlocks16 = 17;  // blocks of 16 strings, 8-bit deltas
inline constexpr std::uint8_t kBlocks256 = 18; // blocks of 256 strings, 16-bit deltas
inline constexpr std::uint8_t kLayoutMask = 31;
inline constexpr std::uint8_t kWideBases = 32;     // block bases are 8 bytes (else 4)
inline constexpr std::uint8_t kOverflow = 64;      // an overflow table follows the data
inline constexpr std::uint8_t kFingerprints = 128; // one fingerprint byte per string

// Bytes before the offset table: the 8-byte count of offsets and the tag.
inline constexpr std::uint64_t kPrefixBytes = 9;
// The longest string an arena stores; block deltas and the builder's lengths are 32-bit.
inline constexpr std::uint64_t kMaxStringLen = 0xFFFFFFFFULL;

// A string's place in the data region: bytes [start, end) counted from the data's first byte.
struct Span {
  std::uint64_t start;
  std::uint64_t end;
  friend bool operator==(const Span&, const Span&) = default;
};

// True when `tag` is one of the valid encodings.
bool valid_tag(std::uint8_t tag) noexcept;

// The offset table's size T, fingerprints included, for `n` strings under a valid `tag`; nullopt
// when it does not fit 64 bits.
std::optional<std::uint64_t> table_size(std::uint8_t tag, std::uint64_t n) noexcept;

// The `width`-byte (1 to 8) little-endian unsigned value at `pos` of `image`. Throws
// `IndexError::Format` "arena: offset overflow" when pos + width overflows 64 bits, and
// "arena: unexpected end of buffer" when it runs past the image.
std::uint64_t read_offset(std::span<const std::uint8_t> image, std::uint64_t pos, unsigned width);

// The span of string `j` of a block from entry `entry` of the overflow table `table` (entries of
// per + 1 offsets of `width` bytes, 4 or 8, relative to the block's `base`). nullopt when the entry
// lies past the table's end, j is not below per, its offsets decrease, or an addition overflows.
std::optional<Span> overflow_span(std::span<const std::uint8_t> table, std::uint64_t entry,
                                  std::uint64_t per, std::uint64_t j, std::uint64_t base,
                                  unsigned width) noexcept;

// The cheapest encoding for strings of these lengths whose total is `total`, with or without
// fingerprints. Arenas of short strings (no 16-block reaching 256 bytes) always get 16-string
// blocks without comparing costs; otherwise flat offsets win only when strictly cheaper than both
// block layouts, and blocks of 16 win ties with blocks of 256.
std::uint8_t tag_for(std::span<const std::uint32_t> lengths, std::uint64_t total,
                     bool fingerprints) noexcept;

// Fills the offset table `table` (exactly table_size(tag, lengths.size()) bytes, the image's
// bytes after count and tag) for strings of `lengths` under `tag`, fingerprints included when
// `fingerprints` is given (byte i for string i; zero for strings past the slice's end, extra
// bytes ignored). Returns the tail that follows the data: the overflow entries and their 8-byte
// total length when the tag announces an overflow table, else nothing. Panics when the table's
// size is not the tag's.
std::vector<std::uint8_t> write_offsets(std::span<std::uint8_t> table, std::uint8_t tag,
                                        std::span<const std::uint32_t> lengths,
                                        std::optional<std::span<const std::uint8_t>> fingerprints);

// Moves the `len` bytes at `start` of `v` to `new_start`: moving right grows `v` with zero bytes
// as needed, moving left shortens `v` to the region's new end. Panics when the region does not
// lie inside `v`.
void move_data(std::vector<std::uint8_t>& v, std::uint64_t start, std::uint64_t len,
               std::uint64_t new_start);

// What the streamed builder writes around the string data: `prefix`, then the strings' bytes in
// order (`total` of them), then `tail`.
struct ArenaPrefix {
  std::vector<std::uint8_t> prefix;
  std::uint64_t total = 0;
  std::uint8_t tag = 0;
  std::vector<std::uint8_t> tail;
};

namespace detail {
// The state of one `assemble` call between its non-generic steps.
struct Assembly {
  std::vector<std::uint8_t> image;
  std::vector<std::uint32_t> lengths;
  std::uint64_t n = 0;
  std::uint64_t placeholder = 0;  // 9 + the 16-block table size the data was placed after
};
std::optional<Assembly> begin_assembly(std::uint64_t n, std::uint64_t total, bool fingerprints);

// A key as bytes: anything viewable as a string or as a byte span.
template <class K>
std::span<const std::uint8_t> key_bytes(const K& key) {
  if constexpr (std::is_convertible_v<const K&, std::string_view>) {
    return bytes::as_bytes(std::string_view(key));
  } else {
    return std::span<const std::uint8_t>(key);
  }
}
}  // namespace detail

class StringArena {
 public:
  // An arena of no strings (tag 17).
  StringArena();

  // Validates the image in `image` and returns the arena sharing its bytes (nothing is copied).
  // Throws `IndexError::Format` with an "arena: " message when the image is malformed. Only the
  // first and last strings' offsets are examined; a damaged entry in between makes that entry
  // absent, never a failure or an out-of-bounds read.
  static StringArena from_shared(blob::SharedBytes image);

  // Builds the arena of the strings `source` gives, in order. `source` is either an input range
  // of strings (anything viewable as std::string_view or as a span of bytes), or a callable that
  // takes a sink `bool(std::span<const std::uint8_t>)` and calls it with each string, stopping
  // when the sink returns false. `n` and `total` are the promised count and total byte length;
  // `fingerprints`, when given, holds one byte per string. Returns nullopt when the source gives
  // more or fewer than `n` strings, a string longer than 4,294,967,295 bytes, or a fingerprint
  // slice whose length is not `n`. The data is copied once; `total` only sizes the buffer.
  template <class Source>
  static std::optional<StringArena> assemble(
      Source&& source, std::uint64_t n, std::uint64_t total,
      std::optional<std::span<const std::uint8_t>> fingerprints = std::nullopt);

  // The arena of `keys` in order. With `fingerprints` set only an empty list is accepted (it
  // records that fingerprints are stored); fingerprints of real keys go through `assemble`.
  // Panics when that rule or the 32-bit string length is broken.
  static StringArena build_exact(std::span<const std::string> keys, bool fingerprints = false);

  // The bytes around the data of the arena of strings of these lengths, for a builder that
  // streams the strings themselves to a file; prefix + strings + tail equals what `assemble`
  // builds from the same strings and fingerprints. Panics when `fingerprints` holds other than
  // one byte per string, or the table size overflows.
  static ArenaPrefix prefix_for_lengths(
      std::span<const std::uint32_t> lengths,
      std::optional<std::span<const std::uint8_t>> fingerprints = std::nullopt);

  // The data-relative span of string i, or nullopt when the image cannot give one (a damaged
  // entry). Meant for i < len().
  std::optional<Span> span_at(std::uint64_t i) const noexcept;
  // The bytes of string i, or nullopt when its span is absent or leaves the data region.
  std::optional<std::span<const std::uint8_t>> entry(std::uint64_t i) const noexcept;
  // The fingerprint byte of string i; nullopt when the arena stores none or i >= len().
  std::optional<std::uint8_t> fingerprint(std::uint64_t i) const noexcept;

  // The number of strings n.
  std::uint64_t len() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  std::uint8_t tag() const noexcept { return tag_; }
  bool has_fingerprints() const noexcept { return (tag_ & kFingerprints) != 0; }
  // The length D of the string data.
  std::uint64_t data_len() const noexcept { return data_end_ - data_start_; }
  // The whole image, as written into index blobs.
  std::span<const std::uint8_t> image() const noexcept { return image_.bytes(); }
  const blob::SharedBytes& shared() const noexcept { return image_; }

 private:
  struct Raw {};
  explicit StringArena(Raw) {}
  static std::optional<StringArena> finish_assembly(
      detail::Assembly&& a, std::optional<std::span<const std::uint8_t>> fingerprints);

  blob::SharedBytes image_;
  std::uint64_t n_ = 0;
  std::uint64_t data_start_ = 0;
  std::uint64_t data_end_ = 0;
  std::uint64_t overflow_end_ = 0;  // end of the overflow table (= data_end_ without one)
  std::uint8_t tag_ = kBlocks16;
  // Derived from the tag.
  std::uint8_t width_ = 0;       // flat offset width (4 or 8), 0 for blocks
  std::uint8_t base_width_ = 4;  // block base width
  std::uint8_t slot_width_ = 1;  // block slot width
  std::uint32_t per_ = 16;       // strings per block
  std::uint64_t block_size_ = 21;
};

template <class Source>
std::optional<StringArena> StringArena::assemble(
    Source&& source, std::uint64_t n, std::uint64_t total,
    std::optional<std::span<const std::uint8_t>> fingerprints) {
  if (fingerprints && fingerprints->size() != n) return std::nullopt;
  std::optional<detail::Assembly> a = detail::begin_assembly(n, total, fingerprints.has_value());
  if (!a) return std::nullopt;
  bool ok = true;
  auto sink = [&](std::span<const std::uint8_t> key) -> bool {
    if (key.size() > kMaxStringLen || a->lengths.size() == a->n) {
      ok = false;
      return false;
    }
    a->image.insert(a->image.end(), key.begin(), key.end());
    a->lengths.push_back(static_cast<std::uint32_t>(key.size()));
    return true;
  };
  if constexpr (std::ranges::input_range<Source>) {
    for (auto&& key : source)
      if (!sink(detail::key_bytes(key))) break;
  } else {
    static_assert(std::invocable<Source&, decltype(sink)&>,
                  "a key source is a range of strings or a callable taking a sink");
    source(sink);
  }
  if (!ok || a->lengths.size() != n) return std::nullopt;
  return finish_assembly(std::move(*a), fingerprints);
}

}  // namespace quenlith::arena
