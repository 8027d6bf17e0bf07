#!/usr/bin/env bash
# How fast ulvane_report reads a busy site's day: a generated log of LINES
# lines (1,000,000 unless given) at level 4, with requests from 08:00 to
# 20:00, one in ten for a barcode the database lacks, a reload now and then.
set -euo pipefail
build=${1:-build}
lines=${2:-1000000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
awk -v lines="$lines" 'BEGIN {
  srand(1)
  for (n = 1; n <= lines;) {
    s = int(n * 43200 / lines); t = sprintf("2026-12-07 %02d:%02d:%02d", 8 + int(s / 3600), int(s / 60) % 60, s % 60)
    unknown = rand() < 0.1
    b = unknown ? "u" int(rand() * 5000) : int(rand() * 100000)
    printf "[%s #%d INF] Received barcode \"%s\"\n", t, n++, b
    if (unknown) printf "[%s #%d WRN] Barcode \"%s\" not defined in database.\n", t, n++, b
    else if (n % 5000 == 0) printf "[%s #%d INF] Reloading db/barcodes.ini\n", t, n++
    else printf "[%s #%d DBG] src/server.cpp:420 Sending: \"Pen\\nPrice: 1.99\" to 10.0.%d.%d.9000\n", t, n++, n % 7, n % 250
  }
}' > "$dir/log"
size=$(stat -c %s "$dir/log")
for format in text -html -json; do
  option=$format; [ "$format" = text ] && option=
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$dir/memory" "$build/ulvane_report" $option "$dir/log" > "$dir/report"
  end=$(date +%s.%N)
  echo "ulvane_report $format: $(wc -l < "$dir/log") lines ($((size / 1000000)) MB) in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') s," \
       "$(( $(cat "$dir/memory") / 1024 )) MB at most, $(wc -c < "$dir/report") bytes written"
done
