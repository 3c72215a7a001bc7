// The interpreter that the tests embedding Python run in: the one the build was configured with
// (CMake's Python_EXECUTABLE, which tests/run_all.sh sets to the interpreter it runs pytest with),
// so that the modules a test imports come from that interpreter's environment whatever PATH the
// test was started with.
#pragma once

namespace quenlith::python_testing {

// The configured interpreter's executable, and its sys.prefix and sys.version as it reported them
// at configure time.
const char* configured_executable();
const char* configured_prefix();
const char* configured_version();

// Starts the configured interpreter with the signal handlers left to the test process, as
// Py_InitializeEx(0) would; exits the process with Python's message when it cannot start.
void start_interpreter();

}  // namespace quenlith::python_testing
