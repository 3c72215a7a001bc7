// Arrow `utf8` and `large_utf8` columns as key input, read through Python attributes and the
// buffer protocol only (no Arrow, pandas, polars or numpy library is linked).
//
// A column (a pyarrow Array or ChunkedArray, a pandas column of Arrow type, a polars Series, or
// anything with `__arrow_array__`) is reduced to Arrow arrays, and each array is copied into a
// self-contained `Utf8Chunk`: the offsets of its own elements, the data bytes between its first
// and last offset, and the validity bytes that cover its elements. Everything in it comes from
// the caller, so every offset is checked once, when the chunk is made; after that `key(i)` needs
// no bounds reasoning, and the chunk can be read with the interpreter lock released.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "py.hpp"

namespace quenlith::python {

class Utf8Chunk {
 public:
  // Reads one Arrow array (lock held). Raises TypeError for another type or a bad `buffers()`,
  // ValueError for offsets, data or validity that do not fit together, and passes any exception
  // of the array's own attributes through unchanged.
  static Utf8Chunk of(PyObject* array);

  std::uint64_t len() const noexcept { return len_; }
  // Element `i`'s bytes (i < len), used unchanged (their UTF-8 is not validated).
  std::string_view key(std::uint64_t i) const noexcept {
    const std::int64_t from = raw_offset(i) - base_;
    const std::int64_t to = raw_offset(i + 1) - base_;
    return {reinterpret_cast<const char*>(data_.data()) + from,
            static_cast<std::size_t>(to - from)};
  }
  // Whether the array reports nulls (and so carries validity bytes).
  bool has_nulls() const noexcept { return has_validity_; }
  // Element `i` is null: its validity bit, least significant first within each byte, is 0.
  bool is_null(std::uint64_t i) const noexcept {
    if (!has_validity_) return false;
    const std::uint64_t bit = bit_offset_ + i;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0;
  }

 private:
  std::int64_t raw_offset(std::uint64_t i) const noexcept {
    if (wide_) {
      std::int64_t v;
      std::memcpy(&v, offsets_.data() + i * 8, 8);
      return v;
    }
    std::int32_t v;
    std::memcpy(&v, offsets_.data() + i * 4, 4);
    return v;
  }
  // The walk that makes every later `key` safe: offsets ascend from `base` and stay within the
  // data; the validity bytes cover every element.
  void check() const;

  bool wide_ = false;
  std::uint64_t len_ = 0;
  std::vector<std::uint8_t> offsets_;  // len + 1 entries of 4 or 8 bytes, native order
  std::int64_t base_ = 0;
  std::vector<std::uint8_t> data_;  // bytes base .. last offset of the data buffer
  bool has_validity_ = false;
  std::vector<std::uint8_t> validity_;
  unsigned bit_offset_ = 0;  // element 0's bit in validity_[0]
};

// The arrays of a column, in order (lock held). A chunked array with no chunks gives none; an
// object that is no kind of Arrow column is a TypeError.
std::vector<Utf8Chunk> utf8_chunks(PyObject* column);

// The total element count of a column's chunks.
std::uint64_t total_len(const std::vector<Utf8Chunk>& chunks) noexcept;

}  // namespace quenlith::python
