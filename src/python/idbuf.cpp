// Id buffers: the checks of a caller's `out` buffer and the copy into it.
#include "idbuf.hpp"

#include <bit>
#include <cstring>
#include <string_view>

namespace quenlith::python {

namespace {

[[noreturn]] void buffer_error(const char* message) {
  PyErr_SetString(PyExc_BufferError, message);
  throw ErrorAlreadySet{};
}

const char* id_type_name(std::size_t width) { return width == 4 ? "uint32" : "uint64"; }

// Whether a `struct`-module format names one unsigned integer of `width` bytes in the machine's
// byte order. No prefix, "@" and "^" take native sizes ("L" is the C long); "=" takes standard
// sizes ("L" is four bytes); "<" and ">" count only when they are the machine's own order, with
// standard sizes. A missing format is "B".
bool native_unsigned(const char* format, std::size_t width) {
  std::string_view f = format == nullptr ? std::string_view("B") : std::string_view(format);
  bool standard = false;
  if (!f.empty()) {
    const char prefix = f.front();
    if (prefix == '@' || prefix == '^') {
      f.remove_prefix(1);
    } else if (prefix == '=' || prefix == '<' || prefix == '>' || prefix == '!') {
      const bool little = std::endian::native == std::endian::little;
      if ((prefix == '<' && !little) || ((prefix == '>' || prefix == '!') && little)) return false;
      standard = true;
      f.remove_prefix(1);
    }
  }
  if (f.size() != 1) return false;
  std::size_t size = 0;
  switch (f.front()) {
    case 'B':
      size = 1;
      break;
    case 'H':
      size = 2;
      break;
    case 'I':
      size = 4;
      break;
    case 'L':
      size = standard ? 4 : sizeof(unsigned long);
      break;
    case 'Q':
      size = 8;
      break;
    case 'N':
      if (standard) return false;  // size_t has no standard size
      size = sizeof(std::size_t);
      break;
    default:
      return false;
  }
  return size == width;
}

}  // namespace

BufferView::BufferView(PyObject* obj, int flags) {
  if (PyObject_GetBuffer(obj, &view_, flags) != 0) throw ErrorAlreadySet{};
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

void writable_buffer(PyObject* out) {
  Ref view = Ref::check(PyMemoryView_FromObject(out));
  static PyObject* readonly_name = nullptr;
  Ref readonly = Ref::check(PyObject_GetAttr(view.get(), interned(readonly_name, "readonly")));
  const int ro = PyObject_IsTrue(readonly.get());
  check(ro);
  if (ro != 0) buffer_error("out is read-only");
}

IdSink::IdSink(PyObject* out, std::size_t width, std::uint64_t n) : view_(out, PyBUF_FULL_RO) {
  const Py_buffer& v = view_.get();
  if (static_cast<std::size_t>(v.itemsize) != width || !native_unsigned(v.format, width)) {
    PyErr_Format(PyExc_BufferError,
                 "out's contents are not compatible with the id type: expected native-endian "
                 "%s items",
                 id_type_name(width));
    throw ErrorAlreadySet{};
  }
  if (reinterpret_cast<std::uintptr_t>(v.buf) % width != 0) {
    PyErr_Format(PyExc_BufferError, "out's contents are insufficiently aligned for %s items",
                 id_type_name(width));
    throw ErrorAlreadySet{};
  }
  if (v.readonly) buffer_error("out is read-only");
  if (!PyBuffer_IsContiguous(&v, 'C')) buffer_error("out is not C-contiguous");
  const std::uint64_t capacity = static_cast<std::uint64_t>(v.len) / width;
  if (capacity < n) {
    PyErr_Format(PyExc_ValueError, "out holds %llu items but %llu keys were given",
                 static_cast<unsigned long long>(capacity), static_cast<unsigned long long>(n));
    throw ErrorAlreadySet{};
  }
}

void IdSink::not_writable() { buffer_error("out is not writable"); }

}  // namespace quenlith::python
