#!/usr/bin/env bash
# The Debian package as an administrator uses it, on this machine, as root
# (CI's machine is thrown away afterwards): installed, the installed server
# started with its unit's command line and settings, as an unprivileged
# user as the unit's is, answers a terminal from /etc/ulvane between two
# network namespaces without a warning; the unit refuses a port no terminal
# can reach; an unattended upgrade to a newer version whose example changed
# asks nothing and keeps the shop's edited files, and so does a removal; a
# purge leaves nothing behind, and the package holds nothing outside the
# expected places. Before all that, an unattended upgrade from the previous
# release's real package, with the drop-in its README had shops write,
# keeps the server answering at the drop-in's port; an upgrade after which
# the server would not start stops it and fails, saying why.
#
#   tests/package_test.sh BUILD_DIR VERSION
#
# BUILD_DIR is a build made for the package (make package);
# ULVANE_PREVIOUS_DEB names the previous release's package
# (tools/build_previous_release.sh; without it that part is skipped). Exit
# status 77 (skipped) without root or dpkg.
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
rmem_max=$(cat /proc/sys/net/core/rmem_max)
# Linux's default limit, well below the server's queue, so that the
# installation's raising it is seen (given back at the end).
echo 212992 > /proc/sys/net/core/rmem_max
exporter=/var/lib/prometheus/node-exporter
made_exporter=
if [ ! -d "$exporter" ]; then mkdir -p "$exporter"; made_exporter=yes; fi
dropins=/etc/systemd/system/ulvane_server.service.d
made_systemd_run=
cleanup() {
  rm -rf "$dropins"
  if [ -n "$made_systemd_run" ]; then rmdir /run/systemd/system; fi
  # The server runs under strace: its child.
  if [ -n "$server_pid" ]; then
    pkill -P "$server_pid" 2>/dev/null || kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  two_hosts_down "$s" "$t"
  dpkg -P ulvane-server >/dev/null 2>&1 || true
  echo "$rmem_max" > /proc/sys/net/core/rmem_max || true
  if [ -n "$made_exporter" ]; then rm -rf /var/lib/prometheus; fi
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

# The server's command line as systemd makes it: the unit's Environment=,
# then /etc/default/ulvane-server, and the last ExecStart of the unit and
# its drop-ins.
unit=/lib/systemd/system/ulvane_server.service
unit_command() {
  local command settings
  command=$(cat "$unit" "$dropins"/*.conf 2>/dev/null | sed -n 's/^ExecStart=//p' | tail -n 1)
  settings=$(sed -n 's/^Environment=//p' "$unit")
  (set -a; eval "$settings"; . /etc/default/ulvane-server; eval "echo \"$command\"")
}
two_hosts_up "$s" "$t"

echo "== an upgrade from the previous release, with the drop-in its README had shops write"
first=$("$top/tools/make_deb.sh" "$build" "$work/first" "$version")
if [ -n "${ULVANE_PREVIOUS_DEB:-}" ]; then
  dpkg -i "$ULVANE_PREVIOUS_DEB" </dev/null >/dev/null
  previous=$(dpkg-query -W -f='${Version}' ulvane-server)
  dpkg --compare-versions "$version" gt "$previous" || fail "version $version is not above the previous release's $previous"
  mkdir -p "$dropins"
  # shellcheck disable=SC2016 # systemd expands it
  printf '[Service]\nExecStart=\nExecStart=/usr/bin/ulvane_server -db=${ULVANE_DB} -p=9001 -l=4 -stats=/run/ulvane_server/ulvane_server.prom\n' \
    > "$dropins/override.conf"
  printf '[0815]\nformat=price\ntag.description=the shop'"'"'s\ntag.price=1.00\n' >> /etc/ulvane/barcodes.ini
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$first" </dev/null >"$work/apt" 2>&1 ||
    fail "the upgrade from $previous did not go through unattended: $(cat "$work/apt")"
  [ "$(dpkg-query -W -f='${Version}' ulvane-server)" = "$version" ] || fail "not upgraded from $previous to $version"
  grep -q "now holds its port and log level" "$work/apt" || fail "the upgrade did not say what it took from the drop-in: $(cat "$work/apt")"
  grep -qx 'ULVANE_PORT=9001' /etc/default/ulvane-server || fail "/etc/default/ulvane-server: $(cat /etc/default/ulvane-server)"
  [ "$(unit_command)" = "/usr/bin/ulvane_server -db=/etc/ulvane -p=9001 -l=4 -stats=/run/ulvane_server/ulvane_server.prom" ] ||
    fail "the drop-in's command line after the upgrade: $(unit_command)"
  mkdir -p /run/ulvane_server && chown nobody:nogroup /run/ulvane_server # as systemd makes it for the unit's user
  # shellcheck disable=SC2046 # the unit's command line, split as systemd splits it
  ip netns exec "$s" setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs $(unit_command) 2>"$work/log" &
  server_pid=$!
  wait_for grep -q "Ready: answering at UDP port 9001 " "$work/log" || fail "no Ready line: $(cat "$work/log")"
  [ "$(ip netns exec "$t" /usr/bin/ulvane_scan -p=9001 10.77.0.1 0815)" = "the shop's\nPrice: 1.00" ] ||
    fail "no answer from the upgraded server: $(cat "$work/log")"
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=
  dpkg -P ulvane-server </dev/null >/dev/null
  rm -rf "$dropins" /run/ulvane_server
else
  echo "skipped: ULVANE_PREVIOUS_DEB names no package (tools/build_previous_release.sh OUT_DIR deb)"
fi

next=${version%.*}.$((${version##*.} + 1))
# The newer version's example formats.ini differs by a comment.
mkdir "$work/examples"
cp "$top/examples/db/barcodes.ini" "$work/examples/"
{ echo "# changed in $next"; cat "$top/examples/db/formats.ini"; } > "$work/examples/formats.ini"
newer=$(ULVANE_EXAMPLES_DIR=$work/examples "$top/tools/make_deb.sh" "$build" "$work/newer" "$next")

echo "== install"
dpkg -i "$first" </dev/null >/dev/null
unexpected=$(dpkg -L ulvane-server | grep -Ev '^(/\.|/usr|/usr/bin(/ulvane_[a-z]+)?|/usr/share|/usr/share/doc|/usr/share/doc/ulvane-server(/.*)?|/usr/share/ulvane-server(/examples(/(barcodes|formats)\.ini)?|/default)?|/usr/share/man|/usr/share/man/man1(/ulvane_[a-z]+\.1\.gz)?|/usr/lib|/usr/lib/sysctl\.d(/60-ulvane-server\.conf)?|/lib|/lib/systemd|/lib/systemd/system(/ulvane_server\.service)?)$' || true)
[ -z "$unexpected" ] || fail "files outside the expected places: $unexpected"
[ -z "$(dpkg-query -W -f='${Conffiles}' ulvane-server)" ] || fail "conffiles: the shop's files must never be asked about"
cmp -s /etc/ulvane/barcodes.ini "$top/examples/db/barcodes.ini" || fail "no example barcodes.ini in /etc/ulvane"
cmp -s /etc/default/ulvane-server "$top/tools/debian/default" || fail "no /etc/default/ulvane-server"
[ "$(readlink "$exporter/ulvane_server.prom")" = /run/ulvane_server/ulvane_server.prom ] || fail "no link for node exporter"
[ "$(cat /proc/sys/net/core/rmem_max)" -ge 8388608 ] || fail "the receive queue's limit was not raised"
for program in ulvane_server ulvane_scan ulvane_check ulvane_report ulvane_export ulvane_import; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
  [ -f "/usr/share/man/man1/$program.1.gz" ] || fail "no man page for $program"
done
for program in ulvane_server ulvane_scan ulvane_check ulvane_report ulvane_export ulvane_import; do
  [ "$("/usr/bin/$program" -version)" = "$program $version" ] || fail "$program -version"
done
[[ "$(dpkg-query -W -f='${Depends}' ulvane-server)" == *"libc6 (>= "*"libstdc++6 (>= "* ]] || fail "the Depends field"
# Marked enabled, here where systemd does not run as well.
[ -L /etc/systemd/system/multi-user.target.wants/ulvane_server.service ] || fail "the unit is not enabled"

echo "== the unit refuses a port no terminal can reach"
check=$(sed -n "s/^ExecStartPre=\/bin\/sh -c '\(.*\)'$/\1/p" "$unit")
[ -n "$check" ] || fail "no port check in the unit"
for port in 9000 1 65535 09000; do
  ULVANE_PORT=$port sh -c "$check" || fail "ULVANE_PORT=$port refused"
done
for port in 0 65536 70000 abc 90O0 -1 +9000 ' 9000' '' 99999999999999999999; do
  if ULVANE_PORT=$port sh -c "$check" 2>"$work/refused"; then fail "ULVANE_PORT=$port taken"; fi
  grep -q "is not a number from 1 to 65535" "$work/refused" || fail "ULVANE_PORT=$port: $(cat "$work/refused")"
done

echo "== an upgrade after which the server does not start stops it and fails, saying why"
# systemd as postinst sees it (it runs nowhere here): the restarted server's
# journal says Ready, or "not found" after a restart, or (at log level 2)
# nothing, with its metrics file written or not.
if [ ! -d /run/systemd/system ]; then mkdir -p /run/systemd/system; made_systemd_run=yes; fi
fake=$work/fake
mkdir -p "$fake"
printf '#!/bin/sh\ncase "$*" in *is-active*) echo active ;; *NRestarts*) cat "$0.restarts" ;; esac\n' > "$fake/systemctl"
printf '#!/bin/sh\ncat "$0.says"\n' > "$fake/journalctl"
printf '#!/bin/sh\necho "$*" >> "$0.asked"\n' > "$fake/deb-systemd-invoke"
chmod +x "$fake"/*
for case in "Ready: answering at UDP port 9000|0|" 'barcodes file "./barcodes.ini" not found|1|' "|0|metrics" "|0|"; do
  IFS='|' read -r journal failing metrics <<< "$case"
  rm -rf /run/ulvane_server
  [ -z "$metrics" ] || { mkdir -p /run/ulvane_server && touch -d "@$(($(date +%s) + 5))" /run/ulvane_server/ulvane_server.prom; }
  echo "$journal" > "$fake/journalctl.says"
  echo "$failing" > "$fake/systemctl.restarts"
  : > "$fake/deb-systemd-invoke.asked"
  status=0
  PATH=$fake:$PATH DPKG_MAINTSCRIPT_PACKAGE=ulvane-server DPKG_MAINTSCRIPT_NAME=postinst \
    /var/lib/dpkg/info/ulvane-server.postinst configure 1.0.0 </dev/null 2>"$work/said" || status=$?
  stopped=$(grep -cx "stop ulvane_server.service" "$fake/deb-systemd-invoke.asked" || true)
  said=$(grep -c "does not start, and is stopped\|$journal" "$work/said" || true)
  [ "$status $stopped $said" = "$failing $failing $((2 * failing))" ] || fail "$case: $status $stopped $(cat "$work/said")"
done
rm -rf /run/ulvane_server
if [ -n "$made_systemd_run" ]; then rmdir /run/systemd/system; made_systemd_run=; fi

echo "== the installed server answers a terminal"
# The unit's command line with its settings, as systemd makes it.
sed -i -e 's/^ULVANE_PORT=.*/ULVANE_PORT=9005/' -e 's/^ULVANE_LOG_LEVEL=.*/ULVANE_LOG_LEVEL=4/' \
  -e 's|^ULVANE_ALLOW=.*|ULVANE_ALLOW=10.77.0.0/24|' /etc/default/ulvane-server
command=$(unit_command)
[ "$command" = "/usr/bin/ulvane_server -db=/etc/ulvane -p=9005 -l=4 -listen=any -allow=10.77.0.0/24 -stats=/run/ulvane_server/ulvane_server.prom" ] ||
  fail "the unit's command line: $command"
runtime=$(sed -n 's/^RuntimeDirectory=//p' "$unit")
mkdir -p "/run/$runtime" # as systemd makes it, for the service's own user
chown nobody:nogroup "/run/$runtime"
# As the unit runs it: a user of its own, no capabilities, no new
# privileges; every system call it makes traced, to be held against the
# unit's restrictions below.
# shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
ip netns exec "$s" strace -f -qq -o "$work/trace" setpriv --reuid=nobody --regid=nogroup --clear-groups \
  --no-new-privs --bounding-set=-all --inh-caps=-all $command 2>"$work/log" &
server_pid=$!
wait_for grep -q "Ready: answering at UDP port 9005 with .* (ulvane_server $version)\.$" "$work/log" ||
  fail "no Ready line: $(cat "$work/log")"
! grep -q "WRN" "$work/log" || fail "a warning at the start: $(cat "$work/log")"
grep -q "INF\] Listening at every address; answering 10.77.0.0/24\.$" "$work/log" || fail "whom it answers: $(cat "$work/log")"
answer=$(ip netns exec "$t" /usr/bin/ulvane_scan -p=9005 10.77.0.1 4006381333931)
[ "$answer" = 'Ballpoint pen, blue\nPrice: 0.89' ] || fail "the answer: $answer"
# A reload, a reopening of the log, the statistics, the stop.
touch /etc/ulvane/barcodes.ini
ip netns exec "$t" /usr/bin/ulvane_scan -p=9005 10.77.0.1 4006381333931 >/dev/null || fail "no answer after a reload"
traced=$(pgrep -P "$server_pid")
kill -HUP "$traced"
kill -USR1 "$traced"
wait_for grep -q "INF\] Statistics since" "$work/log" || fail "no statistics: $(cat "$work/log")"
kill "$traced"
wait "$server_pid" 2>/dev/null || true
server_pid=
grep -qx 'ulvane_answered_total{port="9005"} 2' "/run/$runtime/ulvane_server.prom" ||
  fail "no metrics in the unit's runtime directory: $(ls -l "/run/$runtime") $(cat "$work/log")"
rm -r "/run/${runtime:?}"

echo "== the unit's restrictions hold what the server does"
systemd-analyze verify "$unit" >"$work/verify" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify")"
exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for ulvane_server.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure, more than 2.0"
# The server's own calls, from its exec on (setpriv's come before). strace
# pads a line's PID to five places: "123   openat(" and "12345 openat(".
sed -n '/execve("\/usr\/bin\/ulvane_server"/,$p' "$work/trace" > "$work/server_trace"
calls=$(sed -n 's/^[0-9]\+ \+\([a-z0-9_]*\)(.*/\1/p' "$work/server_trace" | sort -u)
[ -n "$calls" ] || fail "no system calls traced"
# SystemCallFilter: the sets it allows, less those it denies.
expand() {
  systemd-analyze syscall-filter "$1" 2>/dev/null | sed -e 's/^ *//' -e '/^#/d' -e '/^$/d' | while read -r name; do
    case $name in @*) [ "$name" != "$1" ] && expand "$name" ;; *) echo "$name" ;; esac
  done
}
filters=$(sed -n 's/^SystemCallFilter=//p' "$unit")
allowed=$(for set in $(echo "$filters" | grep -v '^~'); do expand "$set"; done | sort -u)
denied=$(for set in $(echo "$filters" | sed -n 's/^~//p'); do expand "$set"; done | sort -u)
for call in $calls; do
  # fchown: the metrics file keeps its owner where it can; EPERM leaves it ours.
  [ "$call" = fchown ] && continue
  echo "$allowed" | grep -qx "$call" || fail "the server calls $call, which SystemCallFilter does not allow"
  ! echo "$denied" | grep -qx "$call" || fail "the server calls $call, which SystemCallFilter denies"
done
families=$(sed -n 's/^[0-9]\+ \+socket(\(AF_[A-Z0-9]*\).*/\1/p' "$work/server_trace" | sort -u)
for family in $families; do
  grep -q "^RestrictAddressFamilies=.*$family" "$unit" || fail "the server opens $family sockets"
done
# ProtectSystem=strict, ReadOnlyPaths=/etc/ulvane: it writes in its runtime directory alone.
written=$(grep -E '^[0-9]+ +(open|openat|creat)\(.*O_(WRONLY|RDWR|CREAT)' "$work/server_trace" | grep -v ' = -1 ' |
            grep -v "\"/run/$runtime/" | grep -v '"/dev/null"' || true)
[ -z "$written" ] || fail "the server writes outside /run/$runtime: $written"
# ProtectProc=invisible, ProcSubset=pid: of /proc, its own entries alone.
proc=$(grep -oE '"/proc/[^"]*"' "$work/server_trace" | grep -v '^"/proc/self/' || true)
[ -z "$proc" ] || fail "the server reads /proc beyond its own entries: $proc"

echo "== an unattended upgrade asks nothing; the shop's files survive it and a removal"
printf '[0815]\nformat=price\ntag.description=edited by the shop\ntag.price=1.00\n' >> /etc/ulvane/barcodes.ini
printf '# the shop'"'"'s own\n' >> /etc/ulvane/formats.ini
shop_files() { md5sum /etc/ulvane/barcodes.ini /etc/ulvane/formats.ini /etc/default/ulvane-server; }
edited=$(shop_files)
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$newer" </dev/null >"$work/apt" 2>&1 ||
  fail "the upgrade did not go through unattended: $(cat "$work/apt")"
[ "$(dpkg-query -W -f='${Version} ${Status}' ulvane-server)" = "$next install ok installed" ] || fail "not upgraded to $next"
[ "$(shop_files)" = "$edited" ] || fail "the upgrade changed the shop's files"
# A database with one file left is the shop's still: nothing is copied over it.
mv /etc/ulvane/formats.ini "$work/formats.ini"
/var/lib/dpkg/info/ulvane-server.postinst configure "$next" </dev/null >/dev/null
[ ! -e /etc/ulvane/formats.ini ] || fail "postinst copied the example beside the shop's barcodes.ini"
mv "$work/formats.ini" /etc/ulvane/formats.ini
# An earlier release's /etc/default/ulvane-server gets the settings added since.
sed -i '/ULVANE_LISTEN\|ULVANE_ALLOW/d' /etc/default/ulvane-server
/var/lib/dpkg/info/ulvane-server.postinst configure "$next" </dev/null >/dev/null
[ "$(grep -c '^ULVANE_LISTEN=any$\|^ULVANE_ALLOW=any$\|^ULVANE_PORT=9005$' /etc/default/ulvane-server)" = 3 ] ||
  fail "the settings added since: $(cat /etc/default/ulvane-server)"
cp "$top/tools/debian/default" "$work/default"
sed -i -e 's/^ULVANE_PORT=.*/ULVANE_PORT=9005/' -e 's/^ULVANE_LOG_LEVEL=.*/ULVANE_LOG_LEVEL=4/' -e 's|^ULVANE_ALLOW=.*|ULVANE_ALLOW=10.77.0.0/24|' "$work/default"
cp "$work/default" /etc/default/ulvane-server
dpkg -r ulvane-server </dev/null >/dev/null
[ ! -e /usr/bin/ulvane_server ] || fail "dpkg -r left the programs"
[ ! -L "$exporter/ulvane_server.prom" ] || fail "dpkg -r left the link in node exporter's directory"
[ "$(shop_files)" = "$edited" ] || fail "dpkg -r changed the shop's files"

echo "== a purge leaves nothing behind"
dpkg -P ulvane-server </dev/null >/dev/null
left=$(find / -xdev \( -path /proc -o -path /sys -o -path /tmp -o -path /work -o -path /root -o -path "$top" \) -prune \
         -o -name '*ulvane*' -print)
[ -z "$left" ] || fail "left behind: $left"
echo "PASS"
