#!/usr/bin/env bash
# Builds nivra-sign, runs it on a copy of the sample tree, and shows what changed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
echo "Building nivra-sign in build/ (about a minute the first time on 2 cores):"
cmake -S "$top" -B "$top/build" -G Ninja -DNIVRA_BUILD_TESTS=OFF -DNIVRA_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$top/build" --target nivra-sign

demo=$(mktemp -d "${TMPDIR:-/tmp}/nivra-demo.XXXXXX")
cp -R "$top/examples/sample-tree/." "$demo/"
cp "$top/build/nivra-sign" "$demo/"

show() {
  for f in main.c include/firmado.h include/plantilla.hpp; do
    printf '  %-22s ' "$f"
    head -c 12 "$demo/$f" | od -An -tx1 | tr -s ' ' | tr -d '\n'
    command -v file >/dev/null && printf '   (%s)' "$(file -b "$demo/$f" | cut -d, -f1-2)"
    echo
  done
}

echo "Sample tree copied to $demo. Before:"
show
echo "Running $demo/nivra-sign:"
status=0
(cd / && "$demo/nivra-sign") || status=$?
echo "Exit status $status. After:"
show
echo "Backups kept:"
(cd "$demo" && find . -name '*.OLD' | sort | sed 's/^/  /')
