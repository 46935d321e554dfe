#!/bin/sh
# Installs what the network share tests (tests/reliability/share.sh) need: FUSE, an ssh
# server and sshfs; Samba and smbnetfs; rclone (sftp and SMB mounts, and its WebDAV
# server); davfs2; s3fs, and s3rver to serve it (from npm: Debian ships no S3 server).
# Also bindfs, a user-space file system without an atomic exchange of two names, and
# strace, with which tests stop a run after a chosen system call.
# Run as root. Does nothing when they are present; when some cannot be installed it says so
# in one line and still exits 0, so that everything else runs (the tests that need them
# then skip, saying why).

have() { command -v "$1" >/dev/null 2>&1; }

if have sshfs && have fusermount3 && have ssh-keygen && [ -x /usr/sbin/sshd ] && have bindfs &&
   have strace && have smbd && have smbpasswd && have smbnetfs && have rclone &&
   have mount.davfs && have s3fs && have s3rver; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || echo "install-share-tools: apt-get update failed in part; installing from the package lists there are" >&2
for set in "sshfs fuse3 openssh-server" "bindfs strace" "samba smbnetfs" "rclone" "davfs2" "s3fs"; do
  # shellcheck disable=SC2086
  if apt-get install -y -q --no-install-recommends $set >/dev/null 2>&1; then
    echo "install-share-tools: installed $set"
  else
    echo "!!! install-share-tools: COULD NOT INSTALL $set: the tests that need it will be skipped !!!"
  fi
done
# An S3 server on 127.0.0.1 for s3fs, from the npm registry: Node.js's own npm where it
# came with Node.js, else Debian's.
if ! have s3rver; then
  have npm || apt-get install -y -q --no-install-recommends npm >/dev/null 2>&1
  if have npm && npm install -g --no-audit --no-fund s3rver@3.7.1 >/dev/null 2>&1; then
    echo "install-share-tools: installed s3rver"
  else
    echo "!!! install-share-tools: COULD NOT INSTALL s3rver (npm): the s3fs tests will be skipped !!!"
  fi
fi
# The packages may start the system's Samba; the tests start their own on 127.0.0.1:445.
if [ -x /usr/sbin/smbd ] && pgrep -x smbd >/dev/null 2>&1; then
  service smbd stop >/dev/null 2>&1
fi
[ -c /dev/fuse ] || echo "!!! install-share-tools: NO /dev/fuse: the network share tests will be skipped !!!"
exit 0
