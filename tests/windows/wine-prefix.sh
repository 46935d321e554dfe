#!/bin/sh
# Makes the Wine prefix that the Windows tests share, once, and BIN/wine for the Wine that
# runs the programs built here. Exit 77 (skipped) without Wine.
# Usage: wine-prefix.sh PREFIX BIN
. "$(dirname "$0")/wine-arch.sh"
if [ -z "$WIN_TRIPLET" ]; then
  echo "SKIP: no Wine that runs here (Debian packages wine and wine32, after dpkg --add-architecture i386; or wine64)"
  exit 77
fi
wine_bin "$2"
export PATH="$2:$PATH" WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 wineboot -i || { echo "wineboot failed"; exit 1; }
fi
timeout 60 wineserver -w
