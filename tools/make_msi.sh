#!/usr/bin/env bash
# Makes the Windows Installer package from the Windows build, with wixl:
#
#   tools/make_msi.sh BUILD_WINDOWS_DIR OUT_DIR VERSION
#
# writes OUT_DIR/ulvane-server-VERSION-x64.msi (see
# tools/windows/ulvane_server.wxs.in for what it installs and does).
set -euo pipefail
build=$1
out=$2
version=$3
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build"/ulvane_*.exe "$top/README.md" "$top/examples/db/barcodes.ini" "$top/examples/db/formats.ini" "$work/"
sed "s/@VERSION@/$version/g" "$top/tools/windows/ulvane_server.wxs.in" > "$work/ulvane_server.wxs"
mkdir -p "$out"
(cd "$work" && wixl -a x64 -o ulvane.msi ulvane_server.wxs 2>&1 | grep -v "GLib-GObject-WARNING" >&2 || true)
[ -s "$work/ulvane.msi" ] || { echo "make_msi.sh: wixl made no package" >&2; exit 1; }
mv "$work/ulvane.msi" "$out/ulvane-server-$version-x64.msi"
echo "$out/ulvane-server-$version-x64.msi"
