#!/bin/sh
# Builds code_page_dump.exe into OUT, makes a fresh Wine prefix there for this run alone,
# and runs TEST (code_pages_test.cpp) against it. Exit 77 (skipped) without the tools.
# Usage: code-pages.sh HERE OUT TEST
here=$1 out=$2 test=$3
if ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1; then
  echo "SKIP: i686-w64-mingw32-g++ not found (Debian package g++-mingw-w64-i686)"
  exit 77
fi
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIP: wine not found (Debian packages wine and wine32, after dpkg --add-architecture i386)"
  exit 77
fi
set -e
mkdir -p "$out"
i686-w64-mingw32-g++ -O2 -Wall -Wextra -municode -static -s -o "$out/code_page_dump.exe" \
  "$here/code_page_dump.cpp"
prefix="$out/wineprefix-$$"
rm -rf "$prefix"
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || :; rm -rf "$prefix"' EXIT
sh "$here/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
NIVRA_CODE_PAGE_DUMP="$out/code_page_dump.exe" "$test"
