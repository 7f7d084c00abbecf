#!/usr/bin/env bash
# Starts or stops the test environment of one test run: a fresh Wine prefix
# with our stand-ins installed, and an Xvfb display for windows and boxes.
#   wine-env.sh start <state dir> <folder with the built stand-ins>
#   wine-env.sh stop  <state dir>
set -euo pipefail
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
action=$1
state=$2

stop() {
  if [ -f "$state/env" ]; then
    # shellcheck disable=SC1091
    source "$state/env"
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if mountpoint -q "$state/full"; then umount "$state/full"; fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
}

case "$action" in
start)
  bin=$3
  stop
  rm -rf "$state"
  mkdir -p "$state"
  # Xvfb picks a free display itself and writes its number to fd 3.
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
  echo $! >"$state/xvfb.pid"
  for _ in $(seq 1 100); do [ -s "$state/display" ] && break; sleep 0.1; done
  [ -s "$state/display" ] || { echo "Xvfb did not start" >&2; cat "$state/xvfb.log" >&2; exit 1; }
  # A home of the run's own: Wine links Desktop and the other user folders
  # to it, so no run shares shortcuts with another or with the real home.
  mkdir -p "$state/home"
  cat >"$state/env" <<ENV
export HOME="$state/home"
export WINEPREFIX="$state/prefix"
export WINEARCH=win64
# A locale Wine reads as English: ANSI code page 1252, whatever the host's.
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=":$(head -n1 "$state/display")"
export VORLASTA_FULL_VOLUME="$state/full"
ENV
  # shellcheck disable=SC1091
  source "$state/env"
  "$WINE" wineboot -i >/dev/null 2>&1
  "$WINESERVER" -w
  # A full volume for the move's refusals; only root can mount it (else no folder, no row).
  mkdir "$state/full" && { mount -t tmpfs -o size=1m vorlasta-full "$state/full" 2>/dev/null || rmdir "$state/full"; }
  # Keep one server up for the whole run so each program starts quickly.
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
  system32="$WINEPREFIX/drive_c/windows/system32"
  # Wine's powershell.exe does nothing and it has no tar.exe: ours stand in.
  if [ -d "$bin/stand-ins" ]; then
    cp "$bin/stand-ins/powershell.exe" "$system32/WindowsPowerShell/v1.0/powershell.exe"
    cp "$bin/stand-ins/tar.exe" "$system32/tar.exe"
  fi
  echo "Wine prefix $WINEPREFIX on display $DISPLAY"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: $0 start <state dir> <bin dir> | stop <state dir>" >&2
  exit 2
  ;;
esac
