#!/bin/sh
# Builds a fuzz target with clang and runs it for a bounded time:
# fuzz/run.sh [SECONDS] [TARGET] (30 seconds and the convert target by default; TARGET
# code_page goes through every ANSI code page). Inputs it finds go to a temporary folder,
# not into fuzz/corpus; an input that breaks a property is kept in the build folder, as
# crash-*.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build="${NIVRA_FUZZ_BUILD:-$here/../build-fuzz}"
seconds="${1:-30}"
target="${2:-convert}"

cmake -S "$here/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DNIVRA_BUILD_FUZZERS=ON -DNIVRA_BUILD_TESTS=OFF \
  -DNIVRA_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target "nivra_fuzz_$target"

found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
corpus="$here/corpus"
[ "$target" = convert ] || corpus=""
"$build/fuzz/nivra_fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$build/" "$found" $corpus
