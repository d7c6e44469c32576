#!/usr/bin/python3
"""The docs as a reader follows them: every relative link in the README and
docs/ names a file that exists and, after a #, a heading in it; and each
PowerShell recipe finds the 64-bit Program Files from 32-bit PowerShell and
does not take a bridge that never ran for a success.

  docs_test.py SOURCE
"""
import glob
import os
import re
import sys

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

for failure in failures:
    print("FAILED  " + failure)
print(f"{len(pages)} pages checked" if not failures else f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
