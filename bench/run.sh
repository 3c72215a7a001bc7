#!/usr/bin/env bash
# Builds the benchmarks in Release under build-bench/ and runs each of them.
# Usage: bench/run.sh [arguments passed to every benchmark]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLITH_BENCH=ON >/dev/null
ninja -C "$build" -j"${JOBS:-4}"
echo "cores: $(nproc)"
status=0
for source in "$root"/bench/*.cpp; do
  name="$(basename "$source" .cpp)"
  exe="$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)"
  if [[ -z "$exe" ]]; then
    echo "$name: no executable built" >&2
    status=1
    continue
  fi
  echo "== $name"
  "$exe" "$@" || status=1
done
exit "$status"
