#!/usr/bin/env bash
# Builds everything, then runs every test: the host tests of the packer, the
# Windows unit, end-to-end and static tests under Wine, the host tests again
# under ASan and UBSan, and each fuzz target for a bounded number of inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
status=0
ctest --preset host || status=1
ctest --preset windows || status=1
# The sanitizers are in the Linux build only: the Windows build's rows ran above.
{ cmake --preset host-asan >/dev/null && cmake --build --preset host-asan && ctest --preset host-asan -E /Windows; } || status=1
tools/fuzz.sh --runs 5000 || status=1
exit $status
