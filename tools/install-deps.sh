#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ g++-mingw-w64-x86-64 libz-mingw-w64-dev  # compilers and build
  dpkg-dev make tcl                                                 # the Windows packer's libraries, from source
  googletest libarchive-dev zlib1g-dev libsqlite3-dev libssl-dev libdeflate-dev zip  # tests, packer (libssl-dev: its Linux cryptography; zip: the tests zip payloads)
  wine64 xvfb icoutils                                              # running and checking the programs
  osslsigncode openssl                                              # signing setup files
  sqlite3 time                                                      # tools/bench-pack.sh
  clang libfuzzer-14-dev libclang-rt-14-dev                         # fuzzing, sanitizer builds
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
