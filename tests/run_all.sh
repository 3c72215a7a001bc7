#!/usr/bin/env bash
# Runs every test of the project: the C++ tests in an optimised build (which compiles the
# benchmarks too, without running them) and in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the core library's tests again under ThreadSanitizer, then the
# Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# What the run needs, checked first so that a missing piece is named instead of failing halfway.
missing=()
cmake_ok=0
if command -v cmake >/dev/null 2>&1; then
  version=$(cmake --version | head -n1 | sed 's/[^0-9.]*\([0-9][0-9.]*\).*/\1/')
  major=${version%%.*}
  rest=${version#*.}
  minor=${rest%%.*}
  if [ "$major" -gt 3 ] || { [ "$major" -eq 3 ] && [ "$minor" -ge 25 ]; }; then
    cmake_ok=1
  else
    missing+=("CMake 3.25 or later for the C++ tests (found $version): python3 -m pip install 'cmake>=3.26'")
  fi
else
  missing+=("CMake 3.25 or later: apt-get install cmake, or python3 -m pip install 'cmake>=3.26'")
fi
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 ||
  missing+=("a C++20 compiler: apt-get install g++")
[ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ||
  missing+=("GoogleTest: apt-get install libgtest-dev")
[ -f /usr/include/nlohmann/json.hpp ] || [ -f /usr/local/include/nlohmann/json.hpp ] ||
  missing+=("nlohmann-json (the transducer tests' vectors): apt-get install nlohmann-json3-dev")
[ -f /usr/include/zlib.h ] || [ -f /usr/local/include/zlib.h ] ||
  missing+=("zlib (the transducer tests' vectors): apt-get install zlib1g-dev")
for module in pytest numpy pyarrow pandas polars; do
  python3 -c "import $module" >/dev/null 2>&1 ||
    missing+=("$module, a test extra: python3 -m pip install '.[test]'")
done
python3 -c 'import quenlith' >/dev/null 2>&1 ||
  missing+=("the quenlith package itself, for the Python tests: python3 -m pip install '.[test]'")
include=$(python3 -c 'import sysconfig; print(sysconfig.get_config_var("INCLUDEPY") or "")' \
  2>/dev/null || true)
[ -n "$include" ] && [ -f "$include/Python.h" ] ||
  missing+=("Python's headers, for the C++ tests that embed it: apt-get install python3-dev")
if [ ${#missing[@]} -gt 0 ]; then
  echo "tests/run_all.sh cannot run; missing (run apt-get update before apt-get install):" >&2
  for m in "${missing[@]}"; do echo "  - $m" >&2; done
  exit 2
fi
[ "$cmake_ok" -eq 1 ]

# The interpreter the Python tests run with, by its real path (`python3` may be a shell shim). The
# C++ tests that embed Python are built for it and start it by that path: cmake, ctest or a wrapper
# of them may put another `python3` first on the PATH their children see.
python=$(python3 -c 'import sys; print(sys.executable)')
if [ -z "$python" ] || [ ! -x "$python" ]; then
  echo "tests/run_all.sh: python3 does not name its own executable (sys.executable: '$python')" >&2
  exit 2
fi

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

run_ctest() {  # build dir, cmake options...
  local dir=$1
  shift
  echo "== C++ tests: $dir $*"
  cmake -S . -B "$dir" "${generator[@]}" -DQUENLITH_TESTS=ON "-DPython_EXECUTABLE=$python" "$@" \
    >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

# The sanitizer builds optimise lightly and keep line tables only: that halves their compile time,
# which dominates the run, while reports still name the file and line.
checked=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

run_ctest build-release -DCMAKE_BUILD_TYPE=Release -DQUENLITH_BENCH=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest build-sanitize "${checked[@]}" -DQUENLITH_SANITIZE=ON
# The core library's tests, since its modules start worker threads and a data race would make
# results depend on timing. Left out (they ran under the other two builds): the transducer
# library's tests, a library that starts no threads, and the core tests whose code runs on the
# calling thread alone (hashing, header codecs, the dictionary codecs, key sources, the external
# sort, the transducer index's loaders).
TSAN_OPTIONS=halt_on_error=1 \
  run_ctest build-tsan "${checked[@]}" -DQUENLITH_TSAN=ON \
  "-DQUENLITH_TEST_FILES=tests/cpp/[a-z_]+_test\\.cpp$" \
  "-DQUENLITH_TEST_FILES_EXCLUDE=/(hash|hash_blob|fsst|packed|paircode|key_source|extsort|string_index_load)_test\\.cpp$"

echo "== Python tests"
python3 -m pytest -q tests/python
