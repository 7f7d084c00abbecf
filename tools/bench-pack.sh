#!/usr/bin/env bash
# Times vorlasta-pack on three payloads, each round interleaved with what a
# vendor would otherwise run: a Python bundle against `zip -6 -X -r`, photos
# that do not compress against `zip -0`, and a move of a shop (a database,
# photos, documents) against `cp -r` and `sync`. Prints the medians, the
# ratios, the sizes and the peak memory. Figures only: nothing fails on a poor one.
#   tools/bench-pack.sh [packer [earlier packer]]   (VORLASTA_BENCH_RUNS=n: n rounds, default 5)
# An earlier packer (a build of an older commit) runs in the same rounds, for
# figures before and after a change.
set -euo pipefail
cd "$(dirname "$0")/.."
packer=${1:-$PWD/build/host/bin/vorlasta-pack}
earlier=${2:-}
runs=${VORLASTA_BENCH_RUNS:-5}
for tool in zip sqlite3 openssl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run tools/install-deps.sh" >&2; exit 1; }
done
work=$(mktemp -d /tmp/vorlasta-bench-pack.XXXXXX)
trap 'rm -rf "$work"' EXIT
results=$work/results.txt

required() {  # the three files every payload needs
  mkdir -p "$1/python" "$1/app"
  printf 'launcher' >"$1/Vorlasta.exe"
  printf 'interpreter' >"$1/python/pythonw.exe"
  printf 'import shop\n' >"$1/app/main.py"
}
noise() {  # FILE BYTES SEED: bytes that do not compress, the same on every run
  (set +o pipefail; openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$3")" -iv 0 </dev/zero 2>/dev/null | head -c "$2" >"$1")
}

echo "Making the payloads in $work ..."
bundle=$work/bundle
required "$bundle"
cp -r /usr/lib/python3.11 "$bundle/app/"
find "$bundle" -type l -delete  # a payload holds only files and folders

shop=$work/shop
required "$shop"
mkdir -p "$shop/data/photos" "$shop/data/documents"
# 133 MB of sales, as the shop's database holds them.
sqlite3 "$shop/data/shop.db" "PRAGMA page_size = 4096;
  CREATE TABLE sale(id INTEGER PRIMARY KEY, customer TEXT, item TEXT, quantity INTEGER, price REAL, note TEXT);
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1430000)
  INSERT INTO sale SELECT i, 'customer ' || (i * 7919 % 5000), 'item ' || (i * 104729 % 20000), i % 17,
    (i % 1000) / 7.0, 'paid by card, receipt ' || hex(randomblob(8)) || ', delivered' FROM n;"
for i in $(seq 1 40); do noise "$shop/data/photos/IMG_$i.jpg" 2500000 "$i"; done
# 100 MB of letters and invoices: text that compresses about as office files do.
for i in $(seq 1 50); do
  awk -v seed="$i" 'BEGIN { srand(seed); split("invoice order customer delivery repair stock paid due total item", w, " ")
    while (n < 2000000) { line = sprintf("%s %d %s %.2f %s\n", w[int(rand() * 10) + 1], int(rand() * 100000),
      w[int(rand() * 10) + 1], rand() * 1000, w[int(rand() * 10) + 1]); printf "%s", line; n += length(line) } }' \
    >"$shop/data/documents/letter-$i.txt"
done

photos=$work/photos
required "$photos"
cp -al "$shop/data/photos" "$photos/app/photos"
printf 'MZ' >"$work/program.exe"
sync

# run NAME COMMAND...: times one run, appends "NAME_s=" and "NAME_kb=" values.
run() {
  local name=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" ||
    { cat "$work/stderr" "$work/time" >&2; echo "failed: $*" >&2; exit 1; }
  read -r seconds kb <"$work/time"
  echo "${name}_s=$seconds" >>"$results"
  echo "${name}_kb=$kb" >>"$results"
}
size() { echo "$1_bytes=$(stat -c %s "$2")" >>"$results"; }
pack() {  # NAME PACKER PAYLOAD ARGS...
  local name=$1 p=$2 payload=$3
  shift 3
  rm -f "$work/out.exe"
  run "$name" "$p" --skip-interpreter-checks --program "$work/program.exe" --payload "$payload" \
    --output "$work/out.exe" "$@"
  size "$name" "$work/out.exe"
}
move() {  # NAME PACKER
  rm -f "$work/move.exe"
  run "$1" "$2" move --skip-interpreter-checks --from "$shop" --output "$work/move.exe"
  size "$1" "$work/move.exe"
}
zipped() {  # NAME FOLDER LEVEL
  rm -f "$work/out.zip"
  run "$1" sh -c "cd '$2' && zip -q -X -r -$3 '$work/out.zip' ."
  size "$1" "$work/out.zip"
}
copied() {
  rm -rf "$work/copy"
  run copy sh -c "cp -r '$shop' '$work/copy' && sync"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Timing $runs rounds, after one untimed warm-up round ..."
for ((round = 0; round <= runs; round++)); do
  [ "$round" -eq 1 ] && : >"$results"  # the warm-up round only fills the page cache
  pack bundle "$packer" "$bundle"
  [ -z "$earlier" ] || pack bundle_earlier "$earlier" "$bundle"
  zipped zip6 "$bundle" 6
  pack photos "$packer" "$photos"
  [ -z "$earlier" ] || pack photos_earlier "$earlier" "$photos"
  zipped zip0 "$photos" 0
  move move "$packer"
  [ -z "$earlier" ] || move move_earlier "$earlier"
  copied
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

awk -v runs="$runs" -v cores="$(nproc)" -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" -v earlier="$earlier" \
    -v load_before="$load_before" -v load_after="$load_after" \
    -v bundle="$(du -sb --apparent-size "$bundle" | cut -f1) bytes, $(find "$bundle" -type f | wc -l) files" \
    -v photos="$(du -sb --apparent-size "$photos" | cut -f1) bytes, $(find "$photos" -type f | wc -l) files" \
    -v shop="$(du -sb --apparent-size "$shop" | cut -f1) bytes, $(find "$shop" -type f | wc -l) files" '
function median(key,    n, v, i, j, t) {
  n = split(series[key], v, " ")
  for (i = 2; i <= n; i++) { t = v[i] + 0; for (j = i - 1; j >= 1 && v[j] + 0 > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
  return n % 2 ? v[(n + 1) / 2] + 0 : (v[n / 2] + v[n / 2 + 1]) / 2
}
function row(label, key, reference) {
  if (series[key "_s"] == "") return
  printf "  %-28s %8.2f %7.2f %14s %8.1f\n", label, median(key "_s"), median(key "_s") / median(reference "_s"),
         key "_bytes" in series ? sprintf("%d", median(key "_bytes")) : "-", median(key "_kb") / 1024
}
{ i = index($0, "="); if (i) { k = substr($0, 1, i - 1); series[k] = series[k] " " substr($0, i + 1) } }
END {
  printf "vorlasta-pack benchmark, %s, %d cores\n", when, cores
  printf "Load average (1, 5, 15 min) before: %s, after: %s\n", load_before, load_after
  printf "Medians of %d interleaved rounds, after one warm-up round.\n\n", runs
  printf "  %-28s %8s %7s %14s %8s\n", "", "wall s", "ratio", "output bytes", "peak MB"
  printf "Python bundle (%s), ratio to zip -6\n", bundle
  row("vorlasta-pack", "bundle", "zip6"); row("earlier vorlasta-pack", "bundle_earlier", "zip6")
  row("zip -6 -X -r", "zip6", "zip6")
  printf "Photos that do not compress (%s), ratio to zip -0\n", photos
  row("vorlasta-pack", "photos", "zip0"); row("earlier vorlasta-pack", "photos_earlier", "zip0")
  row("zip -0 -X -r", "zip0", "zip0")
  printf "Move of a shop (%s), ratio to cp -r and sync\n", shop
  row("vorlasta-pack move", "move", "copy"); row("earlier vorlasta-pack move", "move_earlier", "copy")
  row("cp -r, sync", "copy", "copy")
  if (earlier != "") {
    printf "\nEarlier packer / this one, wall time: bundle %.2f, photos %.2f, move %.2f\n",
      median("bundle_earlier_s") / median("bundle_s"), median("photos_earlier_s") / median("photos_s"),
      median("move_earlier_s") / median("move_s")
  }
}' "$results"
