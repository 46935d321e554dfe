#!/bin/sh
# Makes the Wine prefix that the Windows tests share, once. Exit 77 (skipped) without Wine.
# Usage: wine-prefix.sh PREFIX
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIP: wine not found (Debian packages wine and wine32, after dpkg --add-architecture i386)"
  exit 77
fi
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 wineboot -i || { echo "wineboot failed"; exit 1; }
fi
timeout 60 wineserver -w
