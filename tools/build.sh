#!/usr/bin/env bash
# Builds both programs, the packer and the demo setup file dist/Vorlasta-Setup.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build-mingw-libs.sh
# Windows first: the host packer carries the setup program and the launcher it built.
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host

mkdir -p dist
build/host/bin/vorlasta-pack --payload build/windows/demo-payload --output dist/Vorlasta-Setup.exe
echo
echo "Built:"
for f in build/windows/bin/Vorlasta-Setup.exe build/windows/bin/Vorlasta.exe build/windows/bin/vorlasta-pack.exe \
         build/host/bin/vorlasta-pack \
         dist/Vorlasta-Setup.exe; do
  printf '  %-40s %9d bytes  sha256 %s\n' "$f" "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -d' ' -f1)"
done
