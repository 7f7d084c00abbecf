#!/usr/bin/env bash
# Signs packed setup files the way a vendor does, with a throw-away
# self-signed certificate, and checks what osslsigncode says of them.
#   sign-test-setups.sh <packer> <packed dir>   (after pack-test-setups.sh)
set -euo pipefail
packer=$1 dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Morvenhale test signing" 2>/dev/null
sign() { osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n Vorlasta -h sha256 -in "$1" -out "$2" >/dev/null; }
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }

sign "$dir/chain-setup.exe" "$dir/signed-setup.exe"
verify "$dir/signed-setup.exe" || { cat "$work/verify.log"; echo "FAIL: the signed setup file does not verify"; exit 1; }
echo "signed-setup.exe verifies"

# One flipped payload byte must break the signature.
cp "$dir/signed-setup.exe" "$work/tampered.exe"
offset=$(( $(stat -c %s "$dir/Vorlasta-Setup.image") + 100 ))
byte=$(od -An -tu1 -j "$offset" -N1 "$work/tampered.exe" | tr -d ' ')
printf "$(printf '\\%03o' $(( (byte + 1) % 256 )))" | dd of="$work/tampered.exe" bs=1 seek="$offset" conv=notrunc status=none
if verify "$work/tampered.exe"; then
  echo "FAIL: a setup file with a flipped payload byte still verifies"
  exit 1
fi
echo "a flipped payload byte breaks the signature"

# A damaged trailer, then signed: the setup must still call it damaged.
cp "$dir/chain-setup.exe" "$work/damaged.exe"
size=$(stat -c %s "$work/damaged.exe")
printf 'X' | dd of="$work/damaged.exe" bs=1 seek=$(( size - 1 )) conv=notrunc status=none
sign "$work/damaged.exe" "$dir/signed-damaged.exe"
echo "signed-damaged.exe made"

"$packer" inspect --skip-interpreter-checks "$dir/signed-setup.exe" | tee "$work/inspect.log"
grep -q 'signed: *yes' "$work/inspect.log" || { echo "FAIL: inspect does not see the signature"; exit 1; }
