#!/usr/bin/python3
"""The docs as a reader follows them: every relative link in the README and
docs/ names a file that exists and, after a #, a heading in it; each
PowerShell recipe finds the 64-bit Program Files from 32-bit PowerShell and
does not take a bridge that never ran for a success; the recipes keep what
their agents need; and the textfile sample and its alert rules pass
Prometheus' promtool, and are what the script writes.

  docs_test.py SOURCE
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE = sys.argv[1]
LINK = re.compile(r"\]\(([^)\s]+)\)")
failures = []


def slug(heading):
    """The anchor GitHub makes of a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def prose(path):
    """The file's lines outside fenced code blocks."""
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced:
            yield line


def anchors(path):
    return {slug(line.lstrip("#")) for line in prose(path) if line.startswith("#")}


pages = [os.path.join(SOURCE, "README.md")] + sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md")))
for page in pages:
    for line in prose(page):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            name = f"{os.path.relpath(page, SOURCE)}: {target}"
            if not os.path.isfile(linked):
                failures.append(f"{name}: no such file")
            elif anchor and anchor not in anchors(linked):
                failures.append(f"{name}: no such heading")

for script in sorted(glob.glob(os.path.join(SOURCE, "examples", "*.ps1"))):
    text = open(script, encoding="utf-8").read()
    name = os.path.relpath(script, SOURCE)
    if "if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }" not in text:
        failures.append(f"{name}: does not find Program Files through ProgramW6432")
    # A bridge that never ran leaves $LASTEXITCODE $null: "exit $null" is 0.
    if "$LASTEXITCODE" in text and (
            "$global:LASTEXITCODE = $null" not in text or "($null -eq $LASTEXITCODE)" not in text):
        failures.append(f"{name}: reads $LASTEXITCODE without a guard for $null")

# (file, text, whether it must be there, why)
RECIPES = [
    ("examples/quarvel-detect.ps1", "exit 2", False, "Intune remediations know only exit codes 0 and 1"),
    ("examples/quarvel-detect.ps1", 'Write-Output "UNKNOWN: $out"; exit 1', True, "a failed bridge is UNKNOWN, 1"),
    ("examples/quarvel-status.ps1", "[ValidateSet('STATUS', 'START', 'STOP', 'CLOSE')]", True,
     "a mistyped keyword would run nothing and exit 0"),
    ("examples/register-start-task.ps1", "IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)", True,
     "registering a SYSTEM task needs elevation"),
    ("examples/register-textfile-task.ps1", "IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)",
     True, "registering a SYSTEM task needs elevation"),
    ("examples/quarvel-textfile.ps1", "Move-Item", False, "it deletes the old file before the new one arrives"),
    ("examples/quarvel-textfile.ps1", "[IO.File]::Replace($temp, $target, $null)", True, "an atomic replace"),
    ("examples/check_quarvel.cmd", r'set "OUT=%TEMP%\check_quarvel-%STAMP%-%RANDOM%', True,
     "%RANDOM% alone repeats within a second"),
    ("examples/zabbix/quarvel_by_quarctl.yaml", "value_type: CHAR", True, "a Numeric item refuses sentences"),
    ("docs/examples.md", "is missing from some", False, "timeout refuses to run without a console"),
    ("docs/examples.md", "call close-and-wait.cmd", True, "a batch file that runs another without call ends"),
    ("README.md", "(sic)", True, "the spelling is the application's own"),
    ("docs/release.md", "/norestart", True, "a silent install must not restart the machine"),
]
for path, text, wanted, why in RECIPES:
    with open(os.path.join(SOURCE, path), encoding="utf-8") as recipe:
        if (text in recipe.read()) != wanted:
            failures.append(f"{path}: {'lacks' if wanted else 'has'} {text!r}: {why}")


def fenced_after(path, marker):
    """The first fenced block after the line that holds marker."""
    lines = open(path, encoding="utf-8").read().split("\n")
    start = next(i for i, line in enumerate(lines) if marker in line)
    opening = next(i for i in range(start, len(lines)) if lines[i].startswith("```"))
    closing = next(i for i in range(opening + 1, len(lines)) if lines[i].startswith("```"))
    return "\n".join(lines[opening + 1:closing]) + "\n"


fleet = os.path.join(SOURCE, "docs", "fleet.md")
sample = fenced_after(fleet, "0/1 gauge per condition")
rules = fenced_after(fleet, "In Prometheus' rules")
writer = open(os.path.join(SOURCE, "examples", "quarvel-textfile.ps1"), encoding="utf-8").read()
for line in sample.splitlines():
    # Comments are literal in the script; a sample's value is a variable there.
    written = f"'{line}'" if line.startswith("#") else f'"{line.split()[0]} $'
    if written not in writer:
        failures.append(f"quarvel-textfile.ps1 does not write the sample's line {line!r}")
promtool = shutil.which("promtool")
if promtool:
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as rule_file:
        rule_file.write(rules)
        rule_file.flush()
        for argv, text in ((["check", "metrics"], sample), (["check", "rules", rule_file.name], None)):
            check = subprocess.run([promtool] + argv, input=text, capture_output=True, text=True)
            # check metrics prints nothing for a clean file, and its lint findings otherwise.
            if check.returncode != 0 or (text and (check.stdout + check.stderr).strip()):
                failures.append(f"promtool {' '.join(argv[:2])}: {check.stdout}{check.stderr}")
else:
    print("promtool is not installed: the textfile sample and its rules are not checked")

for failure in failures:
    print("FAILED  " + failure)
print(f"{len(pages)} pages checked" if not failures else f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
