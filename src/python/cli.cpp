// The module function `_cli(args)`: the `quenlith` command line, run over the process's own
// standard streams with the interpreter lock released.
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

// The arguments as owned UTF-8 strings, taken while the lock is held.
std::vector<std::string> arguments(PyObject* args) {
  if (PyUnicode_Check(args) || PyBytes_Check(args) || !PySequence_Check(args)) bad_args();
  const Py_ssize_t n = PySequence_Size(args);
  if (n < 0) throw ErrorAlreadySet{};
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::check(PySequence_GetItem(args, i));
    if (!PyUnicode_Check(item.get())) bad_args();
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &len);
    if (utf8 == nullptr) throw ErrorAlreadySet{};
    out.emplace_back(utf8, static_cast<std::size_t>(len));
  }
  return out;
}

PyObject* cli_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const Params<1> params{"_cli", {"args"}, 1, 1};
    const auto [arg] = params.parse(args, nargs, kwnames);
    const std::vector<std::string> argv = arguments(arg);
    const int status = without_gil([&] { return cli::run_process(argv); });
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
