#!/usr/bin/env bash
# Builds everything, then measures both programs under Wine and prints a table:
# their sizes, how fast the setup program copies a 256 MiB payload compared
# with cp, its memory while it asks, and how long the launcher takes to start
# the interpreter. Figures only: nothing here fails because a figure is poor.
#   tools/bench.sh              (VORLASTA_BENCH_RUNS=n: n timed runs, default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${VORLASTA_BENCH_RUNS:-5}
launcher_runs=$((2 * runs + 1))  # cheap runs: more of them steady the median
bin=$root/build/windows/bin
state=$root/build/bench-env  # our own prefix and display, never the tests'
buildlog=$root/build/bench-build.log

mkdir -p build
echo "Building (tools/build.sh, output in build/bench-build.log) ..."
if ! tools/build.sh >"$buildlog" 2>&1; then
  tail -n 40 "$buildlog"
  echo "tools/build.sh failed" >&2
  exit 1
fi

cleanup() {
  tests/scripts/wine-env.sh stop "$state" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Starting a Wine prefix and an Xvfb display in build/bench-env ..."
tests/scripts/wine-env.sh start "$state" "$bin" >/dev/null
# shellcheck disable=SC1091
prefix=$(source "$state/env" && echo "$WINEPREFIX")
work=$prefix/drive_c/vorlasta-bench  # C:\vorlasta-bench
results=$work/results.txt
bench() { tests/scripts/wine-run.sh "$state" "$bin/vorlasta-bench.exe" "$@"; }

echo "Making setup files with random 1 KiB, 1 MiB and 256 MiB payloads ..."
bench make 'C:\vorlasta-bench'
# Written back now, not in the middle of a timed copy.
sync

# The native copies: the 256 MiB setup file from its folder into the folder the
# setup runs use as TEMP, on the same file system, page cache warm like the
# setup program's; one untimed run first, the copy removed after each run.
echo "Timing cp and dd ..."
src=$work/bench-setup-256m.exe
dst=$work/tmp/native-copy.zip
mkdir -p "$work/tmp"
elapsed_ms() {  # runs the command, prints its wall time in ms
  local a b
  a=${EPOCHREALTIME/[.,]/}
  "$@"
  b=${EPOCHREALTIME/[.,]/}
  printf '%d.%03d' $(((b - a) / 1000)) $(((b - a) % 1000))
}
cp_ms=() dd_ms=()
for ((i = 0; i <= runs; i++)); do
  cp_t=$(elapsed_ms cp --reflink=never "$src" "$dst"); rm -f "$dst"
  dd_t=$(elapsed_ms dd if="$src" of="$dst" bs=64K status=none); rm -f "$dst"
  if ((i > 0)); then cp_ms+=("$cp_t"); dd_ms+=("$dd_t"); fi
done
{
  echo "native_cp_ms=${cp_ms[*]}"
  echo "native_dd_ms=${dd_ms[*]}"
} >"$results"

echo "Timing the setup program ($runs rounds of 1 KiB, 1 MiB and 256 MiB, after a warm-up round) ..."
bench setup 'C:\vorlasta-bench' "$runs" 'C:\vorlasta-bench\results.txt'
echo "Timing the launcher ($launcher_runs rounds, after a warm-up round) ..."
bench launcher 'C:\vorlasta-bench' "$launcher_runs" 'C:\vorlasta-bench\results.txt'
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cp "$results" "$root/build/bench-results.txt"

setup_size=$(stat -c %s "$bin/Vorlasta-Setup.exe")
launcher_size=$(stat -c %s "$bin/Vorlasta.exe")
cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
machine="$cpu, $(nproc) cores, Debian $(cat /etc/debian_version), Linux $(uname -r), $(/usr/lib/wine/wine64 --version) under Xvfb, files on $(df --output=fstype "$work" | tail -n 1)"

echo
awk -v runs="$runs" -v lruns="$launcher_runs" -v setup_size="$setup_size" -v launcher_size="$launcher_size" \
    -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" -v machine="$machine" \
    -v load_before="$load_before" -v load_after="$load_after" '
function median(key,    n, v, i, j, t) {
  n = split(series[key], v, " ")
  if (n == 0) return "n/a"
  for (i = 2; i <= n; i++) { t = v[i] + 0; for (j = i - 1; j >= 1 && v[j] + 0 > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
  return n % 2 ? v[(n + 1) / 2] + 0 : (v[n / 2] + v[n / 2 + 1]) / 2
}
function all_zero(key,    n, v, i) {
  n = split(series[key], v, " ")
  for (i = 1; i <= n; i++) if (v[i] + 0 != 0) return 0
  return n > 0
}
# Largest gap between two series run by run, in bytes.
function max_gap(a, b,    n, x, y, i, d, m) {
  n = split(series[a], x, " "); split(series[b], y, " "); m = 0
  for (i = 1; i <= n; i++) { d = x[i] - y[i]; if (d < 0) d = -d; if (d > m) m = d }
  return m
}
function kib(bytes) { return bytes < 0 ? "n/a" : sprintf("%.0f KiB", bytes / 1024) }
function size_row(name, size, target) {
  printf "  %-34s %9d  %9d  %s\n", name, size, target, size <= target ? "within" : "OVER"
}
function copy_row(label, ms, cp) {
  printf "  %-58s %8.1f %8.0f %7.2f\n", label, ms, 256 / (ms / 1000), ms / cp
}
function memory_row(label, key,    a, b) {
  a = median("setup_1m_" key); b = median("setup_256m_" key)
  printf "  %-44s %12s %12s %10s\n", label, kib(a), kib(b), (a < 0 || b < 0) ? "n/a" : sprintf("%+.0f KiB", (b - a) / 1024)
}
{ i = index($0, "="); if (i) series[substr($0, 1, i - 1)] = substr($0, i + 1) }
END {
  printf "Vorlasta benchmark, %s\n", when
  printf "Machine: %s\n", machine
  printf "Load average (1, 5, 15 min) before: %s, after: %s\n", load_before, load_after
  printf "Medians of %d timed runs (launcher: %d), after one untimed warm-up run each.\n\n", runs, lruns

  printf "1. Program sizes                         bytes     target\n"
  size_row("Vorlasta-Setup.exe", setup_size, 40960)
  size_row("Vorlasta.exe", launcher_size, 32768)

  cp = median("native_cp_ms")
  box_big = median("setup_256m_box_ms"); box_tiny = median("setup_1k_box_ms")
  printf "\n2. Copying a 256 MiB payload to the temporary folder               ms    MiB/s  / cp\n"
  copy_row("setup: archive created -> last byte written (full size)", median("setup_256m_write_ms"), cp)
  copy_row("setup: archive created -> archive closed", median("setup_256m_copy_ms"), cp)
  printf "  %-58s %8.1f\n", "setup: start -> question box, 256 MiB payload", box_big
  printf "  %-58s %8.1f\n", "setup: start -> question box, 1 KiB payload", box_tiny
  copy_row("setup: difference of these two (start-up subtracted)", box_big - box_tiny, cp)
  copy_row("cp --reflink=never, same folders (native)", cp, cp)
  copy_row("dd bs=64K, same folders (native)", median("native_dd_ms"), cp)
  printf "  / cp: time divided by cp time. Setup times run from just before CreateProcess, seen from\n"
  printf "  outside: the archive appearing through a change notification on TEMP, its size polled,\n"
  printf "  its close by our own open no longer failing (the setup opens it without sharing), the box\n"
  printf "  by polling windows; polls every ~1 ms. The medians from start: archive created %.1f,\n",
         median("setup_256m_archive_ms")
  printf "  full size %.1f, closed %.1f ms. cp and dd copy the whole setup file (payload + 29 KiB),\n",
         median("setup_256m_full_ms"), median("setup_256m_closed_ms")
  printf "  timed from the shell, process start and exit included.\n"

  printf "\n3. Setup memory while its question box is up        1 MiB payload  256 MiB payload  difference\n"
  memory_row("peak working set (GetProcessMemoryInfo)", "peak_ws")
  memory_row("VmHWM of the Linux process (/proc)", "vmhwm")
  if (all_zero("setup_1m_private") && all_zero("setup_256m_private")) {
    memory_row("peak pagefile usage (GetProcessMemoryInfo)", "peak_pagefile")
    memory_row("RssAnon of the Linux process (/proc)", "rssanon")
    printf "  PrivateUsage came back 0 in every run (Wine leaves it empty), so PeakPagefileUsage\n"
    printf "  stands in for private bytes.\n"
  } else {
    memory_row("private bytes (GetProcessMemoryInfo)", "private")
  }
  printf "  Largest run-by-run gap between the Wine figure and ours from /proc/<pid>/status read moments\n"
  printf "  later: peak working set vs VmHWM %s (1 MiB) and %s (256 MiB); peak pagefile usage\n",
         kib(max_gap("setup_1m_vmhwm", "setup_1m_peak_ws")), kib(max_gap("setup_256m_vmhwm", "setup_256m_peak_ws"))
  printf "  vs RssAnon %s and %s. All of them include the loader and libraries of Wine.\n",
         kib(max_gap("setup_1m_rssanon", "setup_1m_peak_pagefile")), kib(max_gap("setup_256m_rssanon", "setup_256m_peak_pagefile"))

  via = median("launcher_to_interpreter_ms"); direct = median("interpreter_direct_ms")
  printf "\n4. Interpreter start (stand-in pythonw.exe, app\\main.py = exit 0)           ms\n"
  printf "  %-66s %8.1f\n", "Vorlasta.exe started -> stand-in logged phase=start", via
  printf "  %-66s %8.1f\n", "stand-in started directly -> stand-in logged phase=start", direct
  printf "  %-66s %8.1f\n", "overhead of the launcher itself (difference of the medians)", via - direct
  printf "  Timed from just before CreateProcess to the record in the stand-in log (polled every ~1 ms).\n"
}' "$results"
echo
echo "Every run's figures: build/bench-results.txt"
