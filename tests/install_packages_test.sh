#!/usr/bin/env bash
# tools/install_packages.sh, as a user who is not root, on a machine that
# lacks every package (a fake dpkg) and on one that has them all: the one
# command to run, and failure; then nothing at all.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
printf '#!/bin/sh\necho 1000\n' > "$fake/id"
printf '#!/bin/sh\nexit 1\n' > "$fake/dpkg"
chmod +x "$fake"/*
status=0
PATH=$fake:$PATH "$top/tools/install_packages.sh" test 2>"$fake/said" || status=$?
want="make test needs Debian packages this machine lacks; install them with:
  sudo apt-get install cmake make g++ zlib1g-dev libgtest-dev libbenchmark-dev iproute2 python3"
[ "$status" = 1 ] && [ "$(cat "$fake/said")" = "$want" ] || { echo "FAIL: lacking all: $status $(cat "$fake/said")"; exit 1; }
printf '#!/bin/sh\nexit 0\n' > "$fake/dpkg"
PATH=$fake:$PATH "$top/tools/install_packages.sh" ci >"$fake/said" 2>&1 || { echo "FAIL: having all"; exit 1; }
[ ! -s "$fake/said" ] || { echo "FAIL: having all, it said: $(cat "$fake/said")"; exit 1; }
echo PASS
