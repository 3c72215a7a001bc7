#!/usr/bin/env bash
# Runs every test of the project: the C++ tests in an optimised build and in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded builds under ThreadSanitizer,
# then the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

run_ctest() {  # build dir, cmake options..., -- ctest filter
  local dir=$1; shift
  local filter=""
  local opts=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then filter=$2; shift 2; else opts+=("$1"); shift; fi
  done
  echo "== C++ tests: $dir ${opts[*]}"
  cmake -S . -B "$dir" "${generator[@]}" -DQUENLITH_TESTS=ON "${opts[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  if [ -n "$filter" ]; then
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure -R "$filter"
  else
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure
  fi
}

run_ctest build-release -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENLITH_SANITIZE=ON
# The thread-parallel builds, where a data race would make results depend on timing.
run_ctest build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENLITH_TSAN=ON \
  "-DQUENLITH_TEST_FILES=(mphf|hash|estimate_corpus)[a-z_]*_test\\.cpp$" -- 'Parallel|Thread|Determinis'

echo "== Python tests"
python3 -m pytest -q tests/python
