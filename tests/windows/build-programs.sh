#!/bin/sh
# Cross-builds the Windows programs with the toolchain file, as the README tells: the 32-bit
# ones into OUT/i686, and, where this machine's Wine runs only 64-bit programs, the same
# sources for x86-64 too. The build that Wine runs here, and the test helper built alike,
# go into OUT. Exit 77 (skipped) without the cross compiler.
# Usage: build-programs.sh SOURCE_DIR OUT CMAKE GENERATOR
set -e
src=$1 out=$2 cmake=$3 generator=$4
. "$src/tests/windows/wine-arch.sh"
if ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1; then
  echo "SKIP: i686-w64-mingw32-g++ not found (Debian package g++-mingw-w64-i686)"
  exit 77
fi
run=${WIN_TRIPLET:-i686-w64-mingw32}
if ! command -v "$run-g++" >/dev/null 2>&1; then
  echo "SKIP: $run-g++ not found (Debian package g++-mingw-w64-x86-64)"
  exit 77
fi
triplets=i686-w64-mingw32
[ "$run" = i686-w64-mingw32 ] || triplets="$triplets $run"
for triplet in $triplets; do
  dir=$out/${triplet%%-*}
  "$cmake" -S "$src" -B "$dir" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$triplet.cmake"
  "$cmake" --build "$dir" --parallel
done
cp "$out/${run%%-*}/nivra-sign.exe" "$out/${run%%-*}/nivra-unsign.exe" "$out/"
"$run-g++" -std=c++20 -O2 -Wall -Wextra -municode -static -s -I"$src/src" \
  -o "$out/helper.exe" \
  "$src/tests/windows/helper.cpp"
