#!/bin/bash
# One folder served from 127.0.0.1 and mounted twice, as two machines see one share, for
# each kind of share in the table below. All servers, keys and configuration live in STATE;
# every server listens on 127.0.0.1 only.
#
# Usage: share.sh kinds               prints the kinds of share, one a line
#        share.sh up KIND STATE       starts the servers KIND needs and mounts its folder
#                                     twice; prints "SERVER A B": the served folder itself
#                                     and the two clients' views of it
#        share.sh remount KIND STATE  mounts again a client that died (the servers go on)
#        share.sh down KIND STATE     unmounts both, stops the servers and removes STATE
# Run as root. "up" exits 77 and prints the reason when this machine cannot host KIND.
#
# The kinds: sshfs; Samba through smbnetfs; rclone mounts of an sftp remote (cache modes
# "writes" and "full") and of the Samba share ("writes"); davfs2 on rclone's WebDAV server,
# tuned for two clients ("davfs2") and with a user's default settings ("davfs2-defaults");
# s3fs on s3rver, a local S3 server (npm package). An S3 bucket is no folder: there the
# server's view is a third s3fs mount, one that caches nothing.

set -u
cmd=${1:-}
kind=${2:-}
state=${3:-}
KINDS="sshfs smbnetfs rclone-sftp-writes rclone-sftp-full rclone-smb-writes davfs2 davfs2-defaults s3fs"
PASS=Share-Pass1

usage() { echo "usage: $0 kinds | up|remount|down KIND STATE" >&2; exit 2; }
skip() { echo "SKIP: $kind: $*"; down_all; exit 77; }
have() { command -v "$1" >/dev/null 2>&1; }

if [ "$cmd" = kinds ]; then
  for k in $KINDS; do echo "$k"; done
  exit 0
fi
[ -n "$kind" ] && [ -n "$state" ] || usage
case " $KINDS " in *" $kind "*) ;; *) usage ;; esac

# A port nobody listens on yet.
free_port() {
  local p
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    p=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 30000 ))
    (echo >/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p; return; }
  done
  echo 0
}
# Waits up to 10 s for something to listen on port $1.
listening() {
  for wait in $(seq 50); do
    (echo >/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}
# Waits up to 15 s for $1 to be a mount point that answers.
mounted() {
  for wait in $(seq 75); do
    mountpoint -q "$1" 2>/dev/null && ls "$1" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

unmount() {
  local m=$1
  mountpoint -q "$m" 2>/dev/null || return 0
  case $kind in
    davfs2*) timeout 20 umount "$m" 2>/dev/null || umount -l "$m" ;;
    *) fusermount3 -u "$m" 2>/dev/null || fusermount -u "$m" 2>/dev/null ||
         fusermount3 -uz "$m" 2>/dev/null || umount -l "$m" ;;
  esac
}

# Stops whatever STATE/pids names (servers and client daemons), then removes STATE.
down_all() {
  [ -d "$state" ] || return 0
  for m in a b srv; do unmount "$state/$m"; done
  local pids=() pid
  for f in "$state"/*.pid; do
    [ -s "$f" ] && pids+=("$(cat "$f")")
  done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  gone "${pids[@]}"
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$state"
}

# Waits up to 0.5 s for the processes $@ to end.
gone() {
  for wait in 1 2 3 4 5; do
    local alive=0 pid
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive = 0 ] && return 0
    sleep 0.1
  done
  return 1
}

# --- servers -------------------------------------------------------------------------

start_sshd() {
  mkdir -p /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$state/key" || skip "ssh-keygen failed"
  ssh-keygen -q -t ed25519 -N '' -f "$state/host_key" || skip "ssh-keygen failed"
  cp "$state/key.pub" "$state/authorized_keys"
  for attempt in 1 2 3 4 5; do
    ssh_port=$(free_port)
    cat >"$state/sshd_config" <<EOF
Port $ssh_port
ListenAddress 127.0.0.1
HostKey $state/host_key
PidFile $state/sshd.pid
AuthorizedKeysFile $state/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
MaxSessions 20
MaxStartups 20:30:60
Subsystem sftp internal-sftp
EOF
    /usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log" && listening $ssh_port && return
  done
  skip "sshd did not start on 127.0.0.1: $(tail -2 "$state/sshd.log" 2>/dev/null)"
}

# Samba sharing STATE/export as "share" to root with a password of its own database (no
# system account is made or changed). For smbnetfs on port 445, as its client knows no
# other; for rclone on a free port, so that both kinds can be up at once.
start_smbd() {
  have smbd && have smbpasswd || skip "smbd not found (Debian package samba)"
  mkdir -p "$state"/samba/{run,lock,state,cache,private,ncalrpc}
  smb_port=445
  [ "$kind" = smbnetfs ] || smb_port=$(free_port)
  (echo >/dev/tcp/127.0.0.1/$smb_port) 2>/dev/null && skip "127.0.0.1:$smb_port is taken already"
  cat >"$state/samba/smb.conf" <<EOF
[global]
  netbios name = NIVRASHARE
  workgroup = WORKGROUP
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $smb_port
  disable netbios = yes
  pid directory = $state/samba/run
  lock directory = $state/samba/lock
  state directory = $state/samba/state
  cache directory = $state/samba/cache
  private dir = $state/samba/private
  ncalrpc dir = $state/samba/ncalrpc
  passdb backend = tdbsam:$state/samba/private/passdb.tdb
  log file = $state/samba/log.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  server min protocol = SMB2
[share]
  path = $state/export
  read only = no
  create mask = 0755
  directory mask = 0755
EOF
  printf '%s\n%s\n' $PASS $PASS | smbpasswd -c "$state/samba/smb.conf" -s -a root >/dev/null ||
    skip "smbpasswd could not add the share's user"
  smbd -D -s "$state/samba/smb.conf" || skip "smbd did not start"
  listening $smb_port || skip "smbd does not listen on 127.0.0.1:$smb_port"
  cat "$state"/samba/run/*.pid >"$state/smbd.pid" 2>/dev/null
}

# rclone's WebDAV server over STATE/export.
start_webdav() {
  have rclone || skip "rclone not found (Debian package rclone)"
  dav_port=$(free_port)
  setsid rclone serve webdav "$state/export" --addr 127.0.0.1:$dav_port --dir-cache-time 1s \
    --log-file "$state/webdav.log" --log-level NOTICE </dev/null >/dev/null 2>&1 &
  echo $! >"$state/webdav.pid"
  listening $dav_port || skip "rclone serve webdav did not start: $(tail -2 "$state/webdav.log")"
}

# s3rver serving the bucket "share" from files of its own under STATE/s3data.
start_s3rver() {
  s3_port=$(free_port)
  mkdir -p "$state/s3data"
  setsid s3rver -d "$state/s3data" -a 127.0.0.1 -p $s3_port --silent --configure-bucket share \
    </dev/null >"$state/s3rver.log" 2>&1 &
  echo $! >"$state/s3rver.pid"
  listening $s3_port || skip "s3rver did not start: $(tail -2 "$state/s3rver.log")"
  # Its default keys.
  echo S3RVER:S3RVER >"$state/s3-passwd"
  chmod 600 "$state/s3-passwd"
}

# --- clients: mount_KIND m (a or b) ----------------------------------------------------

mount_sshfs() {
  sshfs -p "$ssh_port" -o IdentityFile="$state/key" -o BatchMode=yes \
    -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
    "root@127.0.0.1:$state/export" "$state/$1"
}

mount_smbnetfs() {
  local home=$state/smbnetfs-$1
  mkdir -p "$home/.smb"
  cat >"$home/.smb/smbnetfs.conf" <<EOF
smb_query_browsers false
show_hidden_hosts true
auth "127.0.0.1" "WORKGROUP/root" "$PASS"
host 127.0.0.1 visible=true
EOF
  printf '[global]\n  client min protocol = SMB2\n  disable netbios = yes\n  name resolve order = host\n' \
    >"$home/.smb/smb.conf"
  chmod 600 "$home/.smb/"*
  HOME=$home smbnetfs "$state/$1" \
    -o config="$home/.smb/smbnetfs.conf",log_file="$home/smbnetfs.log" || return 1
  pgrep -n -f "smbnetfs $state/$1" >"$state/smbnetfs-$1.pid"
}

# rclone mount of REMOTE with cache mode MODE at m. Its listings are kept 3 s rather than
# 5 min (SHARE_DIR_CACHE sets another time): long enough to be stale while the other
# client works, short enough that a client sees a tree the other just wrote.
mount_rclone() {
  local m=$1 remote=$2 mode=$3
  setsid rclone --config "$state/rclone.conf" mount "$remote" "$state/$m" \
    --vfs-cache-mode "$mode" --cache-dir "$state/rclone-cache-$m" --file-perms 0755 \
    --dir-cache-time "${SHARE_DIR_CACHE:-3s}" \
    --log-file "$state/rclone-$m.log" --log-level NOTICE </dev/null >/dev/null 2>&1 &
  echo $! >"$state/rclone-$m.pid"
}

mount_davfs2() {
  local m=$1
  mkdir -p "$state/davfs-cache-$m"
  chown root:davfs2 "$state/davfs-cache-$m" 2>/dev/null
  chmod 775 "$state/davfs-cache-$m"
  # buf_size 64: with the default 16 KiB, a listing fails with EINVAL on kernels that
  # ask for 32 KiB at once. delay_upload 0: a file goes to the server at its close, not
  # 10 s later. use_locks 0: with WebDAV locks, a file the other client has read stays
  # locked, and what this client writes stays in its cache, unseen, while it is.
  # With "defaults", the only change is buf_size: WebDAV locks, and uploads 10 s after the
  # close, as a user's mount has them.
  local tuned='delay_upload 0\nuse_locks 0\n'
  [ "$kind" = davfs2-defaults ] && tuned=
  printf "cache_dir %s\nask_auth 0\nbuf_size 64\n$tuned" "$state/davfs-cache-$m" >"$state/davfs-$m.conf"
  mount.davfs "http://127.0.0.1:$dav_port/" "$state/$m" \
    -o conf="$state/davfs-$m.conf",file_mode=0755,dir_mode=0755 </dev/null >/dev/null 2>&1
}

# s3fs with its default caches; the server's view ("srv") with none, its own or the kernel's.
# s3fs keeps what it learnt of a name for 15 minutes, a name the other mount removed too
# (which it then shows with its size and no content): the clients keep it 3 s here
# (SHARE_STAT_CACHE sets another time), as the rclone mounts keep their listings.
mount_s3fs() {
  local m=$1 cache=,stat_cache_expire=${SHARE_STAT_CACHE:-3}
  [ "$m" = srv ] && cache=,max_stat_cache_size=0,entry_timeout=0,attr_timeout=0,negative_timeout=0
  s3fs share "$state/$m" -o passwd_file="$state/s3-passwd",url=http://127.0.0.1:$s3_port \
    -o use_path_request_style,umask=0022,logfile="$state/s3fs-$m.log"$cache || return 1
  pgrep -n -f "s3fs share $state/$m" >"$state/s3fs-$m.pid"
}

mount_one() {
  local m=$1
  mkdir -p "$state/$m"
  case $kind in
    sshfs) mount_sshfs "$m" ;;
    smbnetfs) mount_smbnetfs "$m" ;;
    rclone-sftp-writes) mount_rclone "$m" sftp:"$state/export" writes ;;
    rclone-sftp-full) mount_rclone "$m" sftp:"$state/export" full ;;
    rclone-smb-writes) mount_rclone "$m" smb:share writes ;;
    davfs2*) mount_davfs2 "$m" ;;
    s3fs) mount_s3fs "$m" ;;
  esac
  mounted "$state/$m"
}

# Where the served folder appears in mount m.
view() {
  case $kind in
    smbnetfs) echo "$state/$1/127.0.0.1/share" ;;
    *) echo "$state/$1" ;;
  esac
}

# The folder the server serves, or a view of it that caches nothing.
served() {
  case $kind in
    s3fs) echo "$state/srv" ;;
    *) echo "$state/export" ;;
  esac
}

# Reads what "up" wrote of the servers' ports.
load_ports() { [ -f "$state/ports" ] && . "$state/ports"; }

case $cmd in
  down) down_all; exit 0 ;;
  remount)
    load_ports
    for m in a b; do
      case $(ls "$(view $m)" 2>&1 >/dev/null) in *"not connected"*) ;; *) continue ;; esac
      {
        unmount "$state/$m"
        [ -s "$state/rclone-$m.pid" ] && kill "$(cat "$state/rclone-$m.pid")" 2>/dev/null &&
          gone "$(cat "$state/rclone-$m.pid")"
        mount_one "$m" || { echo "remount of $state/$m failed"; exit 1; }
      }
    done
    exit 0 ;;
  up) ;;
  *) usage ;;
esac

[ "$(id -u)" = 0 ] || { echo "SKIP: $kind: not root: servers of its own and mounts need root"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: $kind: no /dev/fuse: this machine cannot host a FUSE mount"; exit 77; }
rm -rf "$state"
mkdir -p "$state/export" "$state/a" "$state/b" || { echo "SKIP: $kind: cannot make $state"; exit 77; }
# davfs2 works as its own user, which must reach its cache folder here.
chmod 755 "$state"

case $kind in
  sshfs)
    for tool in sshfs fusermount3 ssh-keygen /usr/sbin/sshd; do
      have $tool || skip "$tool not found (Debian packages sshfs, fuse3, openssh-server)"
    done
    start_sshd ;;
  smbnetfs)
    have smbnetfs || skip "smbnetfs not found (Debian package smbnetfs)"
    start_smbd ;;
  rclone-sftp-*)
    have rclone || skip "rclone not found (Debian package rclone)"
    have ssh-keygen && [ -x /usr/sbin/sshd ] || skip "no sshd (Debian package openssh-server)"
    start_sshd
    printf '[sftp]\ntype = sftp\nhost = 127.0.0.1\nport = %s\nuser = root\nkey_file = %s\nshell_type = unix\ndisable_hashcheck = true\n' \
      "$ssh_port" "$state/key" >"$state/rclone.conf" ;;
  rclone-smb-writes)
    have rclone || skip "rclone not found (Debian package rclone)"
    rclone help backend smb >/dev/null 2>&1 || skip "this rclone has no SMB backend"
    start_smbd
    printf '[smb]\ntype = smb\nhost = 127.0.0.1\nport = %s\nuser = root\npass = %s\n' \
      "$smb_port" "$(rclone obscure $PASS)" >"$state/rclone.conf" ;;
  davfs2*)
    have mount.davfs || skip "mount.davfs not found (Debian package davfs2)"
    getent group davfs2 >/dev/null || skip "no davfs2 group (Debian package davfs2)"
    start_webdav ;;
  s3fs)
    have s3fs || skip "s3fs not found (Debian package s3fs)"
    have s3rver || skip "s3rver not found (npm package s3rver, see .ci/install-share-tools.sh)"
    start_s3rver ;;
esac
echo "ssh_port=${ssh_port:-} smb_port=${smb_port:-} dav_port=${dav_port:-} s3_port=${s3_port:-}" >"$state/ports"

mounts="a b"
[ "$kind" = s3fs ] && mounts="a b srv"
for m in $mounts; do
  mount_one $m || skip "$m could not be mounted: $(tail -3 "$state"/*-$m.log "$state/$m"*.log 2>/dev/null | tail -3)"
done
for m in a b; do
  ls "$(view $m)" >/dev/null 2>&1 || skip "$(view $m) cannot be listed"
done

# Whoever ran "up" may die before it runs "down" (a test killed at its time limit): then
# nothing is left mounted or running once it is gone.
owner=$PPID
(while kill -0 "$owner" 2>/dev/null; do sleep 1; done; down_all) </dev/null >/dev/null 2>&1 &
echo "$(served) $(view a) $(view b)"
