#!/usr/bin/env bash
# Installs the Debian packages a step needs that this machine lacks:
#
#   tools/install_packages.sh run|test|ci|bench
#
# run: building the programs (make run, make all); test: make test as well;
# ci: every stage of .ci/run (fuzzers, the Windows build under Wine, both
# packages, the page in Chromium, the exporter); bench: bench/load_test.sh's
# peer (a DNS forwarder) and its count of system calls (perf). As root it runs apt-get;
# otherwise it says the one command to run, and fails. The one list of
# what the project needs from Debian.
set -euo pipefail
run=(cmake make g++ zlib1g-dev)
test=("${run[@]}" libgtest-dev libbenchmark-dev iproute2 python3)
ci=("${test[@]}" clang libclang-rt-14-dev googletest g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64
    chromium dpkg-dev lintian wixl msitools python3-prometheus-client prometheus-node-exporter strace)
bench=("${test[@]}" dnsmasq-base linux-perf)
case "${1:-}" in
  run) wanted=("${run[@]}") ;;
  test) wanted=("${test[@]}") ;;
  ci) wanted=("${ci[@]}") ;;
  bench) wanted=("${bench[@]}") ;;
  *) echo "usage: tools/install_packages.sh run|test|ci|bench" >&2; exit 2 ;;
esac
missing=()
for package in "${wanted[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "make $1 needs Debian packages this machine lacks; install them with:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]}" >&2
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
