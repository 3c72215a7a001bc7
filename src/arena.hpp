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
#include <cstring>
#include <functional>
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
#include "threads.hpp"

namespace quenlith::arena {

// Encoding tag: the low 5 bits give the layout, the high bits its options.
inline constexpr std::uint8_t kFlat32 = 4;      // flat 32-bit offsets
inline constexpr std::uint8_t kFlat64 = 8;      // flat 64-bit offsets
inline constexpr std::uint8_t kBlocks16 = 17;   // blocks of 16 strings, 8-bit deltas
inline constexpr std::uint8_t kBlocks256 = 18;  // blocks of 256 strings, 16-bit deltas
inline constexpr std::uint8_t kLayoutMask = 31;
inline constexpr std::uint8_t kWideBases = 32;      // block bases are 8 bytes (else 4)
inline constexpr std::uint8_t kOverflow = 64;       // an overflow table follows the data
inline constexpr std::uint8_t kFingerprints = 128;  // one fingerprint byte per string

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

// The fewest strings a worker of `StringArena::assemble_indexed` takes: below that, starting a
// thread costs more than the copy it takes over.
inline constexpr std::uint64_t kMinStringsPerWorker = 16384;

namespace detail {
// The strings of one assembly, taken a range at a time so that the per-string loops inline:
// `measure(lo, hi, lengths)` writes the lengths of strings [lo, hi) to lengths[0, hi - lo) and
// returns false when one is longer than kMaxStringLen; `copy(lo, hi, at, dst)` writes those
// strings back to back into `dst` (exactly their bytes), `at` being the data offset of string
// lo. Each is called once per range, ranges on several threads at once.
struct RangeSource {
  std::function<bool(std::uint64_t, std::uint64_t, std::uint32_t*)> measure;
  std::function<void(std::uint64_t, std::uint64_t, std::uint64_t, std::span<std::uint8_t>)> copy;
};

// What a streamed source gave: the strings back to back, and their lengths.
struct Collected {
  std::vector<std::uint8_t> data;
  std::vector<std::uint32_t> lengths;
  std::uint64_t n = 0;
};
// Room for `n` strings of `total` bytes; nullopt when no arena of n strings can exist.
std::optional<Collected> begin_collecting(std::uint64_t n, std::uint64_t total);

// A key as bytes: anything viewable as a string or as a byte span.
template <class K>
std::span<const std::uint8_t> key_bytes(const K& key) {
  if constexpr (std::is_convertible_v<const K&, std::string_view>) {
    return bytes::as_bytes(std::string_view(key));
  } else {
    return std::span<const std::uint8_t>(key);
  }
}

// A range whose elements can be fetched by position, and whose fetched keys outlive the fetch
// (references, or views such as std::string_view): `assemble` copies such ranges in parallel.
template <class R>
concept IndexedKeys = std::ranges::random_access_range<R> && std::ranges::sized_range<R> &&
    (std::is_lvalue_reference_v<std::ranges::range_reference_t<R>> ||
     std::ranges::borrowed_range<std::remove_cvref_t<std::ranges::range_reference_t<R>>>);
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
  // slice whose length is not `n`. `total` only sizes a buffer. A sized random-access range of
  // references or views (a vector of strings, a span of string_view) is copied straight into the
  // image on the online processors, as `assemble_indexed`; any other source is collected first,
  // then copied once into the image.
  template <class Source>
  static std::optional<StringArena> assemble(
      Source&& source, std::uint64_t n, std::uint64_t total,
      std::optional<std::span<const std::uint8_t>> fingerprints = std::nullopt);

  // Builds the arena of the `n` strings key_at(0), ..., key_at(n - 1) (each viewable as
  // std::string_view or as a span of bytes, and outliving the call that fetched it), measuring
  // them and then copying their bytes straight into the image's final storage on up to `threads`
  // workers, each taking at least `min_per_worker` strings (one worker below that). `key_at` is
  // called from the workers at once, twice or more per position, and must give the same string
  // each time (a string that grows in between panics). When it has a member `prefetch(i)`, that
  // is called a little ahead of key_at(i) to ask the cache for what key_at(i) will read: a
  // source that walks memory at random gains most. The image is byte for byte what `assemble`
  // makes of the same strings, whatever the thread count. Returns nullopt when a string is
  // longer than 4,294,967,295 bytes or a fingerprint slice's length is not `n`; passes on what
  // `key_at` throws.
  template <class KeyAt>
  static std::optional<StringArena> assemble_indexed(
      std::uint64_t n, KeyAt&& key_at, std::optional<std::span<const std::uint8_t>> fingerprints,
      unsigned threads, std::uint64_t min_per_worker = kMinStringsPerWorker);

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

  // The arena of `parts` without its string data: the image is the prefix followed by the tail.
  // `span_at` answers every string's span as in the whole arena; `entry` answers only for
  // strings whose span lies inside the (empty) data, so nothing past the image is ever read. A
  // streamed build uses it to place strings it writes elsewhere. Panics when `parts` was not
  // made by `prefix_for_lengths`.
  static StringArena detached(const ArenaPrefix& parts);

  // The data-relative span of string i, or nullopt when the image cannot give one (a damaged
  // entry). Meant for i < len(); safe for any i.
  std::optional<Span> span_at(std::uint64_t i) const noexcept {
    if (i < n_ && fast_ != Fast::None) return fast_span(i);
    return span_general(i);
  }
  // The bytes of string i, or nullopt when its span is absent or leaves the data region.
  std::optional<std::span<const std::uint8_t>> entry(std::uint64_t i) const noexcept {
    const auto s = span_at(i);
    if (!s || s->end > data_end_ - data_start_) return std::nullopt;
    return std::span<const std::uint8_t>(image_.data() + data_start_ + s->start, s->end - s->start);
  }
  // The fingerprint byte of string i; nullopt when the arena stores none or i >= len().
  std::optional<std::uint8_t> fingerprint(std::uint64_t i) const noexcept {
    if (!has_fingerprints() || i >= n_) return std::nullopt;
    return image_.data()[fingerprint_pos(i)];
  }
  // Asks the cache for the offset-table bytes of string i (nothing past len()), so a batch can
  // read many strings' spans without waiting on each in turn.
  void prefetch_offsets(std::uint64_t i) const noexcept {
    if (i >= n_) return;
    if (fast_ == Fast::Blocks) {
      // The base opens the block; a 256-string block's slots lie several cache lines further.
      const std::uint8_t* block = block_of(i);
      __builtin_prefetch(block);
      __builtin_prefetch(block + 4 + (i & (per_ - 1)) * slot_width_);
      if (has_fingerprints()) __builtin_prefetch(block + fp_offset_ + (i & (per_ - 1)));
    } else if (fast_ == Fast::Flat32) {
      __builtin_prefetch(image_.data() + kPrefixBytes + 4 * i);
    }
  }

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
  // The layouts read with constant widths: blocks with 4-byte bases (tags 17 and 18 with any of
  // the overflow and fingerprint bits) and flat 32-bit offsets (tags 4 and 132).
  enum class Fast : std::uint8_t { None, Blocks, Flat32 };

  struct Raw {};
  explicit StringArena(Raw) {}
  // Reads the count, the tag, the table's extent and the overflow table's; the data region is
  // what lies between table and overflow table. The spans themselves are not examined.
  static StringArena parse_layout(blob::SharedBytes image);
  static std::optional<StringArena> assemble_ranges(
      std::uint64_t n, const detail::RangeSource& source,
      std::optional<std::span<const std::uint8_t>> fingerprints, unsigned threads,
      std::uint64_t min_per_worker);
  static std::optional<StringArena> finish_collected(
      detail::Collected&& c, std::optional<std::span<const std::uint8_t>> fingerprints);

  // The general reader, for every layout and every i.
  std::optional<Span> span_general(std::uint64_t i) const noexcept;
  // The block of string i, i < n_ under a block layout: the loader checked that the whole table
  // lies in the image, so no bound is tested here.
  const std::uint8_t* block_of(std::uint64_t i) const noexcept {
    return image_.data() + kPrefixBytes + (i >> per_shift_) * block_size_;
  }
  // span_at for i < n_ under a fast layout: the same answers as span_general.
  std::optional<Span> fast_span(std::uint64_t i) const noexcept {
    std::uint64_t a;
    std::uint64_t z;
    std::uint64_t base = 0;
    if (fast_ == Fast::Flat32) {
      const std::uint8_t* at = image_.data() + kPrefixBytes + 4 * i;
      a = bytes::load_u32(at);
      z = bytes::load_u32(at + 4);
    } else {
      const std::uint8_t* block = block_of(i);
      const std::uint64_t j = i & (per_ - 1);
      base = bytes::load_u32(block);
      const std::uint8_t* slots = block + 4;
      if (slot_width_ == 1) {
        if (slots[0] != 0) return overflowed_span(slots + 1, j, base);
        a = slots[j];
        z = slots[j + 1];
      } else {
        if (bytes::load_u16(slots) != 0) return overflowed_span(slots + 2, j, base);
        a = bytes::load_u16(slots + 2 * j);
        z = bytes::load_u16(slots + 2 * j + 2);
      }
    }
    // base < 2^32 and slots below 2^16: no sum overflows.
    if (z < a) return std::nullopt;
    return Span{base + a, base + z};
  }
  // The span of string j of an overflowed block whose 4-byte entry number is at `entry`.
  std::optional<Span> overflowed_span(const std::uint8_t* entry, std::uint64_t j,
                                      std::uint64_t base) const noexcept;
  std::uint64_t fingerprint_pos(std::uint64_t i) const noexcept {
    // A loaded arena's table lies inside the image, and with it every fingerprint of i < n.
    if (width_ != 0) return kPrefixBytes + (n_ + 1) * width_ + i;
    return kPrefixBytes + (i >> per_shift_) * block_size_ + fp_offset_ + (i & (per_ - 1));
  }

  blob::SharedBytes image_;
  std::uint64_t n_ = 0;
  std::uint64_t data_start_ = 0;
  std::uint64_t data_end_ = 0;
  std::uint64_t overflow_end_ = 0;  // end of the overflow table (= data_end_ without one)
  std::uint8_t tag_ = kBlocks16;
  // Derived from the tag.
  Fast fast_ = Fast::Blocks;
  std::uint8_t width_ = 0;       // flat offset width (4 or 8), 0 for blocks
  std::uint8_t base_width_ = 4;  // block base width
  std::uint8_t slot_width_ = 1;  // block slot width
  std::uint8_t per_shift_ = 4;   // log2 of per_
  std::uint32_t per_ = 16;       // strings per block
  std::uint64_t block_size_ = 21;
  std::uint64_t fp_offset_ = 21;  // a block's first fingerprint byte, from the block's start
};

template <class Source>
std::optional<StringArena> StringArena::assemble(
    Source&& source, std::uint64_t n, std::uint64_t total,
    std::optional<std::span<const std::uint8_t>> fingerprints) {
  if (fingerprints && fingerprints->size() != n) return std::nullopt;
  if constexpr (detail::IndexedKeys<Source>) {
    if (static_cast<std::uint64_t>(std::ranges::size(source)) != n) return std::nullopt;
    auto first = std::ranges::begin(source);
    auto key_at = [first](std::uint64_t i) -> decltype(auto) {
      return first[static_cast<std::ptrdiff_t>(i)];
    };
    return assemble_indexed(n, key_at, fingerprints, threads::available());
  } else {
    std::optional<detail::Collected> c = detail::begin_collecting(n, total);
    if (!c) return std::nullopt;
    bool ok = true;
    auto sink = [&](std::span<const std::uint8_t> key) -> bool {
      if (key.size() > kMaxStringLen || c->lengths.size() == c->n) {
        ok = false;
        return false;
      }
      c->data.insert(c->data.end(), key.begin(), key.end());
      c->lengths.push_back(static_cast<std::uint32_t>(key.size()));
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
    if (!ok || c->lengths.size() != n) return std::nullopt;
    return finish_collected(std::move(*c), fingerprints);
  }
}

template <class KeyAt>
std::optional<StringArena> StringArena::assemble_indexed(
    std::uint64_t n, KeyAt&& key_at, std::optional<std::span<const std::uint8_t>> fingerprints,
    unsigned threads, std::uint64_t min_per_worker) {
  // The strings may lie anywhere (slot order is a random walk over the caller's keys), so each
  // loop asks for what it reads kAhead positions ahead: the source's own bookkeeping through its
  // `prefetch(i)` hint when it has one, and the string's bytes once that is cached.
  constexpr std::uint64_t kAhead = 16;
  auto hint = [&key_at](std::uint64_t i) {
    if constexpr (requires { key_at.prefetch(i); }) key_at.prefetch(i);
  };
  detail::RangeSource source;
  source.measure = [&key_at, &hint](std::uint64_t lo, std::uint64_t hi, std::uint32_t* lengths) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      if (i + kAhead < hi) hint(i + kAhead);
      const std::size_t len = detail::key_bytes(key_at(i)).size();
      if (len > kMaxStringLen) return false;
      lengths[i - lo] = static_cast<std::uint32_t>(len);
    }
    return true;
  };
  source.copy = [&key_at, &hint](std::uint64_t lo, std::uint64_t hi, std::uint64_t,
                                 std::span<std::uint8_t> dst) {
    std::uint8_t* out = dst.data();
    std::size_t room = dst.size();
    for (std::uint64_t i = lo; i < hi; ++i) {
      if (i + 2 * kAhead < hi) hint(i + 2 * kAhead);
      if (i + kAhead < hi) __builtin_prefetch(detail::key_bytes(key_at(i + kAhead)).data());
      const std::span<const std::uint8_t> key = detail::key_bytes(key_at(i));
      check_invariant(key.size() <= room, "a key source gives the same strings when asked again");
      if (!key.empty()) std::memcpy(out, key.data(), key.size());
      out += key.size();
      room -= key.size();
    }
    check_invariant(room == 0, "a key source gives the same strings when asked again");
  };
  return assemble_ranges(n, source, fingerprints, threads, min_per_worker);
}

}  // namespace quenlith::arena
