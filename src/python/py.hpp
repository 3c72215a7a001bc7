// The binding conventions every class and function of `quenlith._core` follows, and the small
// RAII helpers they rest on. Only src/python/ includes Python.h; the build defines
// Py_LIMITED_API (the stable ABI of CPython 3.11), so nothing here reaches into object internals.
//
// A binding function has this shape:
//
//   PyObject* my_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
//                         PyObject* kwnames) noexcept {
//     return boundary([&]() -> PyObject* {
//       static const Params<2> params{"my_function", {"key", "limit"}, 1, 1};
//       auto [key, limit] = params.parse(args, nargs, kwnames);   // borrowed; null if omitted
//       std::string_view k = key_arg(key, "key");                  // GIL held: touch Python
//       auto result = without_gil([&] { return core_work(k); });  // GIL released: core only
//       return to_int(result).release();                           // GIL held again
//     });
//   }
//
// - `boundary` is the only way out of a binding: every C++ exception becomes a Python exception
//   there (IndexError's Io variant as OSError, every other variant as ValueError, the display text
//   the one argument; a Panic or any other exception as PanicException), and no exception crosses
//   into the interpreter.
// - A Python API call that fails leaves its exception set; the helpers then throw
//   `ErrorAlreadySet`, which `boundary` passes through untouched.
// - `without_gil` releases the interpreter lock around core work and retakes it on every path
//   out, an exception included, before the boundary raises. Inside it, touch no Python object:
//   no `Ref` may be created, copied or destroyed there.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

namespace quenlith::python {

// Thrown after a Python API call failed and set the current exception.
struct ErrorAlreadySet {};

// Throws `ErrorAlreadySet` unless the status of an API call that returns -1 on failure is good.
inline void check(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}

// An owned (strong) reference, released on destruction. Requires the interpreter lock.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a new reference (null allowed).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  // Takes over the new reference an API call returned; a null result throws `ErrorAlreadySet`.
  static Ref check(PyObject* obj) {
    if (obj == nullptr) throw ErrorAlreadySet{};
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (a binding's return value).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for its lifetime and retakes it on every path out.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released; its result or exception passes through once the
// lock is held again.
template <class F>
decltype(auto) without_gil(F&& work) {
  AllowThreads released;
  return std::forward<F>(work)();
}

// Sets the Python exception for the exception being handled (call only inside a catch block):
// IndexError -> OSError (Io) or ValueError (the rest) with the display text; ErrorAlreadySet ->
// nothing more; std::bad_alloc -> MemoryError; Panic and anything else -> PanicException, its
// report written to standard error first.
void raise_current_exception() noexcept;

// Runs a binding body returning a new reference; any exception becomes a Python exception and
// the result is then null.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// As `boundary`, for slots returning an int or a size: `failure` (-1) once the exception is set.
template <class R, class F>
R boundary_or(R failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    raise_current_exception();
    return failure;
  }
}

// The exception type panics surface as: "quenlith.PanicException", derived directly from
// BaseException so that `except Exception` does not catch it. Made once per process on first
// use; a borrowed reference, or null with the exception set when it cannot be made.
PyObject* panic_exception_type() noexcept;

// An interned string made on first use, cached in `cache` for the process (attribute names
// such as "__all__"); a borrowed reference. Callers keep the cache in a function-local static.
PyObject* interned(PyObject*& cache, const char* text);

// ---- Arguments ----

// The parameters of a fast-call function with keywords (METH_FASTCALL | METH_KEYWORDS). The
// first `positional` names may be given by position or keyword, the rest by keyword only; the
// first `required` must be given. `parse` returns borrowed references in parameter order, null
// for an omitted optional parameter, or throws after setting a TypeError that names the
// function and the parameter.
template <std::size_t N>
struct Params {
  const char* function;
  std::array<const char*, N> names;
  std::size_t positional;
  std::size_t required;

  std::array<PyObject*, N> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
};

void parse_arguments(const char* function, std::span<const char* const> names,
                     std::size_t positional, std::size_t required, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

template <std::size_t N>
std::array<PyObject*, N> Params<N>::parse(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) const {
  std::array<PyObject*, N> out{};
  parse_arguments(function, names, positional, required, args, nargs, kwnames, out);
  return out;
}

// Conversions of the argument conventions. Each throws `ErrorAlreadySet` after setting the
// exception (a TypeError or OverflowError naming `param`), and each needs the interpreter lock.

// A key or query: a str (or subclass) as its cached UTF-8 form, borrowed from the object without
// copying; valid while the caller holds the object. A str without a UTF-8 form (a lone
// surrogate) raises the interpreter's UnicodeEncodeError.
std::string_view key_arg(PyObject* obj, const char* param);
// An id or count: an int or anything with __index__, at most `max`.
std::uint64_t uint_arg(PyObject* obj, const char* param, std::uint64_t max = UINT64_MAX);
// A flag: a bool, or a numpy boolean scalar read through its __bool__.
bool flag_arg(PyObject* obj, const char* param);
// A path: anything whose os.fspath() is a str, encoded with the file-system encoding.
std::filesystem::path path_arg(PyObject* obj, const char* param);
// A blob: exactly a bytes object or a subclass, viewed in place (valid while the caller holds it).
std::span<const std::uint8_t> bytes_arg(PyObject* obj, const char* param);
// The contents of an object already known to be bytes (or a subclass).
std::span<const std::uint8_t> bytes_view(PyObject* bytes);

// Raises KeyError whose one argument is `key` (already checked to be a str) as a plain str: a str
// subclass is copied by its value, never read through its own __str__ or __repr__.
[[noreturn]] void raise_missing_key(PyObject* key);

// ---- Results ----

inline Ref to_int(std::uint64_t v) { return Ref::check(PyLong_FromUnsignedLongLong(v)); }
inline Ref to_str(std::string_view s) {
  return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref none() { return Ref::borrow(Py_None); }

// ---- Classes ----
//
// Each class is a heap type made from a `PyType_Spec` (named "quenlith._core.<Class>", without
// Py_TPFLAGS_BASETYPE so it cannot be subclassed, no __dict__ and no weak-reference slot) the
// first time a module object runs its execution step, then cached for the process. An index
// object is the object header and one shared pointer to its immutable core:

template <class Core>
struct CoreObject {
  PyObject_HEAD std::shared_ptr<const Core> core;
};

// The process-wide type made from `type_spec` on first use, cached in `cache`; a new reference.
Ref type_from_spec(PyObject*& cache, PyType_Spec& type_spec);

// A new instance of `type` (a CoreObject<Core> type) holding `core`.
template <class Core>
Ref wrap_core(PyTypeObject* type, std::shared_ptr<const Core> core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self = Ref::check(alloc(type, 0));
  new (&reinterpret_cast<CoreObject<Core>*>(self.get())->core)
      std::shared_ptr<const Core>(std::move(core));
  return self;
}

// The Py_tp_dealloc slot of a CoreObject<Core> type: drops the core, frees the object and the
// instance's reference to its heap type.
template <class Core>
void dealloc_core(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CoreObject<Core>*>(self)->core.~shared_ptr();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The core an instance holds (the caller has checked its type).
template <class Core>
const std::shared_ptr<const Core>& core_of(PyObject* self) noexcept {
  return reinterpret_cast<CoreObject<Core>*>(self)->core;
}

}  // namespace quenlith::python
