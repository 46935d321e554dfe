#!/bin/sh
# Installs what the file-system tests (reliability.file_systems) need to make and mount
# small images: XFS and btrfs tools, NTFS through ntfs-3g, exFAT through exfat-fuse (and
# exfatprogs to make one), FAT through fusefat (and dosfstools to make one). ext4 and
# overlayfs need nothing beyond the base system. Mounting needs root and loop devices.
# Run as root. Does nothing when they are present; when some cannot be installed it says so
# in one line and still exits 0 (the file systems that need them are then skipped, saying why).

have() { command -v "$1" >/dev/null 2>&1; }

if have mkfs.xfs && have mkfs.btrfs && have mkntfs && have ntfs-3g && have mkfs.exfat &&
   have mount.exfat-fuse && have mkfs.vfat && have fusefat; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || echo "install-filesystem-tools: apt-get update failed in part; installing from the package lists there are" >&2
for set in "xfsprogs" "btrfs-progs" "ntfs-3g" "exfat-fuse exfatprogs" "fusefat dosfstools"; do
  # shellcheck disable=SC2086
  if apt-get install -y -q --no-install-recommends $set >/dev/null 2>&1; then
    echo "install-filesystem-tools: installed $set"
  else
    echo "!!! install-filesystem-tools: COULD NOT INSTALL $set: the file systems that need it will be skipped !!!"
  fi
done
exit 0
