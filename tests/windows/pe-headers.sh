#!/bin/sh
# Checks the PE headers of the Windows programs in DIR: PE32 for i386, console subsystem
# 5.01, importing KERNEL32.dll, msvcrt.dll and ADVAPI32.dll (access lists) and nothing else.
# Usage: pe-headers.sh DIR
if ! command -v i686-w64-mingw32-objdump >/dev/null 2>&1; then
  echo "SKIP: i686-w64-mingw32-objdump not found (Debian package binutils-mingw-w64-i686)"
  exit 77
fi
status=0
expect() {  # expect PROGRAM WHAT GOT WANTED
  if [ "$3" != "$4" ]; then echo "$1: $2 is '$3', not '$4'"; status=1; fi
}
for program in nivra-sign nivra-unsign; do
  exe="$1/$program.exe"
  if [ ! -f "$exe" ]; then echo "SKIP: $exe was not built"; exit 77; fi
  headers=$(i686-w64-mingw32-objdump -p "$exe") || exit 1
  field() { echo "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }
  expect $program "format" "$(echo "$headers" | sed -n 's/.*file format //p')" "pei-i386"
  expect $program "Magic" "$(field Magic)" "010b"
  expect $program "Subsystem" "$(field Subsystem)" "00000003"
  version="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
  expect $program "subsystem version" "$version" "5.1"
  dlls=$(echo "$headers" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
  expect $program "imports" "$dlls" "ADVAPI32.dll KERNEL32.dll msvcrt.dll "
done
[ $status = 0 ] && echo "PE headers as expected"
exit $status
