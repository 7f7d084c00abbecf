#!/usr/bin/env bash
# A volume with no room left, for the move's "full stick" row: a 1 MiB tmpfs.
# Only root can mount it; without it the folder is not there and the row is skipped.
#   full-volume.sh start|stop <folder>
set -uo pipefail
folder=$2
case "$1" in
start)
  mountpoint -q "$folder" && umount "$folder"
  mkdir -p "$folder"
  mount -t tmpfs -o size=1m vorlasta-full "$folder" 2>/dev/null || { rmdir "$folder"; echo "no full volume: not mounted"; }
  ;;
stop)
  mountpoint -q "$folder" && umount "$folder"
  rmdir "$folder" 2>/dev/null
  exit 0
  ;;
esac
