// The module function `_cli(args)`: the `quenlith` command line, run over the process's own
// standard streams with the interpreter lock released.
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "cli.hpp"
#include "py.hpp"

namespace quenlith::python {

namespace {

[[noreturn]] void bad_args() {
  PyErr_SetString(PyExc_TypeError, "_cli() argument 'args' must be a list or tuple of str");
  throw ErrorAlreadySet{};
}

// The arguments as owned byte strings in the filesystem encoding (with its escape of
// undecodable bytes, so a file name that is not UTF-8 reaches the command line as the bytes it
// was made of), taken while the lock is held. An argument that has no such bytes (a lone
// surrogate outside the escape's range) is rendered with backslash escapes and its index kept in
// `unusable`, for the command line to report as a usage failure.
struct Arguments {
  std::vector<std::string> items;
  std::optional<std::size_t> unusable;
};

std::string bytes_of(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &len) != 0) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(len));
}

Arguments arguments(PyObject* args) {
  if (PyUnicode_Check(args) || PyBytes_Check(args) || !PySequence_Check(args)) bad_args();
  const Py_ssize_t n = PySequence_Size(args);
  if (n < 0) throw ErrorAlreadySet{};
  Arguments out;
  out.items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::check(PySequence_GetItem(args, i));
    if (!PyUnicode_Check(item.get())) bad_args();
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(item.get()));
    if (!encoded) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw ErrorAlreadySet{};
      PyErr_Clear();
      encoded = Ref::check(PyUnicode_AsEncodedString(item.get(), "utf-8", "backslashreplace"));
      if (!out.unusable) out.unusable = out.items.size();
    }
    out.items.push_back(bytes_of(encoded.get()));
  }
  return out;
}

PyObject* cli_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const Params<1> params{"_cli", {"args"}, 1, 1};
    const auto [arg] = params.parse(args, nargs, kwnames);
    const Arguments argv = arguments(arg);
    const int status =
        without_gil([&] { return cli::run_process(argv.items, argv.unusable); });
    return to_int(static_cast<std::uint64_t>(status)).release();
  });
}

}  // namespace

PyMethodDef cli_def = {
    "_cli",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&cli_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "_cli(args)\n"
    "--\n"
    "\n"
    "Run the quenlith command line: `args` is the command line without the program name (a\n"
    "list or tuple of str), and the exit status is returned: 0 success, 1 the work failed, 2\n"
    "the command line was wrong. The run is detached from the interpreter (other threads go on\n"
    "while it works) and writes to the process's own standard streams; standard output is\n"
    "flushed before returning. Failures of the command are reported on standard error and in\n"
    "the status, never raised: only a bad `args` raises (TypeError).",
};

}  // namespace quenlith::python
