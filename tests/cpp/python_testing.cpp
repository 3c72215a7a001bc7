// Starts the embedded interpreter from a configuration that names its executable. Without one,
// CPython takes its prefix from the first `python3` on PATH, which a tool that starts the tests
// (ctest or a wrapper of it) may have put there: the tests would then import from an environment
// the build never saw. PyConfig lies outside the limited API, so this file is compiled apart from
// the bindings and includes Python.h itself.
#include "python_testing.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quenlith::python_testing {

const char* configured_executable() { return QUENLITH_TEST_PYTHON_EXECUTABLE; }
const char* configured_prefix() { return QUENLITH_TEST_PYTHON_PREFIX; }
const char* configured_version() { return QUENLITH_TEST_PYTHON_VERSION; }

void start_interpreter() {
  // The locale and UTF-8 mode as an embedding application gets them from Py_InitializeEx: no
  // C-locale coercion, no UTF-8 mode unless asked for.
  PyPreConfig preconfig;
  PyPreConfig_InitPythonConfig(&preconfig);
  preconfig.parse_argv = 0;
  preconfig.coerce_c_locale = 0;
  preconfig.coerce_c_locale_warn = 0;
  preconfig.utf8_mode = 0;
  PyStatus status = Py_PreInitialize(&preconfig);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);

  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.parse_argv = 0;
  config.configure_c_stdio = 0;
  config.install_signal_handlers = 0;
  // The executable given, the path configuration derives prefix, home and module search path from
  // it (a virtual environment's pyvenv.cfg included) instead of searching PATH.
  status = PyConfig_SetBytesString(&config, &config.program_name, configured_executable());
  if (!PyStatus_Exception(status)) {
    status = PyConfig_SetBytesString(&config, &config.executable, configured_executable());
  }
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

}  // namespace quenlith::python_testing
