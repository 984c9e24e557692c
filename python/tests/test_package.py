"""The veltor package across its boundary: reports, buffers, names, errors, threads, explain."""
import array
import datetime
import io
import json
import mmap
import os
import pathlib
import random
import shutil
import subprocess
import sys
import threading

import pytest

import veltor
from conftest import DEFAULT_DATABASE, SAMPLES, VELTOR_PROGRAM, as_cli_records, cli_records
from generated import random_database_source, random_file


def scan_every_way(db, path):
    """scan_file's reports, checked equal to those of scan, scan_stream (readinto and read) and explain."""
    reports = db.scan_file(path)
    data = path.read_bytes()
    assert db.scan(data) == reports
    assert db.scan_stream(io.BytesIO(data)) == reports

    class ReadOnly:  # a stream without readinto, in small pieces
        def __init__(self):
            self.stream = io.BytesIO(data)

        def read(self, size):
            return self.stream.read(min(size, 7))

    assert db.scan_stream(ReadOnly()) == reports
    assert db.explain(data).reports == reports
    return reports


def python_records(db, folder):
    return [r for p in sorted(folder.iterdir()) for r in as_cli_records(p, scan_every_way(db, p))]


def test_default_database_on_samples_matches_cli(default_db):
    assert python_records(default_db, SAMPLES) == cli_records(DEFAULT_DATABASE, SAMPLES)
    assert default_db.signature_count > 0 and default_db.rule_count > 0
    assert default_db.build_time.tzinfo == datetime.timezone.utc


@pytest.mark.parametrize("seed", range(6))
def test_random_databases_match_cli(tmp_path, seed):
    rng = random.Random(seed)
    source, patterns = random_database_source(rng)
    built = datetime.datetime(2024, 5, 1, 12, tzinfo=datetime.timezone.utc)
    image = veltor.compile(source, build_time=built)
    (tmp_path / "db.vlb").write_bytes(image)
    files = tmp_path / "files"
    files.mkdir()
    for index in range(12):
        (files / f"f{index:02}").write_bytes(random_file(rng, patterns, rng.randint(1, 3000)))
    db = veltor.Database.from_bytes(image)
    assert db.build_time == built
    records = python_records(db, files)
    assert records == cli_records(tmp_path / "db.vlb", files)
    for report in (r for p in files.iterdir() for r in db.scan_file(p)):
        assert report.level == (1 if report.score >= 0.999 else 2) and report.score >= 0.501


NEEDLE_SOURCE = 'signature needle = "needle-in-the-haystack"; rule Found.Needle report = needle;'


@pytest.fixture(scope="module")
def needle_db():
    return veltor.Database.from_bytes(veltor.compile(NEEDLE_SOURCE))


def test_buffer_types_are_scanned_in_place(needle_db, tmp_path):
    data = b"x" * 100 + b"NEEDLE-in-the-haystack" + b"y" * 100
    expected = [veltor.Report("Found.Needle", 1, 1.0)]
    path = tmp_path / "mapped"
    path.write_bytes(data)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for buffer in (data, bytearray(data), memoryview(data), memoryview(b"zz" + data)[2:],
                       array.array("B", data), mapped):
            assert needle_db.scan(buffer) == expected
    assert needle_db.scan(b"") == [] and needle_db.scan(data[:-150]) == []
    with pytest.raises(BufferError):  # not contiguous: refused, never copied or misread
        needle_db.scan(memoryview(data)[::2])
    with pytest.raises(TypeError):
        needle_db.scan("needle-in-the-haystack")


@pytest.mark.parametrize("offset", [20_000_000 - 22, veltor.READ_CHUNK_SIZE - 7])
def test_large_file_found_at_end_and_across_reads(needle_db, tmp_path, offset):
    path = tmp_path / "large.bin"
    with open(path, "wb") as file:
        file.truncate(20_000_000)
        file.seek(offset)
        file.write(b"needle-in-the-haystack")
    assert needle_db.scan_file(path) == [veltor.Report("Found.Needle", 1, 1.0)]


def test_names_with_every_windows1252_byte(tmp_path):
    groups = [range(1, 0x80), range(0x80, 0xA0), range(0xA0, 0x100)]
    source = "".join(
        f'signature s{i} = "common-text"; rule "' + "".join(f"\\x{b:02X}" for b in group) + f'" report = s{i};\n'
        for i, group in enumerate(groups)
    )
    image = veltor.compile(source)
    db = veltor.Database.from_bytes(image)
    expected = ["".join(chr(b) if b in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else bytes([b]).decode("cp1252") for b in g)
                for g in groups]
    assert [r.rule for r in db.scan(b"..common-text..")] == expected
    (tmp_path / "db.vlb").write_bytes(image)
    (tmp_path / "file").write_bytes(b"common-text")
    assert [r["rule"] for r in cli_records(tmp_path / "db.vlb", tmp_path / "file")] == expected


def test_load_without_a_path_opens_the_default_database(tmp_path):
    db = veltor.Database.load()
    if not os.environ.get("VELTOR_TEST_INSTALLED"):
        assert pathlib.Path(veltor.default_database_path()) == DEFAULT_DATABASE.resolve()
    files = sorted(p for p in SAMPLES.iterdir() if p.is_file())
    assert [r for f in files for r in as_cli_records(f, db.scan_file(f))] == cli_records(DEFAULT_DATABASE, *files)
    # A copy of the package away from the build tree looks at the installed copy only.
    copy = tmp_path / "veltor"
    shutil.copytree(pathlib.Path(veltor.__file__).parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
    run = subprocess.run([sys.executable, "-c", "import veltor; print(veltor.default_database_path())"],
                         cwd=tmp_path, capture_output=True, text=True, check=False)
    installed = veltor._native.DEFAULT_DATABASE_CANDIDATES[1]
    if os.path.isfile(installed):
        assert run.stdout.strip() == installed
    else:
        assert "FileNotFoundError: [Errno 2] no default database; looked at" in run.stderr
        assert installed in run.stderr


def test_errors_raise(tmp_path, needle_db):
    with pytest.raises(FileNotFoundError):
        veltor.Database.load(tmp_path / "missing.vlb")
    (tmp_path / "junk.vlb").write_bytes(b"not a database" * 100)
    with pytest.raises(veltor.DatabaseError):
        veltor.Database.load(tmp_path / "junk.vlb")
    image = bytearray(veltor.compile(NEEDLE_SOURCE))
    image[300] ^= 0xFF  # a damaged body fails its checks
    for bad in (b"", bytes(image)):
        with pytest.raises(veltor.DatabaseError):
            veltor.Database.from_bytes(bad)
    with pytest.raises(FileNotFoundError):
        needle_db.scan_file(tmp_path / "missing")
    with pytest.raises(IsADirectoryError):
        needle_db.scan_file(tmp_path)

    class Broken(io.RawIOBase):
        def readinto(self, buffer):
            raise OSError(5, "Input/output error")

    with pytest.raises(OSError):
        needle_db.scan_stream(Broken())
    with pytest.raises(veltor.CompileError) as raised:
        veltor.compile('signature a = "abcdef";\nrule R report = a and nothing_here;\nrule S report = (;\n',
                       path="bad.vsr")
    errors = [d for d in raised.value.diagnostics if d.severity == "error"]
    assert len(errors) >= 2 and {d.file for d in errors} == {"bad.vsr"}
    assert {d.line for d in errors} >= {2, 3} and all(d.column >= 1 for d in errors)
    assert "bad.vsr:2:" in str(raised.value)


def test_threads_scanning_one_database_agree_with_one_thread(default_db):
    files = sorted(SAMPLES.iterdir())
    expected = [default_db.scan(p.read_bytes()) for p in files] * 20
    results = {}

    def work(name):
        results[name] = [default_db.scan(p.read_bytes()) for p in files] * 20

    threads = [threading.Thread(target=work, args=(n,)) for n in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {0: expected, 1: expected}


def test_explain_shows_forms_offsets_scores_and_reasons(tmp_path):
    source = (
        'signature plain_sig = "plain-marker";\n'
        'signature wide_sig wide = "wide-marker";\n'
        'signature absent = "never-there";\n'
        "rule Partial report = plain_sig * 0.3 + absent;\n"
        "rule Both report = plain_sig and wide_sig;\n"
        "rule Helper = wide_sig * 0.7;\n"
        "rule Probable report = Helper;\n"
    )
    image = veltor.compile(source)
    db = veltor.Database.from_bytes(image)
    data = b"PLAIN-MARKER.." + "wide-marker".encode("utf-16-le") + b"..plain-marker" * 10
    explained = db.explain(data)
    found = {s.id: s for s in explained.signatures}
    assert set(found) == {1, 2}
    assert found[1].plain_count == 11 and found[1].wide_count == 0
    assert found[1].plain_offsets == (0,) + tuple(range(38, 38 + 7 * 14, 14))  # the first eight
    assert (found[2].plain_count, found[2].wide_count, found[2].wide_offsets) == (0, 1, (14,))
    scores = {r.rule: r for r in explained.rules}
    assert scores["Partial"].score == pytest.approx(0.3) and scores["Partial"].level == 0
    assert scores["Both"].level == 1 and "level 1" in scores["Both"].reason
    assert scores["Helper"].top_level is False and scores["Helper"].score == pytest.approx(0.7)
    assert scores["Probable"].level == 2 and [ref.kind for ref in scores["Probable"].references] == ["rule"]
    assert explained.reports == db.scan(data)

    (tmp_path / "db.vlb").write_bytes(image)
    (tmp_path / "file").write_bytes(data)
    run = subprocess.run([str(VELTOR_PROGRAM), "scan", "--explain", "--json", "--db", str(tmp_path / "db.vlb"),
                          str(tmp_path / "file")], capture_output=True, check=False)
    assert run.returncode == 1, run.stderr
    cli = json.loads(run.stdout.splitlines()[0])  # the summary follows
    assert [(r["rule"], r["level"], r["reason"]) for r in cli["rules"]] == \
        [(r.rule, r.level, r.reason) for r in explained.rules]
    assert [(s["id"], s["plain"]["offsets"], s["wide"]["offsets"]) for s in cli["signatures"]] == \
        [(s.id, list(s.plain_offsets), list(s.wide_offsets)) for s in explained.signatures]


class ClaimingStream(io.RawIOBase):
    """Writes the needle at the end of every buffer it is given, but claims the counts it was told to."""

    def __init__(self, counts):
        self.counts = list(counts)

    def readable(self):
        return True

    def readinto(self, buffer):
        buffer[-22:] = b"needle-in-the-haystack"
        return self.counts.pop(0)


@pytest.mark.parametrize("counts, error", [
    ([1, 0], None),                 # only the byte claimed is scanned: clean
    ([None], BlockingIOError),      # nothing read yet is not clean
    ([1, None], BlockingIOError),
    ([-1], ValueError),
    ([veltor.READ_CHUNK_SIZE + 1], ValueError),
])
def test_scan_stream_scans_only_what_was_read(needle_db, counts, error):
    if error is None:
        assert needle_db.scan_stream(ClaimingStream(counts)) == []
    else:
        with pytest.raises(error):
            needle_db.scan_stream(ClaimingStream(counts))


def test_scan_file_refuses_what_veltor_scan_refuses(needle_db, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: opening it would wait
    for path, reason in ((fifo, "not a regular file: a FIFO"), ("/dev/zero", "not a regular file: a character device")):
        with pytest.raises(OSError, match=reason):
            needle_db.scan_file(path)
        cli = subprocess.run([VELTOR_PROGRAM, "scan", "--db", DEFAULT_DATABASE, path], capture_output=True, text=True,
                             timeout=60)
        assert cli.returncode == 2 and reason in cli.stderr


def test_compile_names_a_lone_surrogate():
    with pytest.raises(ValueError, match=r"line 2, column 16 \(index 17\)"):
        veltor.compile('#\nsignature a = "\ud800";')


def test_an_empty_input_after_a_full_one_reports_nothing(tmp_path):
    db = veltor.Database.from_bytes(veltor.compile('signature s = "unused-here"; rule Always report = 1 or s;'))
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    always = [veltor.Report("Always", 1, 1.0)]
    for _ in range(2):
        assert db.scan_stream(io.BytesIO(b"x")) == always
        assert db.scan_stream(io.BytesIO(b"")) == []
        assert db.scan_file(empty) == []
