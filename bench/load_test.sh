#!/usr/bin/env bash
# What the server can serve, measured at saturation between two network
# namespaces, next to a bare reflector (one receive and one send call per
# datagram, a fixed answer): the ceiling of one core for this protocol.
#
#   bench/load_test.sh [BUILD_DIR] [RUNS] [REQUESTS]      (as root)
#
# Each measurement is a closed loop: load_gen keeps WINDOW requests
# outstanding and sends a new one as each answer arrives, so the target,
# pinned to core 0, sets the pace; the generator runs on core 1. A target is
# started afresh for each run, runs of the targets alternate, and each
# figure is the median of RUNS (6) runs of REQUESTS (200,000) requests:
# answers per second, the target's CPU time per answer (from the kernel's
# accounting of the process, /proc/PID/schedstat) and latency. Window 16 is
# the saturation figure; window 64 shows deeper queues, window 1 a single
# terminal waiting for each answer (latency). The database has
# ULVANE_BENCH_COUNT (100,000) generated barcodes, asked for at random.
#
# The peers in every run at window 16: the bare reflector, a batching one
# (one receive and one send call for each batch of datagrams) and a widely
# used DNS forwarder answering addresses from a hosts file of as many names
# as barcodes (Debian's dnsmasq-base; load_gen -dns asks it). Each median is
# shown as a ratio to the bare reflector's and to the forwarder's. Then one
# run of each at window 16 under `perf stat` counts the system calls per
# answer.
#
# Then a paced burst, which shows no loss rather than speed: 10,000
# requests a second for 5 s while barcodes.ini is read again every half
# second; the socket's receive queue must hold what arrives during a reload.
#
# ULVANE_WINDOWS_BUILD=build-windows adds the .exe under Wine, for the
# record (Wine is no target of any figure).
set -euo pipefail
"$(dirname "$0")/../tools/install_packages.sh" bench
build=$(cd "${1:-build}" && pwd)
. "$(dirname "$0")/../tools/two_hosts.sh"
runs=${2:-6}
requests=${3:-200000}
barcodes=${ULVANE_BENCH_COUNT:-100000}
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

# Nanoseconds a process has run on a CPU so far.
cpu_ns() {
  awk '{ print $1 }' "/proc/$1/schedstat"
}

# measure NAME WINDOW COUNT COMMAND...: one run (load_gen with $gen_args
# besides, when set); appends
# "NAME WINDOW answers_per_second cpu_us_per_answer p50_us p99_us lost" to
# $work/results.
measure() {
  local name=$1 window=$2 count=$3; shift 3
  taskset -c 0 ip netns exec "$s" "$@" >"$work/out" 2>"$work/err" &
  local pid=$!
  pids+=("$pid")
  wait_for_port "$pid"
  local result before after
  before=$(cpu_ns "$pid")
  [ -n "${syscalls:-}" ] && { perf stat -x, -e raw_syscalls:sys_enter -o "$work/perf" -p "$pid" & perf=$!; sleep 0.5; }
  result=$(taskset -c 1 ip netns exec "$t" "$build/bench/load_gen" 10.77.0.1 -w="$window" -n="$count" -s=60 -b="$barcodes" ${gen_args:-})
  after=$(cpu_ns "$pid")
  if [ -n "${syscalls:-}" ]; then
    kill -INT "$perf"; wait "$perf" || true
    echo "$result" | awk -v name="$name" -v calls="$(awk -F, '/raw_syscalls/ { print $1 }' "$work/perf")" '{
      for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
      printf "%s: %.3f system calls per answer (%d calls, %d answers)\n", name, calls / v["answers"], calls, v["answers"] }'
    kill "$pid"; wait "$pid" 2>/dev/null || true
    pids=()
    return
  fi
  kill "$pid"; wait "$pid" 2>/dev/null || true
  pids=()
  echo "$result" | awk -v name="$name" -v window="$window" -v ns=$((after - before)) '{
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
    printf "%s %d %.0f %.3f %.1f %.1f %d\n", name, window, v["answers_per_second"], ns / 1000 / v["answers"],
           v["p50_us"], v["p99_us"], v["lost"]
  }' | tee -a "$work/results"
}

reflector=("$build/bench/reflector" 9000)
batching_reflector=("$build/bench/reflector" 9000 batch)
"$build/bench/load_gen" - -hosts="$work/hosts" -b="$barcodes"
dns_forwarder=(/usr/sbin/dnsmasq -k --conf-file=/dev/null --port=9000 --no-resolv --no-hosts
               --addn-hosts="$work/hosts" --user=root --pid-file= --log-facility=/dev/null)
server_l2=("$build/ulvane_server" -db="$db" -l=2)
server_l3_log=("$build/ulvane_server" -db="$db" -l=3 -log="$work/server.log")

echo "name window answers_per_second cpu_us_per_answer p50_us p99_us lost"
# ULVANE_OLD_SERVER=PATH adds another build's server beside this one, for a
# change measured side by side (bench/load_cost.sh builds one from a
# revision into /tmp/ulvane_bench_old_REVISION/build).
old_l2=()
[ -n "${ULVANE_OLD_SERVER:-}" ] && old_l2=("$ULVANE_OLD_SERVER" -db="$db" -l=2)
for run in $(seq 1 "$runs"); do
  measure reflector 16 "$requests" "${reflector[@]}"
  measure batching_reflector 16 "$requests" "${batching_reflector[@]}"
  gen_args=-dns measure dns_forwarder 16 "$requests" "${dns_forwarder[@]}"
  measure server_l2 16 "$requests" "${server_l2[@]}"
  [ ${#old_l2[@]} -gt 0 ] && measure old_server_l2 16 "$requests" "${old_l2[@]}"
  measure server_l3_log 16 "$requests" "${server_l3_log[@]}"
  rm -f "$work/server.log"
done
for run in $(seq 1 $(((runs + 1) / 2))); do
  measure reflector 64 "$requests" "${reflector[@]}"
  measure server_l2 64 "$requests" "${server_l2[@]}"
  measure reflector 1 $((requests / 4)) "${reflector[@]}"
  measure server_l2 1 $((requests / 4)) "${server_l2[@]}"
done

if [ -n "${ULVANE_WINDOWS_BUILD:-}" ]; then
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
  wineboot -i >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
  ip netns exec "$s" wineserver -p
  measure server_windows_under_wine_l2 16 $((requests / 10)) \
    wine "$(cd "$ULVANE_WINDOWS_BUILD" && pwd)/ulvane_server.exe" -db="$db" -l=2
  wineserver -k
fi

# Medians of each target and window, and their ratios to the reflector's.
echo
echo "medians: name window answers_per_second cpu_us_per_answer p50_us p99_us | answers cpu p50 of the reflector's | answers cpu of the forwarder's"
sort -k1,1 -k2,2n "$work/results" | awk '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { key = $1 " " $2; if (!(key in rate)) order[++keys] = key
    rate[key] = rate[key] " " $3; cpu[key] = cpu[key] " " $4; p50[key] = p50[key] " " $5; p99[key] = p99[key] " " $6 }
  END {
    for (k = 1; k <= keys; ++k) { key = order[k]; split(key, nw, " ")
      r[key] = median(rate[key]); c[key] = median(cpu[key]); l[key] = median(p50[key]) }
    for (k = 1; k <= keys; ++k) { key = order[k]; split(key, nw, " "); base = "reflector " nw[2]
      printf "%s %.0f %.3f %.1f %.1f", key, r[key], c[key], l[key], median(p99[key])
      if (base in r && r[base] > 0) printf " | %.2f %.2f %.2f", r[key] / r[base], c[key] / c[base], l[key] / l[base]
      peer = "dns_forwarder " nw[2]
      if (peer in r && r[peer] > 0) printf " | %.2f %.2f", r[key] / r[peer], c[key] / c[peer]
      printf "\n" }
  }'

# System calls per answer, one run each at window 16 (perf's count of every
# system call the target made while load_gen ran).
echo
syscalls=1 measure reflector 16 "$requests" "${reflector[@]}"
syscalls=1 gen_args=-dns measure dns_forwarder 16 "$requests" "${dns_forwarder[@]}"
syscalls=1 measure server_l2 16 "$requests" "${server_l2[@]}"

# The paced burst during reloads: no request may be lost.
echo
mkdir "$work/db"
cp "$db/barcodes.ini" "$db/formats.ini" "$work/db/"
ip netns exec "$s" "$build/ulvane_server" -db="$work/db" -l=2 >"$work/out" 2>"$work/err" &
pids+=("$!")
wait_for_port "$!"
( for _ in $(seq 1 12); do sleep 0.5; touch "$work/db/barcodes.ini"; done ) &
toucher=$!
echo "paced burst during reloads (10,000/s for 5 s): $(ip netns exec "$t" "$build/bench/load_gen" 10.77.0.1 -r=10000 -s=5 -b="$barcodes")"
wait "$toucher"
grep -h "Receive buffer" "$work/err" || true
kill "${pids[@]}"; wait "${pids[@]}" 2>/dev/null || true
pids=()
