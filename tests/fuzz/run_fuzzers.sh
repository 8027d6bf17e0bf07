#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds each (make fuzz; FUZZ_SECONDS).
#   tests/fuzz/run_fuzzers.sh BUILD_DIR [SECONDS]
# Each target starts from its seed corpus (tests/fuzz/corpus/TARGET) and
# keeps what it finds in BUILD_DIR/corpus/TARGET. An input that crashes a
# target, trips a sanitizer or fails an assertion is left in
# fuzz-crashes/TARGET-crash-..., and the run fails.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$top/fuzz-crashes"
status=0
for fuzzer in "$build"/tests/fuzz/fuzz_*; do
  target=${fuzzer##*/fuzz_}
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  # The file readers get room for huge lines; a datagram holds at most 1,601.
  case $target in
    readers) max_len=131072 ;;
    *) max_len=4096 ;;
  esac
  echo "== fuzz $target for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
        -artifact_prefix="$top/fuzz-crashes/$target-" "$corpus" "$top/tests/fuzz/corpus/$target" \
        >"$build/fuzz-$target.log" 2>&1; then
    echo "fuzz $target FAILED; the input is in fuzz-crashes/, the log in $build/fuzz-$target.log"
    tail -n 40 "$build/fuzz-$target.log"
    status=1
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss)' "$build/fuzz-$target.log" || true
done
exit $status
