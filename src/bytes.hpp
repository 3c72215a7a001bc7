// Little-endian encoding helpers and a bounds-checked read cursor.
//
// Every blob is little-endian. Values are decoded with memcpy (never by casting a struct onto file
// bytes), and every read through `Cursor` is checked against the bytes present first, so arbitrary
// input can only produce an `IndexError`, never an out-of-bounds read.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace quenlith::bytes {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

template <class T>
inline T from_le(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    T r = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) r = static_cast<T>((r << 8) | ((v >> (8 * i)) & 0xFF));
    return r;
  }
  return v;
}

inline std::uint16_t load_u16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return from_le(v);
}
inline std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return from_le(v);
}
inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return from_le(v);
}
// The `width`-byte little-endian unsigned value at p, width 1 to 8.
inline std::uint64_t load_uint(const std::uint8_t* p, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

inline void store_u16(std::uint8_t* p, std::uint16_t v) {
  v = from_le(v);
  std::memcpy(p, &v, 2);
}
inline void store_u32(std::uint8_t* p, std::uint32_t v) {
  v = from_le(v);
  std::memcpy(p, &v, 4);
}
inline void store_u64(std::uint8_t* p, std::uint64_t v) {
  v = from_le(v);
  std::memcpy(p, &v, 8);
}
inline void store_uint(std::uint8_t* p, std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void put_u8(std::vector<std::uint8_t>& out, std::uint8_t v) { out.push_back(v); }
inline void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  std::uint8_t b[2];
  store_u16(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  store_u32(b, v);
  out.insert(out.end(), b, b + 4);
}
inline void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  std::uint8_t b[8];
  store_u64(b, v);
  out.insert(out.end(), b, b + 8);
}
inline void put_uint(std::vector<std::uint8_t>& out, std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_bytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> b) {
  out.insert(out.end(), b.begin(), b.end());
}

// Overflow-safe arithmetic on lengths read from untrusted bytes: nullopt when the result does
// not fit 64 bits.
inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// The sum and the product, or `IndexError::Format` `message` when they do not fit 64 bits: for
// sizes derived from untrusted bytes, where an overflow means the bytes are not a valid blob.
inline std::uint64_t add_or_fail(std::uint64_t a, std::uint64_t b, const char* message) {
  const auto r = checked_add(a, b);
  if (!r) throw IndexError::format(message);
  return *r;
}
inline std::uint64_t mul_or_fail(std::uint64_t a, std::uint64_t b, const char* message) {
  const auto r = checked_mul(a, b);
  if (!r) throw IndexError::format(message);
  return *r;
}

// The ceiling of a / b (b > 0), without the overflow of (a + b - 1) / b.
constexpr std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept {
  return a / b + (a % b != 0);
}

// True when [offset, offset + len) lies inside a buffer of `size` bytes, without overflow.
inline bool fits(std::uint64_t offset, std::uint64_t len, std::uint64_t size) {
  return offset <= size && len <= size - offset;
}

inline std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_chars(std::span<const std::uint8_t> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The length of the prefix `a` and `b` share, compared 8 bytes at a time, then byte by byte.
inline std::size_t common_prefix(std::span<const std::uint8_t> a,
                                 std::span<const std::uint8_t> b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // The first differing byte is the lowest set byte of the difference of two little-endian
    // words.
    const std::uint64_t x = load_u64(a.data() + i) ^ load_u64(b.data() + i);
    if (x != 0) return i + static_cast<std::size_t>(std::countr_zero(x) / 8);
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}
inline std::size_t common_prefix(std::string_view a, std::string_view b) noexcept {
  return common_prefix(as_bytes(a), as_bytes(b));
}

// True when `s` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::span<const std::uint8_t> s) noexcept;

// A read position over a byte span. Each read names the message of the `IndexError::Format` to
// throw when the bytes run out; nothing is ever read past the span.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> data, std::size_t pos = 0)
      : data_(data), pos_(pos <= data.size() ? pos : data.size()) {}

  std::size_t pos() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  bool has(std::uint64_t n) const noexcept { return n <= remaining(); }
  std::span<const std::uint8_t> data() const noexcept { return data_; }

  std::uint8_t u8(const char* message) { return *need(1, message); }
  std::uint16_t u16(const char* message) { return load_u16(need(2, message)); }
  std::uint32_t u32(const char* message) { return load_u32(need(4, message)); }
  std::uint64_t u64(const char* message) { return load_u64(need(8, message)); }
  std::span<const std::uint8_t> take(std::uint64_t n, const char* message) {
    const std::uint8_t* p = need(n, message);
    return {p, static_cast<std::size_t>(n)};
  }
  void skip(std::uint64_t n, const char* message) { need(n, message); }

 private:
  const std::uint8_t* need(std::uint64_t n, const char* message) {
    if (!has(n)) throw IndexError::format(message);
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += static_cast<std::size_t>(n);
    return p;
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_;
};

}  // namespace quenlith::bytes
