// UTF-8 byte ranges for ranges of Unicode scalar values.
//
// An automaton that reads keys byte by byte but reasons about characters needs to turn "any scalar
// in [a, b]" into byte-level transitions. `Utf8Sequences` does that: it splits a scalar range into
// a short list of byte-range sequences, each 1 to 4 ranges long, whose union matches exactly the
// well-formed UTF-8 encodings of the scalars in the range (no surrogates, no overlong forms).
// The full range U+0000..U+10FFFF becomes nine sequences:
//
//   [00-7F]   [C2-DF][80-BF]   [E0][A0-BF][80-BF]   [E1-EC][80-BF][80-BF]   [ED][80-9F][80-BF]
//   [EE-EF][80-BF][80-BF]   [F0][90-BF][80-BF][80-BF]   [F1-F3][80-BF][80-BF][80-BF]
//   [F4][80-8F][80-BF][80-BF]
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace fst::utf8 {

// The largest Unicode scalar value.
inline constexpr char32_t kMaxScalar = 0x10FFFF;

// An inclusive range of byte values.
struct Utf8Range {
  std::uint8_t start = 0;
  std::uint8_t end = 0;

  bool matches(std::uint8_t b) const noexcept { return start <= b && b <= end; }
  friend bool operator==(const Utf8Range&, const Utf8Range&) = default;
};

// A sequence of 1 to 4 byte ranges. It matches a byte string of the same length whose i-th byte
// lies in the i-th range.
class Utf8Sequence {
 public:
  Utf8Sequence() = default;
  // Pairs up the bytes of two encodings of the same length (1..4): range i is start[i]..end[i].
  Utf8Sequence(std::span<const std::uint8_t> start, std::span<const std::uint8_t> end);

  std::size_t size() const noexcept { return len_; }
  std::span<const Utf8Range> ranges() const noexcept { return {ranges_.data(), len_}; }
  const Utf8Range& operator[](std::size_t i) const noexcept { return ranges_[i]; }

  // True when `bytes` has exactly this sequence's length and every byte lies in its range.
  bool matches(std::span<const std::uint8_t> bytes) const noexcept;

  friend bool operator==(const Utf8Sequence& a, const Utf8Sequence& b) noexcept;

 private:
  std::array<Utf8Range, 4> ranges_{};
  std::size_t len_ = 0;
};

// Splits the inclusive scalar range [start, end] into UTF-8 byte-range sequences, in ascending
// byte order. Surrogates (U+D800..U+DFFF) and values above U+10FFFF are left out; an empty or
// wholly invalid range yields nothing. Each call to next() does a bounded amount of work; the
// object keeps a small work stack of pending scalar ranges.
class Utf8Sequences {
 public:
  Utf8Sequences(char32_t start, char32_t end);

  // The next sequence, or nothing once the range is exhausted.
  std::optional<Utf8Sequence> next();

 private:
  struct ScalarRange {
    std::uint32_t start;
    std::uint32_t end;
  };
  void push(std::uint32_t start, std::uint32_t end) { stack_.push_back({start, end}); }

  std::vector<ScalarRange> stack_;
};

// Writes the UTF-8 encoding of scalar `c` to `out` and returns its length (1..4). `c` must be a
// Unicode scalar value (not a surrogate, at most U+10FFFF); otherwise returns 0 and writes nothing.
std::size_t encode(char32_t c, std::array<std::uint8_t, 4>& out) noexcept;

// Decodes well-formed UTF-8 into scalars, appending to `out`. Returns false (and leaves `out` in an
// unspecified state) when `bytes` is not well-formed UTF-8: a stray or missing continuation byte,
// an overlong form, a surrogate, a value above U+10FFFF, or a sequence cut off at the end.
bool decode(std::string_view bytes, std::vector<char32_t>& out);

}  // namespace fst::utf8
