#!/usr/bin/env bash
# make bench: the database and request-path benchmarks, then (as root) the load test between
# two network namespaces.
set -euo pipefail
build=${1:-build}
"$build/bench/database_bench"
"$build/bench/server_bench"
"$(dirname "$0")/report_bench.sh" "$build"
"$(dirname "$0")/import_bench.sh" "$build"
"$(dirname "$0")/load_cost.sh" "$build" 6bc8643 "${LOAD_COST_RUNS:-7}"
if [ "$(id -u)" = 0 ]; then
  "$(dirname "$0")/load_test.sh" "$build" "${LOAD_RUNS:-6}"
else
  echo "load test skipped: it needs root (network namespaces)"
fi
