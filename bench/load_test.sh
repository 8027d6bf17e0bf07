#!/usr/bin/env bash
# Measures the server under load between two network namespaces, against
# the generated 1,000,000-barcode database: answers per second and p50/p99
# latency at log level 2, at level 3 with -log=FILE and with the log on
# standard error, and of the bare reflector (the ceiling for one receive and
# one send per request), of the batching reflector (the kernel's ceiling), of the
# reflector that also makes the server's two last-write-time queries, and of
# the reflector that also loads and finds the barcode in the table (the least
# a request costs when the files are checked and the table searched for each
# one). cpu= is the share of one core that the measured process used: below
# 100% the load generator, not the measured process, set the pace.
#
#   bench/load_test.sh [BUILD_DIR] [SECONDS] [WINDOW]      (as root)
#   ULVANE_WINDOWS_BUILD=build-windows bench/load_test.sh ...  (adds the .exe under Wine)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
. "$(dirname "$0")/../tools/two_hosts.sh"
seconds=${2:-10}
window=${3:-16}
barcodes=${ULVANE_BENCH_COUNT:-1000000}
db=/tmp/ulvane_bench_db_$barcodes
s=ulvload$$_s
t=ulvload$$_t
work=$(mktemp -d /tmp/ulvane_load_XXXXXX)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  two_hosts_down "$s" "$t"
  rm -rf "$work"
}
trap cleanup EXIT

two_hosts_up "$s" "$t"

if [ ! -f "$db/barcodes.ini" ]; then
  mkdir -p "$db"
  "$build/bench/make_large_db" "$db" "$barcodes"
fi

# Waits until the process holds UDP port 9000 (0x2328) in its namespace.
wait_for_port() {
  for _ in $(seq 1 600); do
    grep -q ':2328 ' "/proc/$1/net/udp" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "server did not bind" >&2; return 1
}

# User and system time of a process so far, in clock ticks.
cpu_ticks() {
  awk '{ print $14 + $15 }' "/proc/$1/stat"
}

measure() {
  local name=$1; shift
  ip netns exec "$s" "$@" >"$work/out" 2>"$work/err" &
  local pid=$!
  pids+=("$pid")
  wait_for_port "$pid"
  local result before after
  before=$(cpu_ticks "$pid")
  result=$(ip netns exec "$t" "$build/bench/load_gen" 10.77.0.1 -w="$window" -n=100000000 -s="$seconds" -b="$barcodes")
  after=$(cpu_ticks "$pid")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  pids=()
  local cpu
  cpu=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" 'BEGIN { printf "%.0f%%", 100 * t / hz / s }')
  echo "$name $result cpu=$cpu" | tee "$work/$name"
}

measure server_level2 "$build/ulvane_server" -db="$db" -l=2
measure server_level3_logfile "$build/ulvane_server" -db="$db" -l=3 -log="$work/server.log"
# What `make run` and a service manager give: the log on standard error,
# here redirected to a file.
measure server_level3_stderr sh -c "exec '$build/ulvane_server' -db='$db' -l=3 2>'$work/stderr.log'"
measure reflector "$build/bench/reflector" 9000
measure reflector_batch "$build/bench/reflector" 9000 batch
measure reflector_with_file_queries "$build/bench/reflector" 9000 "$db"
measure reflector_with_load_and_find "$build/bench/reflector" 9000 "$db" find

# For the record, with ULVANE_WINDOWS_BUILD naming a Windows build: its server
# under Wine, whose background server (which makes the sockets) runs in the
# server's namespace. Wine is no target of any figure.
if [ -n "${ULVANE_WINDOWS_BUILD:-}" ]; then
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
  wineboot -i >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
  ip netns exec "$s" wineserver -p
  measure server_windows_under_wine_level2 wine "$(cd "$ULVANE_WINDOWS_BUILD" && pwd)/ulvane_server.exe" -db="$db" -l=2
  wineserver -k
fi

# A burst during reloads: terminals sending 10,000 requests a second for 5 s
# while barcodes.ini is touched (and so read again whole) every half second.
# Nothing may be lost: the socket's receive queue holds what arrives during
# a reload.
mkdir "$work/db"
cp "$db/barcodes.ini" "$db/formats.ini" "$work/db/"
ip netns exec "$s" "$build/ulvane_server" -db="$work/db" -l=2 >"$work/out" 2>"$work/err" &
pids+=("$!")
wait_for_port "$!"
( for _ in $(seq 1 12); do sleep 0.5; touch "$work/db/barcodes.ini"; done ) &
toucher=$!
echo "burst_during_reloads $(ip netns exec "$t" "$build/bench/load_gen" 10.77.0.1 -r=10000 -s=5 -b="$barcodes")"
wait "$toucher"
grep -h "Receive buffer" "$work/err" || true
kill "${pids[@]}"; wait "${pids[@]}" 2>/dev/null || true
pids=()

ratio() {
  local a b
  a=$(sed -E 's/.*answers_per_second=([0-9]+).*/\1/' "$work/$1")
  b=$(sed -E 's/.*answers_per_second=([0-9]+).*/\1/' "$work/$2")
  echo "$1/$2 = $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.0f%%", 100 * a / b }')"
}
ratio server_level2 reflector
ratio server_level3_logfile reflector
ratio server_level3_stderr reflector
ratio server_level2 reflector_batch
ratio reflector_batch reflector
ratio reflector_with_load_and_find reflector
