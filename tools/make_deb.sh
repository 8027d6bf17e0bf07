#!/usr/bin/env bash
# Makes the Debian package from a build configured for it (see `make
# package`: prefix /usr, the documents in /usr/share/doc/ulvane-server, the
# unit in /lib/systemd/system):
#
#   tools/make_deb.sh BUILD_DIR OUT_DIR VERSION
#
# writes OUT_DIR/ulvane-server_VERSION_amd64.deb: the programs (stripped),
# the systemd unit, the example database and the template of
# /etc/default/ulvane-server in /usr/share/ulvane-server (postinst copies
# them into /etc only where nothing is there: the shop's files are no
# conffiles, so no upgrade ever asks about them or replaces them), the
# receive queue's limit for sysctl, the documents with copyright and
# changelog.gz, a man page for each program, and the maintainer scripts of
# tools/debian/. ULVANE_EXAMPLES_DIR names another example database (the
# package test's).
set -euo pipefail
build=$1
out=$2
version=$3
top=$(cd "$(dirname "$0")/.." && pwd)
examples=${ULVANE_EXAMPLES_DIR:-$top/examples/db}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
umask 022

DESTDIR=$root cmake --install "$build" >/dev/null
for program in "$root"/usr/bin/*; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$program"
done

share=$root/usr/share/ulvane-server
install -d "$share/examples" "$root/usr/lib/sysctl.d"
install -m 644 "$examples/barcodes.ini" "$examples/formats.ini" "$share/examples/"
install -m 644 "$top/tools/debian/default" "$share/default"
install -m 644 "$top/tools/debian/sysctl.conf" "$root/usr/lib/sysctl.d/60-ulvane-server.conf"

doc=$root/usr/share/doc/ulvane-server
install -m 644 "$top/tools/debian/copyright" "$doc/copyright"
gzip -9n < "$top/tools/debian/changelog" > "$doc/changelog.gz"
gzip -9n "$root"/usr/share/man/man1/*.1

install -d "$root/DEBIAN"
install -m 755 "$top/tools/debian/postinst" "$top/tools/debian/prerm" "$top/tools/debian/postrm" "$root/DEBIAN/"
# The libraries the programs need, as dpkg-shlibdeps finds them.
mkdir -p "$work/src/debian"
printf 'Source: ulvane-server\n\nPackage: ulvane-server\nArchitecture: any\n' > "$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O "$root"/usr/bin/* 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$top/tools/debian/control.in" > "$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
  > "$root/DEBIAN/md5sums"

mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/ulvane-server_${version}_amd64.deb" >/dev/null
echo "$out/ulvane-server_${version}_amd64.deb"
