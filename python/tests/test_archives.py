"""scan_file(path, archives=True), scan(data, archives=True) and veltor.dask against veltor scan --json over archives
the test writes."""
import bz2
import gzip
import io
import lzma
import tarfile
import zipfile

import pytest

import veltor
from conftest import cli_records

pytestmark = pytest.mark.skipif(not veltor.ARCHIVES_SUPPORTED, reason="built without libarchive")

SOURCE = 'signature evil = "evil-marker"; rule Test.Evil report = evil;'


def zip_of(members, compression=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as archive:
        for name, data in members:
            archive.writestr(name, data)
    return out.getvalue()


def _tar_of(members, mode="w"):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode=mode) as archive:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return out.getvalue()


def tar_gz_of(members):
    return _tar_of(members, "w:gz")


def as_records(path, reports, problems=()):
    """What veltor scan --json prints for these results."""
    records = []
    for report in reports:
        where = {"archivePath": list(report.archive_path)} if report.archive_path else {}
        records.append({"path": str(path), **where, "rule": report.rule, "level": report.level})
    for problem in problems:
        key = "incomplete" if problem.kind == "incomplete" else "error"
        where = {"archivePath": list(problem.archive_path)} if problem.archive_path else {}
        records.append({"path": str(path), **where, key: problem.reason})
    return records or [{"path": str(path), "clean": True}]


def outcome(call):
    """(reports, problems, message) of a scan with archives, whether it raised or not."""
    try:
        return call(), [], ""
    except veltor.ArchiveError as raised:
        return raised.reports, raised.problems, str(raised)


INNER = tar_gz_of([("clean.txt", b"nothing"), ("evil.bin", b"x" * 70_000 + b"evil-marker")])
CASES = [
    # name, bytes, keyword arguments, expected reports (or problems, raised as ArchiveError)
    ("member.zip", zip_of([("a.txt", b"harmless"), ("docs/evil.txt", b"an evil-marker")]), {},
     [("Test.Evil", ("docs/evil.txt",))], []),
    # A tar.gz's tar is scanned as bytes too, beside its members.
    ("nested.zip", zip_of([("inner.tar.gz", INNER), ("deep.zip", zip_of([("inner.tar.gz", INNER)]))]), {},
     [("Test.Evil", ("inner.tar.gz", "evil.bin")), ("Test.Evil", ("inner.tar.gz", "inner.tar")),
      ("Test.Evil", ("deep.zip", "inner.tar.gz", "evil.bin")), ("Test.Evil", ("deep.zip", "inner.tar.gz", "inner.tar"))],
     []),
    # The tar the tar.gz unpacks to counts as a member.
    ("many.tar.gz", tar_gz_of([(f"m{i}", b"evil-marker") for i in range(5)]), {"max_members": 2},
     [("Test.Evil", ("m0",)), ("Test.Evil", ("many.tar",))], [(("m1",), "incomplete", "member limit (2)")]),
    ("deep.zip", zip_of([("inner.tar.gz", INNER)]), {"max_archive_depth": 1},
     [], [(("inner.tar.gz",), "incomplete", "archive depth limit (1)")]),
    ("stored.zip", zip_of([("evil.txt", b"evil-marker")], zipfile.ZIP_STORED), {},
     [("Test.Evil", ()), ("Test.Evil", ("evil.txt",))], []),
    ("plain.txt", b"an evil-marker in a plain file", {}, [("Test.Evil", ())], []),
]


@pytest.mark.parametrize("name,data,limits,reports,problems", CASES, ids=[c[0] for c in CASES])
def test_archive_members_match_cli(tmp_path, name, data, limits, reports, problems):
    image = veltor.compile(SOURCE)
    (tmp_path / "db.vlb").write_bytes(image)
    db = veltor.Database.from_bytes(image)
    path = tmp_path / name
    path.write_bytes(data)

    expected = [veltor.Report(rule, 1, 1.0, where) for rule, where in reports]
    if problems:
        with pytest.raises(veltor.ArchiveError) as raised:
            db.scan_file(path, archives=True, **limits)
        got, got_problems = raised.value.reports, raised.value.problems
        assert got_problems == [veltor.ArchiveProblem(*p) for p in problems]
        assert str(raised.value).startswith(f"{path}!{'!'.join(problems[0][0])}: incomplete (")
    else:
        got, got_problems = db.scan_file(path, archives=True, **limits), []
    assert got == expected

    options = [o for key, value in limits.items() for o in (f"--{key.replace('_', '-')}", str(value))]
    assert as_records(path, got, got_problems) == cli_records(tmp_path / "db.vlb", *options, path)

    # The same bytes in memory are walked the same way.
    assert outcome(lambda: db.scan(data, archives=True, name=str(path), **limits)) == outcome(
        lambda: db.scan_file(path, archives=True, **limits))

    # Without archives: the file's bytes only, as veltor scan --no-archives.
    plain = db.scan_file(path)
    assert plain == [r for r in expected if not r.archive_path] == db.scan(data)
    assert as_records(path, plain) == cli_records(tmp_path / "db.vlb", "--no-archives", path)



MARK = b"evil-marker"
HIDDEN = b"\0" * 1024 + MARK  # compressed, the marker is never in plain sight
PROGRAM = b"MZ" + zip_of([("evil.txt", HIDDEN)])
NO_MEMBERS = b"PK\5\6" + b"\0" * 16 + bytes([len(MARK), 0]) + MARK  # a zip's end record, the marker its comment
TABLE = [
    # name, bytes, archive paths that must report (() for the file itself), a problem expected
    ("empty.tar", _tar_of([]) + MARK, [()], None),
    ("zeros.bin", b"\0" * 1024 + MARK, [()], None),
    ("zeros.gz", gzip.compress(HIDDEN), [("zeros",)], None),
    ("zeros.xz", lzma.compress(HIDDEN), [("zeros",)], None),
    ("zeros.bz2", bz2.compress(HIDDEN), [("zeros",)], None),
    ("members.gz", gzip.compress(b"clean") + gzip.compress(HIDDEN), [("members",)], None),
    ("gz-in.zip", zip_of([("x.gz", gzip.compress(HIDDEN))]), [("x.gz", "x")], None),
    ("trailing.tar.gz", gzip.compress(_tar_of([("a.txt", b"clean")]) + MARK),
     [("trailing.tar",)], None),
    ("program.zip", PROGRAM, [("evil.txt",)], None),
    ("junk.zip", b"j" * 1000 + zip_of([("evil.txt", HIDDEN)]), [("evil.txt",)], None),
    ("in-program.zip", zip_of([("setup.exe", PROGRAM)]), [("setup.exe", "evil.txt")], None),
    ("appended.zip", zip_of([("inner.zip", zip_of([("a.txt", b"clean")]) + MARK)]), [("inner.zip",)], None),
    ("stream.tar.gz", gzip.compress(_tar_of([("evil.txt", HIDDEN)])), [("evil.txt",), ("stream.tar",)], None),
    ("no-members.zip", zip_of([("empty.zip", NO_MEMBERS)]), [("empty.zip",)], None),
    ("magic.gz", b"\x1f\x8b\x08" + b"\0" * 7 + MARK, [()], "error"),
    ("bomb.gz", gzip.compress(b"\0" * (64 << 20) + MARK), [], "incomplete"),
]


@pytest.mark.parametrize("name,data,where,problem", TABLE, ids=[c[0] for c in TABLE])
def test_every_case_reports_or_says_why_in_python_dask_and_cli(tmp_path, name, data, where, problem):
    pytest.importorskip("distributed")
    import veltor.dask

    image = veltor.compile(SOURCE)
    (tmp_path / "db.vlb").write_bytes(image)
    db = veltor.Database.from_bytes(image)
    path = tmp_path / name
    path.write_bytes(data)
    try:
        reports, problems = db.scan_file(path, archives=True), []
    except veltor.ArchiveError as raised:
        reports, problems = raised.reports, raised.problems
    assert {r.archive_path for r in reports} >= set(where)
    assert [p.kind for p in problems][:1] == ([problem] if problem else [])
    records = as_records(path, reports, problems)
    assert {"path": str(path), "clean": True} not in records
    assert records == cli_records(tmp_path / "db.vlb", path) == veltor.dask.scan_one(db, str(path))
    assert outcome(lambda: db.scan(memoryview(data), archives=True, name=str(path))) == outcome(
        lambda: db.scan_file(path, archives=True))


def test_bytes_without_a_name():
    db = veltor.Database.from_bytes(veltor.compile(SOURCE))
    assert [r.archive_path for r in db.scan(gzip.compress(HIDDEN), archives=True)] == [("data",)]
    with pytest.raises(veltor.ArchiveError, match=r"^<bytes>: "):
        db.scan(b"\x1f\x8b\x08" + b"\0" * 7 + MARK, archives=True)
