// Ids out: the packed `bytes` form and the caller's buffer (`out`) of the batched lookups, and the
// RAII holder of a buffer-protocol view that the Arrow reader shares.
//
// Packed ids are `n` items of the index's id width in the machine's own byte order, back to back;
// `MISSING_ID`, the all-ones value, stands for an absent key or a null element. They are meant
// for `np.frombuffer(buf, dtype=index.ID_DTYPE)` on the machine that made them, never for storage.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "py.hpp"

namespace quenlith::python {

// A buffer-protocol view, released on destruction (with the interpreter lock held).
class BufferView {
 public:
  // Acquires a view of `obj` with `flags`; throws `ErrorAlreadySet` when the object refuses.
  BufferView(PyObject* obj, int flags);
  ~BufferView();
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  const Py_buffer& get() const noexcept { return view_; }
  // The view's bytes; only meaningful for a contiguous view.
  std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// `ids` as one new bytes object of native-endian items.
template <class Id>
Ref packed(std::span<const Id> ids) {
  return Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                              static_cast<Py_ssize_t>(ids.size_bytes())));
}

// The check of `out` when there is nothing to write: it must export the buffer protocol (else
// the interpreter's TypeError) and be writable (else BufferError "out is read-only").
void writable_buffer(PyObject* out);

// A view of `out` checked to take `n` ids of `width` bytes (4 or 8), in this order: item size and
// format (BufferError, not compatible), alignment (BufferError, insufficiently aligned),
// read-only (BufferError "out is read-only"), C-contiguity (BufferError "out is not
// C-contiguous"), capacity (ValueError "out holds {} items but {} keys were given"). Held until
// the ids are written; nothing is written by the checks.
class IdSink {
 public:
  IdSink(PyObject* out, std::size_t width, std::uint64_t n);

  // Copies the ids to the start of the buffer (BufferError "out is not writable" when it is not
  // writable and C-contiguous memory); the items past them keep their values.
  template <class Id>
  void write(std::span<const Id> ids) {
    const Py_buffer& v = view_.get();
    if (v.readonly || v.buf == nullptr || !PyBuffer_IsContiguous(&v, 'C')) not_writable();
    const std::size_t capacity = static_cast<std::size_t>(v.len) / sizeof(Id);
    const std::size_t count = ids.size() < capacity ? ids.size() : capacity;
    if (count != 0) std::memcpy(v.buf, ids.data(), count * sizeof(Id));
  }

 private:
  [[noreturn]] static void not_writable();
  BufferView view_;
};

// The all-ones id of a width: never a real id (an index of that width holds fewer keys).
template <class Id>
inline constexpr Id kMissingId = std::numeric_limits<Id>::max();

// A list aligned with `ids`: an int per id, None for `kMissing` when `missing_is_none`.
template <class Id>
Ref id_list(std::span<const Id> ids, bool missing_is_none) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Ref item = missing_is_none && ids[i] == kMissingId<Id> ? none() : to_int(ids[i]);
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
  }
  return list;
}

}  // namespace quenlith::python
