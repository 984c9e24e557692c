"""What a newcomer runs into first: the constructor, the compiler's warnings,
the Dask command line's arguments, installing into a virtual environment."""
import os
import subprocess
import sys
import warnings

import pytest

import veltor
from conftest import BUILD, DEFAULT_DATABASE, ROOT, VELTOR_PROGRAM

# One signature no rule refers to, and a pattern of two bytes: two warnings.
WARNED_SOURCE = 'signature used = "ab";\nsignature unused = "never-referred";\nrule R report = used;\n'


@pytest.mark.parametrize("argument", [str(DEFAULT_DATABASE), DEFAULT_DATABASE, b"data", None])
def test_database_constructor_points_to_load(argument):
    with pytest.raises(TypeError, match=r"Database\.load"):
        veltor.Database(argument)


def test_compile_warns_and_compile_with_diagnostics_returns_them():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        image = veltor.compile(WARNED_SOURCE, path="w.vsr")
    assert all(issubclass(w.category, veltor.CompileWarning) for w in caught)
    assert caught and all(w.filename == __file__ for w in caught)  # the caller's line, not the package's
    with warnings.catch_warnings(record=True) as quiet:
        warnings.simplefilter("always")
        same, diagnostics = veltor.compile_with_diagnostics(WARNED_SOURCE, path="w.vsr")
    assert quiet == [] and same[:8] == image[:8]
    assert [str(w.message) for w in caught] == [str(d) for d in diagnostics]
    assert [w.message.diagnostic for w in caught] == diagnostics
    assert {d.severity for d in diagnostics} == {"warning"} and {d.line for d in diagnostics} == {1, 2}
    with warnings.catch_warnings():
        warnings.simplefilter("error", veltor.CompileWarning)
        with pytest.raises(veltor.CompileWarning):
            veltor.compile(WARNED_SOURCE)
    with pytest.raises(veltor.CompileError):
        veltor.compile_with_diagnostics("rule R report = missing;")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert veltor.compile_with_diagnostics('signature s = "clean-one"; rule R report = s;')[1] == []


@pytest.mark.parametrize("workers, message", [("0", "takes 1 or more"), ("-3", "takes 1 or more"),
                                              ("two", "whole number")])
def test_dask_command_refuses_a_cluster_without_workers(tmp_path, workers, message):
    run = subprocess.run(
        [sys.executable, "-m", "veltor.dask", "--workers", workers, "--db", str(DEFAULT_DATABASE), str(tmp_path)],
        capture_output=True, text=True, timeout=60, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert run.returncode == 2 and run.stdout == ""
    assert "--workers" in run.stderr and message in run.stderr


@pytest.mark.skipif(os.environ.get("VELTOR_TEST_INSTALLED") is not None, reason="tests an installed package")
def test_a_virtual_environment_installs_without_the_network(tmp_path):
    """The install that docs/python.md shows, offline, reusing this build's module."""
    env = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env)], check=True)
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    install = subprocess.run(
        [str(env / "bin" / "pip"), "install", "-q", "--no-build-isolation", "--no-index", str(ROOT / "python")],
        capture_output=True, text=True, timeout=600, cwd=tmp_path, env={**clean, "VELTOR_CMAKE_BUILD_DIR": str(BUILD)},
    )
    assert install.returncode == 0, install.stderr
    check = subprocess.run(
        [str(env / "bin" / "python"), "-c",
         "import sys, veltor; db = veltor.Database.load(sys.argv[1]); print(veltor.__file__, db.rule_count)",
         str(DEFAULT_DATABASE)],
        capture_output=True, text=True, cwd=tmp_path, env=clean, check=True,
    )
    location, rules = check.stdout.split()
    assert location.startswith(str(env)) and int(rules) == veltor.Database.load(DEFAULT_DATABASE).rule_count


def test_explain_names_signatures_from_the_map_compile_writes(tmp_path):
    source = tmp_path / "rules.vsr"
    source.write_text('signature marker = "named-marker";\nsignature = "anonymous-one";\n'
                      "rule R report = marker and sig[2];\n")
    database = tmp_path / "rules.vlb"
    run = subprocess.run([str(VELTOR_PROGRAM), "compile", str(source), "-o", str(database)],
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    data = b"..named-marker..anonymous-one"
    db = veltor.Database.load(database)
    assert db.signature_names == {1: "marker"}
    assert [(s.id, s.name) for s in db.explain(data).signatures] == [(1, "marker"), (2, None)]
    assert veltor.Database.from_bytes(database.read_bytes()).explain(data).signatures[0].name is None

    # A map left from another build of the database is refused, not trusted.
    names = database.with_name("rules.vlb.names")
    names.write_text("veltor signature names 1\ndatabase 00000000\n1 wrong\n")
    with pytest.warns(UserWarning, match="another database"):
        stale = veltor.Database.load(database)
    assert stale.signature_names == {} and stale.explain(data).signatures[0].name is None
