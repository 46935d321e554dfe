#!/bin/sh
# Which build wine-arch.sh picks, and the reason it gives, for the Wines a machine may
# have: stand-ins on PATH answer `--version` as each would.
here=$(cd "$(dirname "$0")" && pwd)
fake=$(mktemp -d) && trap 'rm -rf "$fake"' EXIT
failed=0
# case: what `wine --version` prints and its status; the triplet and the note expected
check() {
  mkdir -p "$fake/$1"
  printf '#!/bin/sh\n%s\n' "$2" > "$fake/$1/wine"
  printf '#!/bin/sh\necho wine-8.0\n' > "$fake/$1/wine64"
  chmod +x "$fake/$1/wine" "$fake/$1/wine64"
  got=$(PATH="$fake/$1:$PATH" sh -c ". '$here/wine-arch.sh' >/dev/null; echo \"\$WIN_TRIPLET|\$WINE_ARCH_NOTE\"")
  case $got in
    "$3|"*"$4"*) ;;
    *) echo "FAIL $1: got '$got', want '$3' and a note with '$4'"; failed=1 ;;
  esac
}
check wine32 'echo wine-8.0' i686-w64-mingw32 ''
check no-wine32 'echo "it looks like wine32 is missing, you should install it." >&2; echo wine-8.0' \
  x86_64-w64-mingw32 'no 32-bit Wine is installed'
check no-emulation 'echo "Exec format error" >&2; exit 126' x86_64-w64-mingw32 'kernel'
exit $failed
