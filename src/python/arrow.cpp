// Arrow column input.
#include "arrow.hpp"

#include <string>

#include "idbuf.hpp"

namespace quenlith::python {

namespace {

constexpr const char* kNotAColumn =
    "expected a pyarrow utf8/large_utf8 Array or ChunkedArray, a pandas ArrowDtype column, or a "
    "polars Series";
constexpr const char* kNoAscent = "the column's offsets do not ascend within its data buffer";
constexpr const char* kShortOffsets = "the column's offsets buffer is shorter than the column";
constexpr const char* kShortValidity = "the column's validity buffer is shorter than the column";

// How many conversions (`__arrow_array__()`, `.array.__arrow_array__()`, `to_arrow()`) may follow
// one another before a column is refused: real columns need at most two, and an object that
// converts to itself must not loop for ever.
constexpr int kMaxConversions = 16;

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorAlreadySet{};
}

// `getattr(obj, name)`: the attribute, or null when the lookup raised AttributeError (cleared);
// any other exception passes through.
Ref attribute(PyObject* obj, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
  }
  return value;
}

Ref call_method(PyObject* obj, const char* name) {
  Ref method = Ref::check(PyObject_GetAttrString(obj, name));
  return Ref::check(PyObject_CallNoArgs(method.get()));
}

// The items of a sequence that is not a str, as new references.
std::vector<Ref> sequence_items(PyObject* obj, const char* what) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence", what);
    throw ErrorAlreadySet{};
  }
  std::vector<Ref> items;
  Ref iterator = Ref::check(PyObject_GetIter(obj));
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
      return items;
    }
    items.push_back(std::move(item));
  }
}

// An unsigned attribute of the array (`offset`, `null_count`).
std::uint64_t uint_attribute(PyObject* array, const char* name) {
  Ref value = Ref::check(PyObject_GetAttrString(array, name));
  return uint_arg(value.get(), name);
}

// Copies `length` bytes from `start` of a buffer-protocol object, seen as
// `memoryview(buffer).cast("B")` (so a view that cannot be cast to bytes, a strided one or one
// of a non-native format, is refused as the cast refuses it); ValueError(message) when the
// bytes do not lie inside it (the sum checked for overflow).
std::vector<std::uint8_t> copy_range(PyObject* buffer, std::uint64_t start, std::uint64_t length,
                                     const char* message) {
  Ref memory = Ref::check(PyMemoryView_FromObject(buffer));
  Ref as_bytes = Ref::check(PyObject_CallMethod(memory.get(), "cast", "s", "B"));
  BufferView view(as_bytes.get(), PyBUF_SIMPLE);
  const std::span<const std::uint8_t> bytes = view.bytes();
  std::uint64_t end = 0;
  if (__builtin_add_overflow(start, length, &end) || end > bytes.size())
    raise(PyExc_ValueError, message);
  return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace

Utf8Chunk Utf8Chunk::of(PyObject* array) {
  Utf8Chunk chunk;
  {
    Ref type = Ref::check(PyObject_GetAttrString(array, "type"));
    Ref text = Ref::check(PyObject_Str(type.get()));
    Ref utf8 = Ref::check(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace"));
    const std::span<const std::uint8_t> name = bytes_view(utf8.get());
    const std::string_view t(reinterpret_cast<const char*>(name.data()), name.size());
    if (t == "large_string") {
      chunk.wide_ = true;
    } else if (t != "string") {
      PyErr_Format(PyExc_TypeError, "expected an Arrow utf8 or large_utf8 column, got %U",
                   text.get());
      throw ErrorAlreadySet{};
    }
  }
  const Py_ssize_t n = PyObject_Size(array);
  if (n < 0) throw ErrorAlreadySet{};
  chunk.len_ = static_cast<std::uint64_t>(n);
  if (n == 0) return chunk;

  const std::uint64_t offset = uint_attribute(array, "offset");
  const std::uint64_t null_count = uint_attribute(array, "null_count");
  Ref buffers_result = call_method(array, "buffers");
  const std::vector<Ref> bufs = sequence_items(buffers_result.get(), "an Arrow array's buffers()");
  if (bufs.size() != 3) raise(PyExc_TypeError, "an Arrow utf8 column has three buffers");
  PyObject* validity = bufs[0].get() == Py_None ? nullptr : bufs[0].get();
  PyObject* offsets = bufs[1].get() == Py_None ? nullptr : bufs[1].get();
  PyObject* data = bufs[2].get() == Py_None ? nullptr : bufs[2].get();
  if (offsets == nullptr) raise(PyExc_ValueError, "the column has no offsets buffer");

  // Offsets of elements offset .. offset + n: a range that overflows cannot lie in any buffer.
  const std::uint64_t width = chunk.wide_ ? 8 : 4;
  std::uint64_t first = 0, entries = 0, span = 0;
  if (__builtin_mul_overflow(offset, width, &first) ||
      __builtin_add_overflow(chunk.len_, std::uint64_t{1}, &entries) ||
      __builtin_mul_overflow(entries, width, &span))
    raise(PyExc_ValueError, kShortOffsets);
  chunk.offsets_ = copy_range(offsets, first, span, kShortOffsets);

  chunk.base_ = chunk.raw_offset(0);
  const std::int64_t last = chunk.raw_offset(chunk.len_);
  if (chunk.base_ < 0 || last < chunk.base_) raise(PyExc_ValueError, kNoAscent);
  if (data != nullptr) {
    chunk.data_ = copy_range(data, static_cast<std::uint64_t>(chunk.base_),
                             static_cast<std::uint64_t>(last - chunk.base_), kNoAscent);
  } else if (last != chunk.base_) {
    raise(PyExc_ValueError, kNoAscent);
  }

  if (null_count > 0) {
    if (validity == nullptr)
      raise(PyExc_ValueError, "the column reports nulls but has no validity buffer");
    std::uint64_t end_bit = 0;
    if (__builtin_add_overflow(offset, chunk.len_, &end_bit))
      raise(PyExc_ValueError, kShortValidity);
    const std::uint64_t from = offset / 8;
    const std::uint64_t to = end_bit / 8 + (end_bit % 8 != 0 ? 1 : 0);
    chunk.validity_ = copy_range(validity, from, to - from, kShortValidity);
    chunk.has_validity_ = true;
    chunk.bit_offset_ = static_cast<unsigned>(offset % 8);
  }
  chunk.check();
  return chunk;
}

void Utf8Chunk::check() const {
  // Every offset at least its predecessor, and within the data copied from `base`. Differences
  // are taken only after the order is known, so none of them can overflow.
  const std::uint64_t data_len = data_.size();
  std::int64_t previous = base_;
  for (std::uint64_t i = 0; i <= len_; ++i) {
    const std::int64_t o = raw_offset(i);
    if (o < previous || static_cast<std::uint64_t>(o - base_) > data_len)
      raise(PyExc_ValueError, kNoAscent);
    previous = o;
  }
  if (has_validity_) {
    // bit_offset + len <= 8 * validity bytes, without forming 8 * bytes.
    const std::uint64_t bits_needed = bit_offset_ + len_;  // len_ < 2^63, no overflow
    if ((bits_needed + 7) / 8 > validity_.size()) raise(PyExc_ValueError, kShortValidity);
  }
}

std::vector<Utf8Chunk> utf8_chunks(PyObject* column) {
  Ref current = Ref::borrow(column);
  for (int depth = 0; depth <= kMaxConversions; ++depth) {
    PyObject* obj = current.get();
    if (attribute(obj, "buffers")) {
      std::vector<Utf8Chunk> chunks;
      chunks.push_back(Utf8Chunk::of(obj));
      return chunks;
    }
    if (Ref chunk_list = attribute(obj, "chunks")) {
      std::vector<Utf8Chunk> chunks;
      for (const Ref& array : sequence_items(chunk_list.get(), "a chunked array's chunks"))
        chunks.push_back(Utf8Chunk::of(array.get()));
      return chunks;
    }
    if (attribute(obj, "__arrow_array__")) {
      current = call_method(obj, "__arrow_array__");
      continue;
    }
    Ref array = Ref::steal(PyObject_GetAttrString(obj, "array"));
    if (!array) PyErr_Clear();  // any failure of `.array` only means "not a pandas column"
    if (array && attribute(array.get(), "__arrow_array__")) {
      current = call_method(array.get(), "__arrow_array__");
      continue;
    }
    if (attribute(obj, "to_arrow")) {
      current = call_method(obj, "to_arrow");
      continue;
    }
    raise(PyExc_TypeError, kNotAColumn);
  }
  PyErr_Format(PyExc_TypeError, "%s (the column's conversions nest more than %d deep)", kNotAColumn,
               kMaxConversions);
  throw ErrorAlreadySet{};
}

std::uint64_t total_len(const std::vector<Utf8Chunk>& chunks) noexcept {
  std::uint64_t n = 0;
  for (const Utf8Chunk& c : chunks) n += c.len();
  return n;
}

}  // namespace quenlith::python
