"""The installed packages against the samples: the veltor program and the
Python package, each with the default database it finds by itself, give the
verdicts samples/README.md lists, and the same records.

Run by scripts/test-packages.sh with Debian's interpreter after the packages
are installed: python3 check_installed.py SAMPLES-FOLDER
"""
import json
import pathlib
import re
import subprocess
import sys

import veltor

samples = pathlib.Path(sys.argv[1]).resolve()
assert veltor.__file__.startswith("/usr/lib/python3/dist-packages/veltor/"), (
    f"imported {veltor.__file__}, not the packaged veltor (another one earlier on sys.path?)")

# The table of samples/README.md: | `FILE` | what it is | `RULE` (level N) | or clean.
expected = {}
for line in (samples / "README.md").read_text().splitlines():
    row = re.match(r"\| `([^`]+)` \|.*\| (?:`([^`]+)` \(level (\d)[,)]|[^|`]*\|$)", line)
    if row:
        expected[row[1]] = [(row[2], int(row[3]))] if row[2] else []
files = sorted(p for p in samples.iterdir() if p.is_file() and p.name != "README.md")
assert sorted(expected) == [p.name for p in files], f"samples/README.md lists {sorted(expected)}"

run = subprocess.run(["/usr/bin/veltor", "scan", "--json", "--sort", "-j", "1", *map(str, files)],
                     capture_output=True, text=True, check=False)
assert run.returncode == 1, (run.returncode, run.stderr)
cli = {p.name: [] for p in files}
for record in map(json.loads, run.stdout.splitlines()):
    if "rule" in record:
        cli[pathlib.Path(record["path"]).name].append((record["rule"], record["level"]))
    else:
        assert record.get("clean") or "summary" in record, record
assert cli == expected, f"veltor scan: {cli}"

db = veltor.Database.load()
assert veltor.default_database_path() == "/usr/lib/" + sys.implementation._multiarch + "/qzdata.vlb"
python = {p.name: [(r.rule, r.level) for r in db.scan_file(p, archives=True)] for p in files}
assert python == expected, f"veltor.Database.load().scan_file: {python}"
print(f"installed veltor and python3-veltor: {len(files)} samples, "
      f"{sum(map(len, expected.values()))} reports as samples/README.md lists")
