#!/bin/sh
# Installs the cross toolchain and Wine that build and test the Windows programs.
# Run as root. Does nothing when they are present; when they cannot be installed it
# says so in one line and still exits 0, so that everything else runs.

have() { command -v "$1" >/dev/null 2>&1; }

if have i686-w64-mingw32-g++ && have x86_64-w64-mingw32-g++ && have i686-w64-mingw32-objdump && have wine &&
   dpkg -s wine32:i386 >/dev/null 2>&1; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
# A mirror that fails one list (one architecture, mid-sync) leaves the others usable.
apt-get update -q >/dev/null || echo "install-windows-tools: apt-get update failed in part; installing from the package lists there are" >&2
# The cross toolchain first and on its own: it needs no i386 list, and builds and checks
# the Windows programs even where Wine cannot be installed.
if apt-get install -y -q g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 >/dev/null; then
  echo "install-windows-tools: mingw-w64 $(i686-w64-mingw32-g++ -dumpversion)"
else
  echo "!!! install-windows-tools: COULD NOT INSTALL g++-mingw-w64-i686: the Windows tests will be skipped !!!"
fi
if apt-get install -y -q wine wine32:i386 wine64 >/dev/null; then
  echo "install-windows-tools: $(wine --version)"
else
  echo "!!! install-windows-tools: COULD NOT INSTALL wine32: the tests that run the Windows programs will be skipped !!!"
fi
exit 0
