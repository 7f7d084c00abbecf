#!/usr/bin/env bash
# Builds everything, then runs every test: the host tests of the packer and
# the Windows unit, end-to-end and static tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
status=0
ctest --preset host || status=1
ctest --preset windows || status=1
exit $status
