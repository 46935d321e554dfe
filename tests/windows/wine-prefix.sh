#!/bin/sh
# Makes the Wine prefix that the Windows tests share, once, and BIN/wine for the Wine that
# runs the programs built here. Exit 77 (skipped) without Wine.
# Usage: wine-prefix.sh PREFIX BIN
. "$(dirname "$0")/wine-arch.sh"
if [ -z "$WIN_TRIPLET" ]; then
  if [ -n "$WINE_ARCH_NOTE" ]; then
    echo "SKIP: $WINE_ARCH_NOTE, and no 64-bit Wine runs either (Debian package wine64)"
  else
    echo "SKIP: no Wine installed (Debian packages wine and wine32, after dpkg --add-architecture i386; or wine64)"
  fi
  exit 77
fi
wine_bin "$2"
export PATH="$2:$PATH" WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 wineboot -i || { echo "wineboot failed"; exit 1; }
fi
timeout 60 wineserver -w
