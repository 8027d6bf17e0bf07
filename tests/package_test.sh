#!/usr/bin/env bash
# The Debian package as an administrator uses it, on this machine, as root
# (CI's machine is thrown away afterwards): installed, the installed server
# started with its unit's command line answers a terminal from /etc/ulvane
# between two network namespaces, an edit of the database survives an
# upgrade to a newer version and a removal, a purge leaves nothing behind,
# and the package holds nothing outside the expected places.
#
#   tests/package_test.sh BUILD_DIR VERSION
#
# BUILD_DIR is a build made for the package (make package). Exit status 77
# (skipped) without root or dpkg.
set -euo pipefail
build=$1
version=$2
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
  echo "skipped: needs root and dpkg"
  exit 77
fi
if dpkg -s ulvane-server >/dev/null 2>&1; then
  echo "ulvane-server is installed on this machine: this test installs and purges it, so it does not run here" >&2
  exit 1
fi
. "$top/tools/two_hosts.sh"
work=$(mktemp -d)
s=ulvpkg-s-$$
t=ulvpkg-t-$$
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  two_hosts_down "$s" "$t"
  dpkg -P ulvane-server >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Waits up to 10 s for a command to succeed.
wait_for() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done
  return 1
}

next=${version%.*}.$((${version##*.} + 1))
first=$("$top/tools/make_deb.sh" "$build" "$work/first" "$version")
newer=$("$top/tools/make_deb.sh" "$build" "$work/newer" "$next")

echo "== install"
dpkg -i "$first" </dev/null >/dev/null
unexpected=$(dpkg -L ulvane-server | grep -Ev '^(/\.|/etc|/etc/ulvane(/(barcodes|formats)\.ini)?|/usr|/usr/bin(/ulvane_[a-z]+)?|/usr/share|/usr/share/doc|/usr/share/doc/ulvane-server(/.*)?|/usr/share/man|/usr/share/man/man1(/ulvane_[a-z]+\.1\.gz)?|/lib|/lib/systemd|/lib/systemd/system(/ulvane_server\.service)?)$' || true)
[ -z "$unexpected" ] || fail "files outside the expected places: $unexpected"
for program in ulvane_server ulvane_scan ulvane_check ulvane_report ulvane_export ulvane_import; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
  [ -f "/usr/share/man/man1/$program.1.gz" ] || fail "no man page for $program"
done
[ "$(/usr/bin/ulvane_check -version)" = "ulvane_check $version" ] || fail "ulvane_check -version"
[[ "$(dpkg-query -W -f='${Depends}' ulvane-server)" == *"libc6 (>= "*"libstdc++6 (>= "* ]] || fail "the Depends field"
# Marked enabled, here where systemd does not run as well.
[ -L /etc/systemd/system/multi-user.target.wants/ulvane_server.service ] || fail "the unit is not enabled"

echo "== the installed server answers a terminal"
command=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/ulvane_server.service)
command=${command//'${ULVANE_DB}'/$(sed -n 's/^Environment=ULVANE_DB=//p' /lib/systemd/system/ulvane_server.service)}
[[ "$command" == "/usr/bin/ulvane_server -db=/etc/ulvane "* ]] || fail "the unit's command line: $command"
two_hosts_up "$s" "$t"
runtime=$(sed -n 's/^RuntimeDirectory=//p' /lib/systemd/system/ulvane_server.service)
mkdir -p "/run/$runtime" # as systemd makes it
# shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
ip netns exec "$s" $command 2>"$work/log" &
server_pid=$!
wait_for grep -q "Ready: answering at UDP port 9000 with .* (ulvane_server $version)\.$" "$work/log" ||
  fail "no Ready line: $(cat "$work/log")"
answer=$(ip netns exec "$t" /usr/bin/ulvane_scan 10.77.0.1 4006381333931)
[ "$answer" = 'Ballpoint pen, blue\nPrice: 0.89' ] || fail "the answer: $answer"
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
grep -qx 'ulvane_answered_total 1' "/run/$runtime/ulvane_server.prom" ||
  fail "no metrics in the unit's runtime directory: $(ls -l "/run/$runtime") $(cat "$work/log")"
rm -r "/run/${runtime:?}"

echo "== an edited database survives an upgrade and a removal"
printf '[0815]\nformat=price\ntag.description=edited by the shop\ntag.price=1.00\n' >> /etc/ulvane/barcodes.ini
edited=$(md5sum /etc/ulvane/barcodes.ini)
dpkg -i "$newer" </dev/null >/dev/null
[ "$(dpkg-query -W -f='${Version}' ulvane-server)" = "$next" ] || fail "not upgraded to $next"
[ "$(md5sum /etc/ulvane/barcodes.ini)" = "$edited" ] || fail "the upgrade changed the edited barcodes.ini"
dpkg -r ulvane-server </dev/null >/dev/null
[ ! -e /usr/bin/ulvane_server ] || fail "dpkg -r left the programs"
[ "$(md5sum /etc/ulvane/barcodes.ini)" = "$edited" ] || fail "dpkg -r changed the edited barcodes.ini"

echo "== a purge leaves nothing behind"
dpkg -P ulvane-server </dev/null >/dev/null
left=$(find / -xdev \( -path /proc -o -path /sys -o -path /tmp -o -path /work -o -path /root -o -path "$top" \) -prune \
         -o -name '*ulvane*' -print)
[ -z "$left" ] || fail "left behind: $left"
echo "PASS"
