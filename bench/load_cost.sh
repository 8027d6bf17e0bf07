#!/usr/bin/env bash
# What reading a large barcodes.ini costs the server, against an older
# build: CPU time (user + system, from /proc/PID/schedstat) from launch to
# its Ready line, and peak memory (VmHWM) then, for RUNS alternated runs of
# each build (5 unless given), medians and their ratios in this one run.
#   bench/load_cost.sh [BUILD [OLD_REVISION [RUNS]]]
# The database is make_large_db's (ULVANE_BENCH_COUNT barcodes, 1,000,000
# unless set), in /tmp/ulvane_bench_db_COUNT as the other benchmarks keep it;
# the old build (6bc8643 unless given) is built once into
# /tmp/ulvane_bench_old_REVISION from `git archive`.
set -euo pipefail
build=${1:-build}
old_rev=${2:-6bc8643}
runs=${3:-5}
count=${ULVANE_BENCH_COUNT:-1000000}
db=/tmp/ulvane_bench_db_$count
if [ ! -f "$db/barcodes.ini" ]; then
  mkdir -p "$db"
  "$build/bench/make_large_db" "$db" "$count" >/dev/null
fi
old=/tmp/ulvane_bench_old_$old_rev
if [ ! -x "$old/build/ulvane_server" ]; then
  rm -rf "$old"
  mkdir -p "$old"
  git -C "$(dirname "$0")/.." archive "$old_rev" | tar -x -C "$old"
  cmake -S "$old" -B "$old/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$old/build" --target ulvane_server -j "$(nproc)" >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One launch: "CPU_SECONDS PEAK_KB" at the Ready line.
measure() {
  local log="$work/log"
  rm -f "$log"
  "$1" -db="$db" -p=19999 -log="$log" >/dev/null 2>&1 &
  local pid=$!
  until grep -q "Ready: answering" "$log" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || { echo "the server at $1 ended before it was ready" >&2; exit 1; }
    sleep 0.01
  done
  local cpu peak
  cpu=$(awk '{ printf "%.3f", $1 / 1e9 }' "/proc/$pid/schedstat")
  peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "$cpu $peak"
}
for ((i = 0; i < runs; i++)); do
  measure "$old/build/ulvane_server" >> "$work/old"
  measure "$build/ulvane_server" >> "$work/new"
done
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
size_kb=$(( $(stat -c %s "$db/barcodes.ini") / 1024 ))
awk -v oc="$(median "$work/old" 1)" -v nc="$(median "$work/new" 1)" -v om="$(median "$work/old" 2)" \
    -v nm="$(median "$work/new" 2)" -v s="$size_kb" -v n="$count" -v r="$runs" -v rev="$old_rev" 'BEGIN {
  printf "loading %d barcodes (barcodes.ini %.0f MB), launch to Ready, medians of %d alternated runs:\n", n, s / 1024, r
  printf "  CPU time: %.3f s, the build at %s %.3f s: %.2f of it\n", nc, rev, oc, nc / oc
  printf "  peak memory: %.0f MB, %.2f times the file (the build at %s: %.0f MB, %.2f times)\n", nm / 1024, nm / s, rev, om / 1024, om / s
}'
