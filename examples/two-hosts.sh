#!/usr/bin/env bash
# Tries the server by hand on one machine: makes two network namespaces (a
# server host 10.77.0.1 and a terminal host 10.77.0.2) joined by a veth
# pair, starts ulvane_server with examples/db in the first, and scans from
# the second. Needs root and iproute2; run `make` first.
#
#   examples/two-hosts.sh 12345 999     scans these barcodes, then cleans up
#   examples/two-hosts.sh               opens a shell on the terminal host
#
# Why two hosts: the server answers at its own port (9000) on the sender's
# address, so a terminal on the server's own host could not bind that port,
# and the answer would go back to the server itself.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "two-hosts.sh: network namespaces need root: sudo $0 $*" >&2
  exit 2
fi
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/two_hosts.sh"
s=ulvane-server-$$
t=ulvane-terminal-$$
server_pid=

cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  two_hosts_down "$s" "$t"
}
trap cleanup EXIT

two_hosts_up "$s" "$t"

ip netns exec "$s" "$top/build/ulvane_server" -db="$top/examples/db" -l=4 &
server_pid=$!
# Until the server listens (it loads its database first).
for _ in $(seq 100); do
  ip netns exec "$s" ss -Hnul 'sport = :9000' | grep -q . && break
  sleep 0.05
done

if [ $# -gt 0 ]; then
  ip netns exec "$t" "$top/build/ulvane_scan" 10.77.0.1 "$@"
else
  echo "Terminal host 10.77.0.2; try: $top/build/ulvane_scan 10.77.0.1 12345   (exit ends it all)"
  ip netns exec "$t" "${SHELL:-bash}"
fi
