// The module function `inspect(blob)`: header-only inspection from Python.
#include "inspect.hpp"

#include <filesystem>

#include "bindings.hpp"
#include "py.hpp"

namespace quenlith::python {

namespace {

void set(PyObject* dict, const char* key, const Ref& value) {
  check(PyDict_SetItemString(dict, key, value.get()));
}

template <class T>
Ref optional_int(const std::optional<T>& v) {
  return v ? to_int(*v) : none();
}

// A BlobInfo as a dict with every key present, in the order callers show them; an overlay's base
// recursively.
Ref blob_info(const inspect::BlobInfo& info) {
  Ref dict = Ref::check(PyDict_New());
  set(dict.get(), "kind", to_str(inspect::kind_name(info.kind)));
  set(dict.get(), "format", to_str(info.format));
  set(dict.get(), "bytes", to_int(info.bytes));
  set(dict.get(), "keys", optional_int(info.keys));
  set(dict.get(), "fingerprint_bits", optional_int(info.fingerprint_bits));
  set(dict.get(), "mph_bytes", optional_int(info.mph_bytes));
  set(dict.get(), "arena_bytes", optional_int(info.arena_bytes));
  set(dict.get(), "side_entries", optional_int(info.side_entries));
  if (info.overlay) {
    const inspect::OverlayInfo& o = *info.overlay;
    Ref overlay = Ref::check(PyDict_New());
    set(overlay.get(), "base_tag", to_int(o.base_tag));
    set(overlay.get(), "base", o.base ? blob_info(*o.base) : none());
    set(overlay.get(), "additions", to_int(o.additions));
    set(overlay.get(), "retired", to_int(o.retired));
    set(dict.get(), "overlay", overlay);
  } else {
    set(dict.get(), "overlay", none());
  }
  return dict;
}

PyObject* inspect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const Params<1> params{"inspect", {"blob"}, 1, 1};
    const auto [blob] = params.parse(args, nargs, kwnames);
    inspect::BlobInfo info;
    if (PyBytes_Check(blob)) {
      // Read in place with the lock held: the bytes object cannot change, and the header reads
      // are few and small.
      info = inspect::inspect_bytes(bytes_view(blob));
    } else {
      std::filesystem::path path;
      try {
        path = path_arg(blob, "blob");
      } catch (const ErrorAlreadySet&) {
        PyErr_Clear();  // the conversion's own exception is replaced
        PyErr_SetString(PyExc_TypeError, "inspect() takes a path or bytes");
        throw;
      }
      info = without_gil([&] { return inspect::inspect_file(path); });
    }
    return blob_info(info).release();
  });
}

}  // namespace

PyMethodDef inspect_def = {
    "inspect",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&inspect_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "inspect(blob)\n"
    "--\n"
    "\n"
    "Tell what a blob is from its header alone, without loading the index.\n"
    "\n"
    "`blob` is a bytes object (read in place) or a path (a str or os.PathLike; only the\n"
    "header, a transducer's footer and an overlay's tombstone words are read from the file).\n"
    "Returns a dict with the keys kind, format, bytes, keys, fingerprint_bits, mph_bytes,\n"
    "arena_bytes, side_entries and overlay, a figure the blob's kind does not have being None;\n"
    "for an overlay, overlay is a dict of base_tag, base (the base region's own dict, or None),\n"
    "additions and retired. Nothing is decoded or verified: the sizes are what the header\n"
    "claims, checked only so far as every length must fit inside the blob, and a blob that\n"
    "inspects cleanly may still fail to load.\n"
    "\n"
    "Raises TypeError for anything but bytes or a path, OSError when the file cannot be opened\n"
    "or read, and ValueError (\"format error: ...\") for bytes that are not a blob of a known\n"
    "format, a retired format, or a header whose lengths run past the end.",
};

}  // namespace quenlith::python
