#!/usr/bin/env bash
# Fuzzes the packer's readers and the setup program's trailer search and
# quoting under ASan and UBSan.
#   tools/fuzz.sh [SECONDS]   each target for SECONDS (default 60), nproc at a time
#   tools/fuzz.sh --runs N    each target for N inputs after its seeds (the test run)
# Seeds come from tests/fuzz/corpus; what a run learns stays in build/fuzz/work.
# A crash is saved under build/fuzz/artifacts/<target>/ and the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time="${1:-60}")
[ "${1:-}" = --runs ] && limit=(-runs="${2:?--runs needs a count}")

tools/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

# Target, then its seed folder.
targets=(trailer:setup report:setup zip:zip quoting:quoting)
out=build/fuzz/runs
rm -rf "$out"
mkdir -p "$out"
run() {
  local name=$1 seeds=tests/fuzz/corpus/$2
  mkdir -p "build/fuzz/work/$name" "build/fuzz/artifacts/$name"
  # -timeout turns a hang into a failure; the seed folder is read, never written.
  # An LZMA entry may ask for a 4 GiB dictionary, which liblzma reserves but
  # does not touch: single requests up to that pass, while the default limit
  # on memory really used (2 GiB) still holds.
  build/fuzz/bin/fuzz_"$name" "${limit[@]}" -timeout=10 -malloc_limit_mb=4100 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$name/" "build/fuzz/work/$name" "$seeds" >"$out/$name.log" 2>&1
}
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  run "${t%%:*}" "${t#*:}" && echo ok >"$out/${t%%:*}.status" || echo FAILED >"$out/${t%%:*}.status" &
done
wait

status=0
printf '%-8s %-7s %12s %8s %8s\n' target result runs cov features
for t in "${targets[@]}"; do
  name=${t%%:*}
  log=$out/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 | awk '{print $2, $4}')
  printf '%-8s %-7s %12s %8s %8s\n' "$name" "$(cat "$out/$name.status")" "${runs:-?}" ${cov:-? ?}
  if [ "$(cat "$out/$name.status")" != ok ]; then
    status=1
    grep -m1 -E 'ERROR|invariant broken|runtime error|deadly signal|Test unit written' "$log" || tail -5 "$log"
  fi
done
exit $status
