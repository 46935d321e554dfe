#!/bin/sh
# Installs sshfs, FUSE and an ssh server, which the network share tests
# (tests/reliability/share.sh) need; bindfs, a user-space file system without an atomic
# exchange of two names; and strace, with which tests stop a run after a chosen system call.
# Run as root. Does nothing when they are present; when they cannot be installed it says so
# in one line and still exits 0, so that everything else runs (the tests that need them
# then skip, saying why).

have() { command -v "$1" >/dev/null 2>&1; }

if have sshfs && have fusermount3 && have ssh-keygen && [ -x /usr/sbin/sshd ] && have bindfs &&
   have strace; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if apt-get update -q >/dev/null &&
   apt-get install -y -q sshfs fuse3 openssh-server bindfs strace >/dev/null; then
  echo "install-share-tools: $(sshfs --version 2>&1 | head -1), $(ssh -V 2>&1), $(bindfs --version 2>&1 | head -1), $(strace -V | head -1)"
else
  echo "!!! install-share-tools: COULD NOT INSTALL sshfs / fuse3 / openssh-server / bindfs / strace: the network share, user-space file system and stopped-run tests will be skipped !!!"
fi
[ -c /dev/fuse ] || echo "!!! install-share-tools: NO /dev/fuse: the network share tests will be skipped !!!"
exit 0
