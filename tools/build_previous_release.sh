#!/usr/bin/env bash
# Builds the packages of the release before this one from its commit
# (tools/previous_release names it; cutting a release names that release's
# commit there), for the tests of an upgrade from it:
#
#   tools/build_previous_release.sh OUT_DIR deb|msi...
#
# writes OUT_DIR/previous.deb and OUT_DIR/previous.msi, each built as that
# release built it (its own Makefile's flags, its make_deb.sh, make_msi.sh).
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(cat "$top/tools/previous_release")
src=$out/source
rm -rf "$src"
mkdir -p "$src"
git -C "$top" archive "$commit" | tar -x -C "$src"
programs="ulvane_server ulvane_scan ulvane_check ulvane_report ulvane_export ulvane_import"
version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }
for kind in "$@"; do
  case $kind in
    deb)
      make -C "$src" package >"$out/deb.log" 2>&1 || { tail -n 30 "$out/deb.log" >&2; exit 1; }
      cp "$src"/build-package/ulvane-server_*_amd64.deb "$out/previous.deb" ;;
    msi)
      (cd "$src" && cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release &&
         cmake --build build-windows -j "$(nproc)" --target $programs ulvane_service &&
         tools/make_msi.sh build-windows build-windows "$(version_of build-windows)") >"$out/msi.log" 2>&1 ||
        { tail -n 30 "$out/msi.log" >&2; exit 1; }
      cp "$src"/build-windows/ulvane-server-*-x64.msi "$out/previous.msi" ;;
    *) echo "usage: tools/build_previous_release.sh OUT_DIR deb|msi..." >&2; exit 2 ;;
  esac
done
