#!/bin/sh
# Builds the fuzz target with clang and runs it for a bounded time: fuzz/run.sh [SECONDS]
# (30 by default). Inputs it finds go to a temporary folder, not into fuzz/corpus; an
# input that breaks a property is kept in the build folder, as crash-*.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build="${NIVRA_FUZZ_BUILD:-$here/../build-fuzz}"
seconds="${1:-30}"

cmake -S "$here/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DNIVRA_BUILD_FUZZERS=ON -DNIVRA_BUILD_TESTS=OFF \
  -DNIVRA_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target nivra_fuzz_convert

found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
"$build/fuzz/nivra_fuzz_convert" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$build/" "$found" "$here/corpus"
