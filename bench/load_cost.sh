#!/usr/bin/env bash
# What reading a large barcodes.ini costs the server, against an older
# build: CPU time (user + system, from /proc/PID/schedstat) from launch to
# its Ready line, and peak memory (VmHWM) then; then the same for a reload
# while serving (the file touched, one request sent on loopback, CPU time
# until the server is idle again, peak memory since the launch), for RUNS
# alternated runs of each build (7 unless given), medians and their ratios
# in this one run.
#   bench/load_cost.sh [BUILD [OLD_REVISION [RUNS]]]
# The database is make_large_db's (ULVANE_BENCH_COUNT barcodes, 1,000,000
# unless set), in /tmp/ulvane_bench_db_COUNT as the other benchmarks keep it;
# the old build (6bc8643 unless given) is built once into
# /tmp/ulvane_bench_old_REVISION from `git archive`.
set -euo pipefail
build=${1:-build}
old_rev=${2:-6bc8643}
runs=${3:-7}
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

cpu_of() { awk '{ printf "%.3f", $1 / 1e9 }' "/proc/$1/schedstat"; }
peak_of() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# One launch: "CPU_SECONDS PEAK_KB" at the Ready line, then the same for a
# reload.
measure() {
  local log="$work/log"
  rm -f "$log"
  "$1" -db="$db" -p=19999 -log="$log" >/dev/null 2>&1 &
  local pid=$!
  until grep -q "Ready: answering" "$log" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || { echo "the server at $1 ended before it was ready" >&2; exit 1; }
    sleep 0.01
  done
  local cpu peak before after
  cpu=$(cpu_of "$pid")
  peak=$(peak_of "$pid")
  touch "$db/barcodes.ini"
  printf '2000000000008\n' > /dev/udp/127.0.0.1/19999
  until [ "$(grep -c 'Reloading .*barcodes.ini' "$log")" = 2 ]; do sleep 0.01; done
  before=$(cpu_of "$pid")
  while sleep 0.05; after=$(cpu_of "$pid"); [ "$after" != "$before" ]; do before=$after; done
  echo "$cpu $peak $(awk -v a="$after" -v c="$cpu" 'BEGIN { printf "%.3f", a - c }') $(peak_of "$pid")"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}
for ((i = 0; i < runs; i++)); do
  measure "$old/build/ulvane_server" >> "$work/old"
  measure "$build/ulvane_server" >> "$work/new"
done
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
size_kb=$(( $(stat -c %s "$db/barcodes.ini") / 1024 ))
echo "reading $count barcodes (barcodes.ini $((size_kb / 1024)) MB), medians of $runs alternated runs:"
report() { # what, CPU column, peak column
  awk -v what="$1" -v oc="$(median "$work/old" "$2")" -v nc="$(median "$work/new" "$2")" \
      -v om="$(median "$work/old" "$3")" -v nm="$(median "$work/new" "$3")" -v s="$size_kb" -v rev="$old_rev" 'BEGIN {
    printf "  %s: CPU time %.3f s, the build at %s %.3f s: %.2f of it\n", what, nc, rev, oc, nc / oc
    printf "  %s: peak memory %.0f MB, %.2f times the file (the build at %s: %.0f MB, %.2f times)\n", what, nm / 1024, nm / s, rev, om / 1024, om / s
  }'
}
report "launch to Ready" 1 2
report "a reload while serving" 3 4
