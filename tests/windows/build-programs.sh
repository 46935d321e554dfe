#!/bin/sh
# Cross-builds the Windows programs with the toolchain file, as the README tells, into
# OUT, and the test helper beside them, linked with the programs' text code. Exit 77
# (skipped) without the cross compiler.
# Usage: build-programs.sh SOURCE_DIR OUT CMAKE GENERATOR
set -e
src=$1 out=$2 cmake=$3 generator=$4
if ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1; then
  echo "SKIP: i686-w64-mingw32-g++ not found (Debian package g++-mingw-w64-i686)"
  exit 77
fi
"$cmake" -S "$src" -B "$out" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/i686-w64-mingw32.cmake"
"$cmake" --build "$out" --parallel
i686-w64-mingw32-g++ -std=c++20 -O2 -Wall -Wextra -municode -static -s -I"$src/src" \
  -o "$out/helper.exe" \
  "$src/tests/windows/helper.cpp" "$out/libnivra_text.a"
