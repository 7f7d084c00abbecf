#!/usr/bin/env bash
# Runs a Windows test program in the test run's Wine prefix and display.
#   wine-run.sh <state dir> <program.exe> [arguments...]
set -uo pipefail
state=$1
shift
# shellcheck disable=SC1091
source "$state/env"
# Wine's helper processes (services, the desktop) outlive the program and would
# keep ctest's output pipe open, so the output goes through a file.
out=$(mktemp "$state/run.XXXXXX")
/usr/lib/wine/wine64 "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit "$status"
