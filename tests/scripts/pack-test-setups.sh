#!/usr/bin/env bash
# Makes setup files with the real packer for the end-to-end tests: the demo,
# and the same chain with the logging python stand-in as interpreter.
#   pack-test-setups.sh <packer> <bin dir> <demo payload dir> <output dir>
set -euo pipefail
packer=$1 bin=$2 demo=$3 out=$4
[ -x "$packer" ] || { echo "no packer at $packer: build the host tools first (tools/build.sh)" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/chain-payload/python" "$out/chain-payload/app"
cp "$bin/Vorlasta.exe" "$out/chain-payload/Vorlasta.exe"
cp "$bin/stand-ins/pythonw.exe" "$out/chain-payload/python/pythonw.exe"
printf 'write data\\app.log started\nexit 0\n' >"$out/chain-payload/app/main.py"

"$packer" --program "$bin/Vorlasta-Setup.exe" --payload "$demo" --output "$out/demo-setup.exe"
"$packer" inspect "$out/demo-setup.exe"
# The logging stand-in is no Python build (it loads no python3*.dll), and
# these tests are about the chain, not the bundle: the checks are skipped.
"$packer" --skip-interpreter-checks --program "$bin/Vorlasta-Setup.exe" --payload "$out/chain-payload" \
  --output "$out/chain-setup.exe"
cp "$bin/Vorlasta-Setup.exe" "$out/Vorlasta-Setup.image"
"$packer" inspect --skip-interpreter-checks "$out/chain-setup.exe"
