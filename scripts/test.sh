#!/usr/bin/env bash
# Builds nivra with its tests and benchmarks, and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" test
cmake -S "$top" -B "$top/build" -G Ninja -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$top/build"
if ! ctest --test-dir "$top/build" --output-on-failure --no-tests=error -j2 | tee "$top/build/ctest.out"; then
  # A long test's output scrolls its failures far from the end: say them again, last.
  echo "=== What the failed tests reported (from build/Testing/Temporary/LastTest.log):"
  grep -a '^\[  FAILED  \] .*ms)$' "$top/build/Testing/Temporary/LastTest.log" | head -n 8 || true
  grep -a -A7 ': Failure$' "$top/build/Testing/Temporary/LastTest.log" | head -n 28 || true
  grep -a 'tests passed' "$top/build/ctest.out" || true
  exit 1
fi
