#!/usr/bin/env bash
# How fast ulvane_export and ulvane_import are, and how much memory the
# import takes, on the generated database of COUNT barcodes (1,000,000
# unless given), against ulvane_check loading and checking the same
# database: RUNS alternated runs of each (5 unless given), medians of the
# CPU time (user + system) and the peak memory, ratios in this one run.
set -euo pipefail
build=${1:-build}
count=${2:-1000000}
runs=${3:-5}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/db" "$dir/to"
"$build/bench/make_large_db" "$dir/db" "$count" >/dev/null
cp "$dir/db/formats.ini" "$dir/to/"
"$build/ulvane_export" -db="$dir/db" -o="$dir/db.csv"
# CPU seconds and peak kB of one command, as "SECONDS KB".
measure() {
  /usr/bin/time -f "%U %S %M" -o "$dir/time" "$@" >/dev/null 2>&1 || true
  awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$dir/time"
}
for ((i = 0; i < runs; i++)); do
  measure "$build/ulvane_check" -db="$dir/db" >> "$dir/check"
  measure "$build/ulvane_export" -db="$dir/db" -o="$dir/out.csv" >> "$dir/export"
  cp "$dir/db/barcodes.ini" "$dir/to/barcodes.ini"
  measure "$build/ulvane_import" "$dir/db.csv" -db="$dir/to" >> "$dir/import"
done
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
check=$(median "$dir/check" 1)
export_s=$(median "$dir/export" 1)
import_s=$(median "$dir/import" 1)
import_kb=$(median "$dir/import" 2)
csv_kb=$(( $(stat -c %s "$dir/db.csv") / 1024 ))
awk -v c="$check" -v e="$export_s" -v i="$import_s" -v m="$import_kb" -v s="$csv_kb" -v n="$count" -v r="$runs" 'BEGIN {
  printf "import/export of %d barcodes (CSV %.0f MB), medians of %d runs, CPU seconds:\n", n, s / 1024, r
  printf "  ulvane_check %.2f s, ulvane_export %.2f s (%.2f of the check; at most 1), ulvane_import %.2f s (%.2f of the check; at most 1.5)\n", c, e, e / c, i, i / c
  printf "  ulvane_import peak memory %.0f MB, %.2f times the CSV (at most 3)\n", m / 1024, m / s
}'
