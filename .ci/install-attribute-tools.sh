#!/bin/sh
# Installs setfacl, setfattr and chattr, with which the tests give files access lists,
# extended attributes and the immutable flag. Run as root. Does nothing when they are
# present; when they cannot be installed it says so in one line and still exits 0 (the
# tests that need them then skip, saying why).

have() { command -v "$1" >/dev/null 2>&1; }

if have setfacl && have setfattr && have chattr; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# A mirror that fails one list (one architecture, mid-sync) leaves the others usable.
apt-get update -q >/dev/null || echo "install-attribute-tools: apt-get update failed in part; installing from the package lists there are" >&2
if apt-get install -y -q acl attr e2fsprogs >/dev/null; then
  echo "install-attribute-tools: acl, attr and e2fsprogs installed"
else
  echo "!!! install-attribute-tools: COULD NOT INSTALL acl / attr / e2fsprogs: the tests of access lists, attributes and immutable files will be skipped !!!"
fi
exit 0
