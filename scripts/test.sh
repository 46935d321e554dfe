#!/usr/bin/env bash
# Builds nivra with its tests and benchmarks, and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" test
cmake -S "$top" -B "$top/build" -G Ninja -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$top/build"
ctest --test-dir "$top/build" --output-on-failure --no-tests=error -j2
