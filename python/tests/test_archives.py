"""scan_file(path, archives=True) against veltor scan --json over archives the test writes."""
import io
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


def tar_gz_of(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as archive:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return out.getvalue()


def as_records(path, reports, problems=()):
    """What veltor scan --json prints for these results."""
    records = []
    for report in reports:
        where = {"archivePath": list(report.archive_path)} if report.archive_path else {}
        records.append({"path": str(path), **where, "rule": report.rule, "level": report.level})
    for problem in problems:
        key = "incomplete" if problem.kind == "incomplete" else "error"
        records.append({"path": str(path), "archivePath": list(problem.archive_path), key: problem.reason})
    return records or [{"path": str(path), "clean": True}]


INNER = tar_gz_of([("clean.txt", b"nothing"), ("evil.bin", b"x" * 70_000 + b"evil-marker")])
CASES = [
    # name, bytes, keyword arguments, expected reports (or problems, raised as ArchiveError)
    ("member.zip", zip_of([("a.txt", b"harmless"), ("docs/evil.txt", b"an evil-marker")]), {},
     [("Test.Evil", ("docs/evil.txt",))], []),
    ("nested.zip", zip_of([("inner.tar.gz", INNER), ("deep.zip", zip_of([("inner.tar.gz", INNER)]))]), {},
     [("Test.Evil", ("inner.tar.gz", "evil.bin")), ("Test.Evil", ("deep.zip", "inner.tar.gz", "evil.bin"))], []),
    ("many.tar.gz", tar_gz_of([(f"m{i}", b"evil-marker") for i in range(5)]), {"max_members": 2},
     [("Test.Evil", ("m0",)), ("Test.Evil", ("m1",))], [(("m2",), "incomplete", "member limit (2)")]),
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

    # Without archives: the file's bytes only, as veltor scan --no-archives.
    plain = db.scan_file(path)
    assert plain == [r for r in expected if not r.archive_path] == db.scan(data)
    assert as_records(path, plain) == cli_records(tmp_path / "db.vlb", "--no-archives", path)

