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
# wixl writes every custom action as deferred: UndoSetup becomes the rollback
# of SetupService, SetupDone its commit (the type's bits 0x100 and 0x200;
# msibuild is msitools', wixl's own project).
for change in "UndoSetup 256" "SetupDone 512"; do
  set -- $change
  type=$(msiinfo export "$work/ulvane.msi" CustomAction | awk -v a="$1" '$1 == a { print $2 }')
  [ -n "$type" ] || { echo "make_msi.sh: no custom action $1" >&2; exit 1; }
  msibuild "$work/ulvane.msi" -q "UPDATE \`CustomAction\` SET \`Type\` = $((type | $2)) WHERE \`Action\` = '$1'"
done
# Windows Installer's rules on the tables, which Wine does not check.
python3 "$top/tools/check_msi.py" "$work/ulvane.msi" >&2 || { echo "make_msi.sh: the package breaks the rules above" >&2; exit 1; }
mv "$work/ulvane.msi" "$out/ulvane-server-$version-x64.msi"
echo "$out/ulvane-server-$version-x64.msi"
