#!/bin/sh
# Builds code_page_dump.exe into OUT, makes a fresh Wine prefix there for this run alone,
# and runs TEST (code_pages_test.cpp) against it. Exit 77 (skipped) without the tools.
# Usage: code-pages.sh HERE OUT TEST
here=$1 out=$2 test=$3
. "$here/wine-arch.sh"
if [ -z "$WIN_TRIPLET" ]; then
  echo "SKIP: no Wine that runs here (Debian packages wine and wine32, after dpkg --add-architecture i386; or wine64)"
  exit 77
fi
if ! command -v $WIN_TRIPLET-g++ >/dev/null 2>&1; then
  echo "SKIP: $WIN_TRIPLET-g++ not found (Debian package g++-mingw-w64)"
  exit 77
fi
set -e
mkdir -p "$out"
$WIN_TRIPLET-g++ -O2 -Wall -Wextra -municode -static -s -o "$out/code_page_dump.exe" \
  "$here/code_page_dump.cpp"
prefix="$out/wineprefix-$$"
rm -rf "$prefix"
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || :; rm -rf "$prefix"' EXIT
sh "$here/wine-prefix.sh" "$prefix" "$out/bin"
export PATH="$out/bin:$PATH"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One server for the runs of every locale, until the end: a run that starts while an idle
# server exits loses its connection ("recvmsg: Connection reset by peer").
wineserver -p
NIVRA_CODE_PAGE_DUMP="$out/code_page_dump.exe" "$test"
