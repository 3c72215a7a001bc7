// Argument extraction and conversion, shared by every binding.
#include <string>

#include "py.hpp"

namespace quenlith::python {

namespace {

// The name of an object's type, for messages.
Ref type_name(PyObject* obj) { return Ref::check(PyType_GetName(Py_TYPE(obj))); }

[[noreturn]] void wrong_type(const char* param, const char* expected, PyObject* obj) {
  Ref name = type_name(obj);
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", param, expected, name.get());
  throw ErrorAlreadySet{};
}

bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  static PyObject* module_name = nullptr;
  Ref module = Ref::steal(PyObject_GetAttr(type, interned(module_name, "__module__")));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
    return false;
  Ref name = type_name(obj);
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

void parse_arguments(const char* function, std::span<const char* const> names,
                     std::size_t positional, std::size_t required, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  const std::size_t given = static_cast<std::size_t>(nargs);
  if (given > positional) {
    if (positional == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", function);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                   function, positional, positional == 1 ? "" : "s", nargs);
    }
    throw ErrorAlreadySet{};
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);  // borrowed; always a str
    if (keyword == nullptr) throw ErrorAlreadySet{};
    std::size_t i = 0;
    while (i < names.size() && PyUnicode_CompareWithASCIIString(keyword, names[i]) != 0) ++i;
    if (i == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                   keyword);
      throw ErrorAlreadySet{};
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[i]);
      throw ErrorAlreadySet{};
    }
    out[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] != nullptr) continue;
    if (i < positional) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   names[i], i + 1);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument '%s'", function,
                   names[i]);
    }
    throw ErrorAlreadySet{};
  }
}

std::string_view key_arg(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) wrong_type(param, "str", obj);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // cached in the str object
  if (utf8 == nullptr) throw ErrorAlreadySet{};
  return {utf8, static_cast<std::size_t>(size)};
}

std::uint64_t uint_arg(PyObject* obj, const char* param, std::uint64_t max) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    wrong_type(param, "an integer", obj);
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  const bool failed = v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr;
  if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorAlreadySet{};
  if (failed || v > max) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s out of range: must be from 0 to %llu", param,
                 static_cast<unsigned long long>(max));
    throw ErrorAlreadySet{};
  }
  return v;
}

bool flag_arg(PyObject* obj, const char* param) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (!is_numpy_bool(obj)) wrong_type(param, "a bool", obj);
  const int truth = PyObject_IsTrue(obj);
  check(truth);
  return truth != 0;
}

std::filesystem::path path_arg(PyObject* obj, const char* param) {
  Ref fspath = Ref::steal(PyOS_FSPath(obj));
  if (!fspath) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    wrong_type(param, "a path (str or os.PathLike)", obj);
  }
  if (!PyUnicode_Check(fspath.get())) wrong_type(param, "a str path", fspath.get());
  Ref encoded = Ref::check(PyUnicode_EncodeFSDefault(fspath.get()));
  const std::span<const std::uint8_t> name = bytes_view(encoded.get());
  return std::filesystem::path(
      std::string(reinterpret_cast<const char*>(name.data()), name.size()));
}

void raise_missing_key(PyObject* key) {
  Ref plain = PyUnicode_CheckExact(key) ? Ref::borrow(key) : Ref::check(PyUnicode_FromObject(key));
  PyErr_SetObject(PyExc_KeyError, plain.get());
  throw ErrorAlreadySet{};
}

std::span<const std::uint8_t> bytes_arg(PyObject* obj, const char* param) {
  if (!PyBytes_Check(obj)) wrong_type(param, "bytes", obj);
  return bytes_view(obj);
}

std::span<const std::uint8_t> bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes, &data, &size));
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

Ref type_from_spec(PyObject*& cache, PyType_Spec& type_spec) {
  if (cache == nullptr) {
    cache = PyType_FromSpec(&type_spec);  // kept for the process: every module object shares it
    if (cache == nullptr) throw ErrorAlreadySet{};
  }
  return Ref::borrow(cache);
}

}  // namespace quenlith::python
