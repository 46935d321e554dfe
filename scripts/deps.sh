#!/usr/bin/env bash
# Makes sure the Debian packages needed to build (and, with "test", to test) nivra are
# present: installs them when run as root, otherwise says exactly what to install.
set -euo pipefail

need=(cmake ninja-build g++)
[ "${1:-}" = test ] && need+=(libgtest-dev libbenchmark-dev)

missing=()
for pkg in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing ${missing[*]} ..." >&2
  apt-get update -qq || echo "apt-get update failed in part; installing from the package lists there are" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
