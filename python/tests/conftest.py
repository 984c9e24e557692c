"""Shared fixtures: the package as built in place, the veltor program, databases."""
import json
import os
import pathlib
import subprocess
import sys
import warnings

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VELTOR_BUILD_DIR", ROOT / "build" / "release"))

# The in-place package, unless an installed one is asked for.
if not os.environ.get("VELTOR_TEST_INSTALLED"):
    sys.path.insert(0, str(BUILD / "python" / "package"))

import veltor  # noqa: E402

VELTOR_PROGRAM = BUILD / "veltor" / "veltor"
DEFAULT_DATABASE = BUILD / "engine" / "api" / "qzdata.vlb"
SAMPLES = ROOT / "samples"


@pytest.fixture(autouse=True)
def _compile_warnings_quiet():
    """The tests compile sources with warnings on purpose; test_first_use checks that they are issued."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", veltor.CompileWarning)
        yield


@pytest.fixture(scope="session")
def default_db():
    return veltor.Database.load(DEFAULT_DATABASE)


def cli_records(database, *paths):
    """`veltor scan --json --sort -r` as records, the summary left out."""
    run = subprocess.run(
        [str(VELTOR_PROGRAM), "scan", "--json", "--sort", "-r", "-j", "1", "--db", str(database), *map(str, paths)],
        capture_output=True,
        check=False,
    )
    assert run.returncode in (0, 1, 2), run.stderr
    records = [json.loads(line) for line in run.stdout.decode().splitlines()]
    return [r for r in records if "summary" not in r]


def as_cli_records(path, reports):
    """The records `veltor scan --json` prints for one scanned file."""
    if not reports:
        return [{"path": str(path), "clean": True}]
    return [{"path": str(path), "rule": r.rule, "level": r.level} for r in reports]
