#!/bin/sh
# Installs the Debian packages that the tests of the manual pages and the packages need:
# groff (rendering the pages), dpkg-deb (reading the .deb), dpkg-shlibdeps (the package's
# dependencies) and lintian (checking the package). Does nothing when all are there; needs
# root otherwise.
set -eu

missing=""
command -v groff >/dev/null 2>&1 || missing="$missing groff-base"
command -v dpkg-deb >/dev/null 2>&1 || missing="$missing dpkg"
command -v dpkg-shlibdeps >/dev/null 2>&1 || missing="$missing dpkg-dev"
command -v lintian >/dev/null 2>&1 || missing="$missing lintian"
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-packaging-tools: missing:$missing; run as root, or: apt-get install$missing" >&2
  exit 1
fi
apt-get update -qq || echo "install-packaging-tools: apt-get update failed in part; installing from the package lists there are" >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
