#!/usr/bin/env bash
# Builds every release file into build-release/: the Debian package, the two Linux programs
# linked statically (they need no C++ runtime where they run), and the Windows programs as
# a 32-bit and a 64-bit .zip. Each static program is checked in a folder that holds
# nothing else (a chroot, when run as root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-release
"$top/scripts/deps.sh"
mkdir -p "$out"

build() {
  local dir=$1
  shift
  echo "=== Building $dir"
  cmake -S "$top" -B "$out/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIVRA_BUILD_TESTS=OFF \
    -DNIVRA_BUILD_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$out/$dir"
}
pack() {
  (cd "$out/$1" && cpack -G "$2" -B "$out/$1/package" >/dev/null)
  cp "$out/$1"/package/nivra[-_]*."${2,,}" "$out/"
}

build deb
pack deb DEB

build static -DNIVRA_STATIC=ON
for p in nivra-sign nivra-unsign; do
  strip -o "$out/$p" "$out/static/$p"
  if ldd "$out/$p" >/dev/null 2>&1; then
    echo "release: $p is linked dynamically" >&2
    exit 1
  fi
done
if [ "$(id -u)" = 0 ]; then
  bare=$(mktemp -d)
  trap 'rm -rf "$bare"' EXIT
  cp "$out/nivra-sign" "$out/nivra-unsign" "$bare/"
  printf 'caf\xe9\n' > "$bare/a.c"
  chroot "$bare" /nivra-sign
  chroot "$bare" /nivra-unsign
  [ "$(od -An -tx1 "$bare/a.c")" = " 63 61 66 e9 0a" ] || { echo "release: the static programs failed in a bare chroot" >&2; exit 1; }
  echo "The static programs ran in a chroot that holds nothing but them and a source."
fi

for arch in i686 x86_64; do
  if command -v "$arch-w64-mingw32-g++" >/dev/null 2>&1; then
    build "win-$arch" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/$arch-w64-mingw32.cmake"
    pack "win-$arch" ZIP
  else
    echo "release: no $arch-w64-mingw32-g++ (.ci/install-windows-tools.sh installs it): no $arch .zip" >&2
  fi
done

echo "=== Release files in $out:"
(cd "$out" && ls -l nivra_*.deb nivra-sign nivra-unsign nivra-*.zip 2>/dev/null)
