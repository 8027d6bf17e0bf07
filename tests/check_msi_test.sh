#!/usr/bin/env bash
# tools/check_msi.py passes the package make_msi.sh makes, and fails each
# of its tables broken as a packer or an edit could break it, naming the
# rule.
#
#   tests/check_msi_test.sh WINDOWS_BUILD_DIR VERSION
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package=$("$top/tools/make_msi.sh" "$1" "$work" "$2")
python3 "$top/tools/check_msi.py" "$package" || { echo "FAIL: the package as made"; exit 1; }
failed=0
while IFS='|' read -r change rule; do
  cp "$package" "$work/broken.msi"
  msibuild "$work/broken.msi" -q "$change"
  if python3 "$top/tools/check_msi.py" "$work/broken.msi" >"$work/said"; then
    echo "FAIL: passed with $change"; failed=1
  elif ! grep -q "$rule" "$work/said"; then
    echo "FAIL: $change: $(cat "$work/said")"; failed=1
  fi
done <<'CASES'
UPDATE `InstallExecuteSequence` SET `Sequence` = 1 WHERE `Action` = 'RemoveService'|ICE77: deferred custom action RemoveService at 1
UPDATE `InstallExecuteSequence` SET `Sequence` = 6601 WHERE `Action` = 'SetupDone'|ICE77: deferred custom action SetupDone
UPDATE `InstallExecuteSequence` SET `Sequence` = 0 WHERE `Action` = 'SetupService'|SetupService has sequence 0
DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'UndoSetup'|UndoSetup is in no sequence
UPDATE `InstallExecuteSequence` SET `Sequence` = 1650 WHERE `Action` = 'RemoveExistingProducts'|ICE63
UPDATE `InstallExecuteSequence` SET `Sequence` = 4001 WHERE `Action` = 'InstallFiles'|share sequence 4001
UPDATE `InstallExecuteSequence` SET `Sequence` = 3450 WHERE `Action` = 'InstallFiles'|ICE27: RemoveFiles (3500) must come before InstallFiles
UPDATE `Property` SET `Value` = '1.0.70000' WHERE `Property` = 'ProductVersion'|ProductVersion '1.0.70000'
UPDATE `Property` SET `Value` = 'WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'|WIX_DOWNGRADE_DETECTED is not among
UPDATE `CustomAction` SET `Type` = 1042 WHERE `Action` = 'RemoveService'|RemoveService does not run deferred as LocalSystem
UPDATE `CustomAction` SET `Target` = 'setup "-p=[PORT]"' WHERE `Action` = 'SetupService'|SetupService does not pass
CASES
[ $failed = 0 ] && echo PASS
exit $failed
