// The boundary between C++ failures and Python exceptions.
#include <exception>
#include <new>
#include <string>

#include "error.hpp"
#include "py.hpp"

namespace quenlith::python {

namespace {

// Raises `type(text)` with the text decoded as UTF-8 (an undecodable byte replaced, so the
// message itself can never fail to convert).
void raise_text(PyObject* type, const std::string& text) noexcept {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // MemoryError is set
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void raise_panic(const char* message) noexcept {
  // The report goes to standard error when the panic reaches the boundary, before the raise.
  PySys_FormatStderr("quenlith panicked: %s\n", message);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to make the type is the exception
  raise_text(type, message);
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;  // made once, kept for the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "quenlith.PanicException",
        "A broken internal invariant or a hard limit of quenlith; its argument names the "
        "invariant. Derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    // The failing API call has set the exception.
  } catch (const IndexError& e) {
    raise_text(e.kind() == IndexError::Kind::Io ? PyExc_OSError : PyExc_ValueError, e.display());
  } catch (const Panic& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("a foreign exception reached the Python boundary");
  }
}

PyObject* interned(PyObject*& cache, const char* text) {
  if (cache == nullptr) {
    cache = PyUnicode_InternFromString(text);  // kept for the process
    if (cache == nullptr) throw ErrorAlreadySet{};
  }
  return cache;
}

}  // namespace quenlith::python
