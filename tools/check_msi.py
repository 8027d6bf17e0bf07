#!/usr/bin/env python3
"""Checks a Windows Installer package's tables against the rules of Windows
Installer's validation (the ICE rules) that bear on this package and that
Wine does not enforce; a package that breaks one fails on a real machine.

    check_msi.py PACKAGE.msi

Reads the tables with msiinfo (msitools). Prints each broken rule and ends
with status 1, or prints nothing and ends with 0."""
import subprocess
import sys

IN_SCRIPT = 0x400  # a deferred, rollback or commit custom action
NO_IMPERSONATE = 0x800  # runs as LocalSystem, not as the user

# The actions that register the service and make or remove its firewall
# rule: as LocalSystem (a user's rights make neither), and the setup with
# the properties that the rule and the server take.
SYSTEM_ACTIONS = ["SetupService", "UndoSetup", "RemoveService"]
SETUP_ARGUMENTS = ['"-p=[PORT]"', '"-listen=[LISTEN]"', '"-allow=[ALLOW]"']

# Standard actions in the order Windows Installer requires among those
# present (ICE27's order, as far as this package uses it).
STANDARD_ORDER = ["FindRelatedProducts", "AppSearch", "LaunchConditions", "CostInitialize", "FileCost", "CostFinalize",
                  "InstallValidate", "InstallInitialize", "ProcessComponents", "UnpublishFeatures",
                  "StopServices", "DeleteServices", "RemoveFiles", "InstallFiles", "StartServices",
                  "RegisterProduct", "PublishFeatures", "PublishProduct", "InstallFinalize"]


def table(package, name):
    """The rows of a table as lists of columns, without its three header lines."""
    out = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.split("\r\n" if "\r\n" in out else "\n")[3:] if line]


def problems(package):
    sequence = {row[0]: int(row[2]) for row in table(package, "InstallExecuteSequence")}
    rows = table(package, "CustomAction")
    actions = {row[0]: int(row[1]) for row in rows}
    targets = {row[0]: row[3] if len(row) > 3 else "" for row in rows}
    properties = {row[0]: row[1] for row in table(package, "Property")}
    found = []
    for number in set(sequence.values()):
        sharing = sorted(a for a, n in sequence.items() if n == number)
        if len(sharing) > 1:
            found.append(f"actions {', '.join(sharing)} share sequence {number}: their order is the packer's")
    start, end = sequence.get("InstallInitialize"), sequence.get("InstallFinalize")
    if start is None or end is None:
        return found + ["no InstallInitialize or InstallFinalize in InstallExecuteSequence"]
    for action, kind in actions.items():
        if action not in sequence:
            found.append(f"custom action {action} is in no sequence")
        elif sequence[action] <= 0:
            found.append(f"custom action {action} has sequence {sequence[action]}: none stated")
        elif kind & IN_SCRIPT and not start < sequence[action] < end:
            found.append(f"ICE77: deferred custom action {action} at {sequence[action]} is not between "
                         f"InstallInitialize ({start}) and InstallFinalize ({end})")
    for action in SYSTEM_ACTIONS:
        if action not in actions or not actions[action] & IN_SCRIPT or not actions[action] & NO_IMPERSONATE:
            found.append(f"custom action {action} does not run deferred as LocalSystem: it cannot set the service "
                         "and its firewall rule up")
    missing = [a for a in SETUP_ARGUMENTS if a not in targets.get("SetupService", "")]
    if missing:
        found.append(f"custom action SetupService does not pass {', '.join(missing)}: the service and its firewall "
                     "rule would not follow those properties")
    present = [a for a in STANDARD_ORDER if a in sequence]
    for before, after in zip(present, present[1:]):
        if sequence[before] >= sequence[after]:
            found.append(f"ICE27: {before} ({sequence[before]}) must come before {after} ({sequence[after]})")
    rep = sequence.get("RemoveExistingProducts")
    if rep is not None:
        between = [a for a, n in sequence.items() if start < n < rep]
        validate = sequence.get("InstallValidate", 0)
        after_execute = [sequence[a] for a in ("InstallExecute", "InstallExecuteAgain") if a in sequence]
        if not (validate < rep < start or (start < rep and not between and rep < end)
                or any(n < rep < end and not [a for a, m in sequence.items() if n < m < rep] for n in after_execute)
                or rep > end):
            found.append(f"ICE63: RemoveExistingProducts at {rep} is not where Windows Installer allows it")
    for row in table(package, "Upgrade"):
        prop = row[6]
        if prop and prop not in properties.get("SecureCustomProperties", "").split(";"):
            found.append(f"Upgrade property {prop} is not among SecureCustomProperties")
    fields = properties.get("ProductVersion", "").split(".")
    limits = (255, 255, 65535)
    if not (3 <= len(fields) <= 4 and all(f.isdigit() for f in fields)
            and all(int(f) <= most for f, most in zip(fields, limits))):
        found.append(f"ProductVersion {properties.get('ProductVersion')!r} is no MAJOR.MINOR.BUILD of at most "
                     "255.255.65535")
    return found


def main():
    found = problems(sys.argv[1])
    for problem in found:
        print(f"{sys.argv[1]}: {problem}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
