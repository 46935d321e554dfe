# Sourced by the Windows test scripts: which build of the Windows programs this machine's
# Wine can run, and a folder whose `wine` runs it.
#   WIN_TRIPLET  i686-w64-mingw32, or x86_64-w64-mingw32 where Wine runs no 32-bit programs
#                (no 32-bit Wine installed, or a kernel with its 32-bit emulation switched
#                off): the same sources built for x86-64 then run under the 64-bit Wine
#   WINE_ARCH_NOTE  why, when it is x86-64
#   wine_bin DIR makes DIR/wine, DIR/wineboot and DIR/wineserver for that Wine
WIN_TRIPLET=
WINE_LOADER_FOR_TESTS=
WINE_ARCH_NOTE=
if command -v wine >/dev/null 2>&1; then
  # Debian's `wine` falls back to the 64-bit loader, and only says so, where wine32 is
  # missing.
  if said=$(WINEDEBUG= wine --version 2>&1) && ! printf '%s' "$said" | grep -q 'wine32 is missing'; then
    WIN_TRIPLET=i686-w64-mingw32 WINE_LOADER_FOR_TESTS=$(command -v wine)
  else
    case $said in
      *'wine32 is missing'*) WINE_ARCH_NOTE="no 32-bit Wine is installed (Debian: wine32:i386)" ;;
      *) WINE_ARCH_NOTE="Wine runs no 32-bit programs here (the kernel's 32-bit emulation is off)" ;;
    esac
    for w in "$(command -v wine64 2>/dev/null)" /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
      if [ -n "$w" ] && [ -x "$w" ] && "$w" --version >/dev/null 2>&1; then
        WIN_TRIPLET=x86_64-w64-mingw32 WINE_LOADER_FOR_TESTS=$w
        echo "NOTE: $WINE_ARCH_NOTE: the Windows tests run the programs built for x86-64" \
             "under the 64-bit Wine ($w)"
        break
      fi
    done
  fi
fi

wine_bin() {
  mkdir -p "$1"
  printf '#!/bin/sh\nexec "%s" "$@"\n' "$WINE_LOADER_FOR_TESTS" > "$1/wine"
  printf '#!/bin/sh\nexec "%s" wineboot "$@"\n' "$WINE_LOADER_FOR_TESTS" > "$1/wineboot"
  chmod +x "$1/wine" "$1/wineboot"
}
