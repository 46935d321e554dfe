#!/bin/sh
# One folder shared twice over sshfs from an sshd of its own on 127.0.0.1: two mounts of
# the same folder behave like two machines on one network share.
#
# Usage: share.sh up STATE     makes STATE/export and mounts it at STATE/a and STATE/b
#        share.sh down STATE   unmounts both, stops the sshd and removes STATE
# Run as root. "up" exits 77 and prints the reason when this machine cannot host the
# mounts; it touches no system configuration (key, host key and sshd_config live in STATE).

set -u
cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 up|down STATE" >&2; exit 2; }

skip() { echo "SKIP: $*"; exit 77; }

down() {
  for m in "$state/a" "$state/b"; do
    if mountpoint -q "$m" 2>/dev/null; then
      fusermount3 -u "$m" 2>/dev/null || fusermount3 -uz "$m" 2>/dev/null || umount -l "$m"
    fi
  done
  if [ -f "$state/sshd.pid" ]; then
    kill "$(cat "$state/sshd.pid")" 2>/dev/null
  fi
  rm -rf "$state"
}

if [ "$cmd" = down ]; then down; exit 0; fi
[ "$cmd" = up ] || { echo "usage: $0 up|down STATE" >&2; exit 2; }

[ "$(id -u)" = 0 ] || skip "not root: an sshd of its own and FUSE mounts need root"
[ -c /dev/fuse ] || skip "no /dev/fuse: this machine cannot host a FUSE mount"
for tool in sshfs fusermount3 ssh ssh-keygen /usr/sbin/sshd; do
  command -v "$tool" >/dev/null 2>&1 ||
    skip "$tool not found (Debian packages sshfs, fuse3, openssh-server)"
done

rm -rf "$state"
mkdir -p "$state/export" "$state/a" "$state/b" || skip "cannot make $state"
chmod 700 "$state"
# sshd refuses to start without its privilege separation folder.
mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$state/key" || skip "ssh-keygen failed"
ssh-keygen -q -t ed25519 -N '' -f "$state/host_key" || skip "ssh-keygen failed"
cp "$state/key.pub" "$state/authorized_keys"

# A free port: sshd is tried on random ports until one of them listens.
started=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  port=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 30000 ))
  cat >"$state/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $state/host_key
PidFile $state/sshd.pid
AuthorizedKeysFile $state/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
  rm -f "$state/sshd.pid"
  /usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log" || continue
  for wait in 1 2 3 4 5 6 7 8 9 10; do
    [ -s "$state/sshd.pid" ] && break
    sleep 0.1
  done
  if [ -s "$state/sshd.pid" ] && kill -0 "$(cat "$state/sshd.pid")" 2>/dev/null; then
    started=yes
    break
  fi
done
if [ -z "$started" ]; then
  cat "$state/sshd.log" 2>/dev/null
  down
  skip "sshd did not start on 127.0.0.1"
fi

for m in a b; do
  if ! sshfs -p "$port" \
      -o IdentityFile="$state/key" -o BatchMode=yes -o StrictHostKeyChecking=no \
      -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
      "root@127.0.0.1:$state/export" "$state/$m"; then
    down
    skip "sshfs could not mount 127.0.0.1:$state/export"
  fi
done
# Whoever ran "up" may die before it runs "down" (a test killed at its time limit): then
# nothing is left mounted or running once it is gone.
owner=$PPID
(while kill -0 "$owner" 2>/dev/null; do sleep 1; done; down) </dev/null >/dev/null 2>&1 &
echo "$state/a $state/b"
