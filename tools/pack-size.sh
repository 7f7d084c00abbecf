#!/usr/bin/env bash
# Prints the payload vorlasta-pack writes beside `zip -6 -X` of the same
# folder, in one run: 70,000 tiny files, and a bundle of this machine's Python
# libraries and icons (thousands of files, text and binary). Figures only:
# nothing here fails because a figure is poor.
#   tools/pack-size.sh [vorlasta-pack]      (default build/host/bin/vorlasta-pack)
set -euo pipefail
cd "$(dirname "$0")/.."
packer=${1:-$PWD/build/host/bin/vorlasta-pack}
[ -x "$packer" ] || { echo "no packer at $packer: build the host tools first" >&2; exit 1; }
command -v zip >/dev/null || { echo "zip is not installed (apt-get install zip)" >&2; exit 1; }
work=$(mktemp -d /tmp/vorlasta-pack-size.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf 'MZ' >"$work/program.exe"

required() {  # the three files every payload needs
  mkdir -p "$1/python" "$1/app"
  printf 'launcher' >"$1/Vorlasta.exe"
  printf 'interpreter' >"$1/python/pythonw.exe"
  printf 'import shop\n' >"$1/app/main.py"
}

tiny=$work/tiny
required "$tiny"
for p in $(seq -w 0 69); do
  mkdir -p "$tiny/app/p$p"
  for m in $(seq -w 0 999); do printf 'x = %s\n' "$p$m" >"$tiny/app/p$p/m$m.py"; done
done

bundle=$work/bundle
required "$bundle"
for source in /usr/lib/python3.11 /usr/lib/python3 /usr/share/icons; do
  [ -d "$source" ] && cp -r "$source" "$bundle/app/$(basename "$source")"
done
find "$bundle" -type l -delete  # a payload holds only files and folders

measure() {  # name folder
  local name=$1 folder=$2 start ours theirs files bytes t_ours t_zip
  files=$(find "$folder" -type f | wc -l)
  bytes=$(du -sb --apparent-size "$folder" | cut -f1)
  start=$(date +%s.%N)
  (cd "$folder" && zip -6 -X -r -q "$work/$name.zip" .)
  t_zip=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  start=$(date +%s.%N)
  # Its stand-in launcher and interpreter would not pass the interpreter checks.
  "$packer" --skip-interpreter-checks --program "$work/program.exe" --payload "$folder" --output "$work/$name.exe" >/dev/null
  t_ours=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  ours=$(( $(stat -c %s "$work/$name.exe") - 2 - 20 ))
  theirs=$(stat -c %s "$work/$name.zip")
  printf '| %s | %d files, %d bytes | %d bytes, %.1f s | %d bytes, %.1f s | %+.2f%% |\n' "$name" "$files" "$bytes" \
    "$ours" "$t_ours" "$theirs" "$t_zip" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print (a - b) * 100 / b }')"
}

echo "| payload | input | vorlasta-pack payload | zip -6 -X | difference |"
echo "|---|---|---|---|---|"
measure tiny "$tiny"
measure bundle "$bundle"
