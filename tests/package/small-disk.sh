#!/usr/bin/env bash
# Mounts (or unmounts) a 64 KiB tmpfs for the disk-full extraction test, which sees it through Wine's Z:.
# Mounting needs root; where it is not allowed the test finds no marker file and skips itself.
set -u
action=${1:?mount or unmount} dir=${2:?directory}
case $action in
mount)
  mkdir -p "$dir"
  mountpoint -q "$dir" && umount "$dir"
  if mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
    touch "$dir/.small-disk"
    echo "64 KiB tmpfs mounted at $dir"
  else
    echo "cannot mount a tmpfs at $dir (not root?); the disk-full test will skip"
  fi
  ;;
unmount)
  if mountpoint -q "$dir"; then umount "$dir" || exit 1; fi
  rmdir "$dir" 2>/dev/null || true
  ;;
*) echo "usage: $0 mount|unmount DIR" >&2; exit 2 ;;
esac
exit 0
