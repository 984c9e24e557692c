"""Veltor: signature-based content scanning from Python.

Load a database, then scan bytes, files or streams::

    import veltor
    db = veltor.Database.load("qzdata.vlb")
    for report in db.scan_file("upload.bin"):
        print(report.rule, report.level, report.score)

Scans release the GIL. A ``Database`` keeps a pool of scan states (one per
thread scanning with it at the same moment), so threads may share one
``Database`` and scan in parallel.
"""
from __future__ import annotations

import datetime as _datetime
import os as _os
import warnings as _warnings
from dataclasses import dataclass, field
from typing import BinaryIO, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native

__all__ = [
    "ARCHIVES_SUPPORTED",
    "ArchiveError",
    "ArchiveProblem",
    "CompileError",
    "CompileWarning",
    "Database",
    "DatabaseError",
    "Diagnostic",
    "Explanation",
    "Reference",
    "Report",
    "RuleScore",
    "SignatureMatch",
    "compile",
    "compile_with_diagnostics",
]

#: Bytes read per step by ``scan_file`` and ``scan_stream``.
READ_CHUNK_SIZE = 1 << 20

DatabaseError = _native.DatabaseError
DatabaseError.__doc__ = "A file or image that is not a database, or a damaged one."

_FILETIME_EPOCH = _datetime.datetime(1601, 1, 1, tzinfo=_datetime.timezone.utc)

StrPath = Union[str, "_os.PathLike[str]"]


#: Whether this build opens archives (``scan_file(path, archives=True)``).
ARCHIVES_SUPPORTED: bool = _native.ARCHIVES_SUPPORTED


class Report(NamedTuple):
    """One reported rule: its name, level (1 certain, 2 probable) and score.

    ``archive_path`` names the archive member the report is about, from the
    outermost archive inwards (``("docs/inner.tar.gz", "evil.bin")``); it is
    empty for the scanned bytes themselves.
    """

    rule: str
    level: int
    score: float
    archive_path: Tuple[str, ...] = ()


class ArchiveProblem(NamedTuple):
    """Why part of an archive was not scanned.

    ``kind`` is "error" (damaged, encrypted or unsupported: libarchive's
    reason) or "incomplete" (a limit stopped the unpacking: which one).
    ``archive_path`` names the member, or the archive, concerned.
    """

    archive_path: Tuple[str, ...]
    kind: str
    reason: str


class ArchiveError(Exception):
    """An archive that could not be scanned whole.

    ``reports`` holds everything the readable part reported (the file's
    own reports first), ``problems`` every ``ArchiveProblem``; the message
    has one line per problem as ``veltor scan`` prints it.
    """

    def __init__(self, path: str, reports: Sequence[Report], problems: Sequence[ArchiveProblem]):
        self.reports: List[Report] = list(reports)
        self.problems: List[ArchiveProblem] = list(problems)

        def line(problem: ArchiveProblem) -> str:
            where = "!".join((path, *problem.archive_path))
            if problem.kind == "incomplete":
                return f"{where}: incomplete ({problem.reason})"
            return f"{where}: {problem.reason}"

        super().__init__("\n".join(line(p) for p in self.problems))


class Diagnostic(NamedTuple):
    """One message of the rule compiler."""

    severity: str  # "error" or "warning"
    file: str
    line: int
    column: int
    message: str

    def __str__(self) -> str:
        return f"{self.file}:{self.line}:{self.column}: {self.severity}: {self.message}"


class CompileError(Exception):
    """Rule sources with errors; ``diagnostics`` holds every message, warnings included."""

    def __init__(self, diagnostics: Sequence[Diagnostic]):
        self.diagnostics: List[Diagnostic] = list(diagnostics)
        errors = [d for d in self.diagnostics if d.severity == "error"]
        super().__init__("\n".join(str(d) for d in errors))


class CompileWarning(UserWarning):
    """A warning of the rule compiler: the database was built all the same.

    ``compile`` issues one per warning (``warnings.warn``); turn them into
    errors with ``warnings.simplefilter("error", veltor.CompileWarning)``.
    ``diagnostic`` is the compiler's ``Diagnostic``.
    """

    def __init__(self, diagnostic: Diagnostic):
        super().__init__(str(diagnostic))
        self.diagnostic = diagnostic


@dataclass(frozen=True)
class SignatureMatch:
    """A signature that occurred: how often each form did, and the first offsets.

    ``plain_offsets`` and ``wide_offsets`` hold at most the first eight
    occurrences of each form; the counts are complete. ``name`` is the
    signature's name in the rule source, from the name map ``veltor compile``
    writes beside the database (``NAME.vlb.names``), or None.
    """

    id: int
    plain_count: int
    plain_offsets: Tuple[int, ...]
    wide_count: int
    wide_offsets: Tuple[int, ...]
    name: Optional[str] = None


@dataclass(frozen=True)
class Reference:
    """A direct reference in a rule's expression and what it read in this scan.

    ``kind`` is "signature" (``value`` 1.0 when it occurred, else 0.0) or
    "rule" (``value`` is that rule's score); ``declared`` is False for an id
    the database does not hold, which reads as 0.
    """

    kind: str
    id: int
    declared: bool
    value: float


@dataclass(frozen=True)
class RuleScore:
    """A rule's score in one scan, its level (0 when not reported), and why."""

    id: int
    rule: str
    top_level: bool
    score: float
    level: int
    references: Tuple[Reference, ...]
    reason: str


@dataclass(frozen=True)
class Explanation:
    """What a scan saw: signatures that occurred, every rule's score, the reports."""

    signatures: List[SignatureMatch] = field(default_factory=list)
    rules: List[RuleScore] = field(default_factory=list)

    @property
    def reports(self) -> List[Report]:
        """The rules the scan reports, in report order (as ``Database.scan`` gives them)."""
        return [Report(r.rule, r.level, r.score) for r in self.rules if r.level != 0]


def _reports(native: list) -> List[Report]:
    return [Report(rule, level, score) for rule, level, score in native]


class Database:
    """A loaded signature database and the scan states built over it.

    Every method may be called from several threads at once: each scan takes
    a scan state from the database's pool (building one more when all are
    busy, about as much memory as the database itself) and returns it after.
    """

    __slots__ = ("_native", "_names")

    def __init__(self, native: "_native.Database"):
        # Database(path) would otherwise give an object that fails later, far
        # from the mistake.
        if not isinstance(native, _native.Database):
            raise TypeError(
                "Database() is not called directly: open a database file with veltor.Database.load(path), "
                "or an image in memory with veltor.Database.from_bytes(data)"
            )
        self._native = native
        self._names: Dict[int, str] = {}

    @classmethod
    def load(cls, path: StrPath) -> "Database":
        """Loads a database file.

        The signature name map beside it (``PATH.names``, written by
        ``veltor compile``), when there, names the signatures of ``explain``;
        one that cannot be used is left out with a ``UserWarning``.

        Raises ``FileNotFoundError`` (and other ``OSError``) when the file
        cannot be read, ``DatabaseError`` when it is not a database.
        """
        with open(path, "rb") as file:
            database = cls.from_bytes(file.read())
        names_path = _os.fsdecode(path) + _native.SIGNATURE_NAMES_SUFFIX
        try:
            with open(names_path, "rb") as file:
                text = file.read()
        except FileNotFoundError:
            return database
        except OSError as error:
            _warnings.warn(f"signature names not used: {names_path}: {error.strerror}", stacklevel=2)
            return database
        try:
            database._names = database._native.parse_names(text)
        except ValueError as error:
            _warnings.warn(f"signature names not used: {names_path}: {error}", stacklevel=2)
        return database

    @property
    def signature_names(self) -> Dict[int, str]:
        """The signatures' names by id, from the name map beside the file ``load`` read (empty without one)."""
        return dict(self._names)

    @classmethod
    def from_bytes(cls, data: Union[bytes, bytearray, memoryview]) -> "Database":
        """Loads a database image held in memory; ``DatabaseError`` if it is not one."""
        return cls(_native.load_image(data))

    @property
    def build_time(self) -> _datetime.datetime:
        """When the database was compiled, as an aware datetime in UTC."""
        return _FILETIME_EPOCH + _datetime.timedelta(microseconds=self._native.build_time // 10)

    @property
    def signature_count(self) -> int:
        """How many signatures the database holds."""
        return self._native.signature_count

    @property
    def rule_count(self) -> int:
        """How many rules the database holds."""
        return self._native.rule_count

    def scan(self, data) -> List[Report]:
        """Scans any contiguous buffer (bytes, bytearray, memoryview, array, mmap...) without copying it."""
        return _reports(self._native.scan(data))

    def scan_file(
        self,
        path: StrPath,
        archives: bool = False,
        *,
        max_archive_depth: int = _native.MAX_ARCHIVE_DEPTH,
        max_unpacked: int = _native.MAX_UNPACKED,
        max_members: int = _native.MAX_MEMBERS,
        max_ratio: int = _native.MAX_RATIO,
    ) -> List[Report]:
        """Scans a file of any size, streamed in chunks.

        With ``archives=True``, a file that is an archive or a compressed
        stream has its members unpacked in memory and scanned too, archives
        inside it in turn, as ``veltor scan`` does: their reports follow the
        file's own, each with its ``archive_path``. The limits are those of
        ``veltor scan`` (``--max-archive-depth`` ...), with its defaults;
        ``max_ratio=0`` turns the ratio check off. A member that cannot be
        read, or a limit reached, raises ``ArchiveError`` carrying every
        report of what could be read.

        Raises ``FileNotFoundError``, ``IsADirectoryError``,
        ``PermissionError`` or another ``OSError`` when it cannot be read,
        ``ValueError`` for a limit out of range or ``archives=True`` in a
        build that cannot open archives.
        """
        if archives:
            if not ARCHIVES_SUPPORTED:
                raise ValueError("this build cannot open archives (built without libarchive)")
            if not 1 <= max_archive_depth <= _native.MAX_ARCHIVE_DEPTH_LIMIT:
                top = _native.MAX_ARCHIVE_DEPTH_LIMIT
                raise ValueError(f"max_archive_depth takes 1 to {top}, not {max_archive_depth}")
            if max_unpacked < 1 or max_members < 1 or max_ratio < 0:
                raise ValueError("max_unpacked and max_members take 1 or more, max_ratio 0 (no limit) or more")
        with open(path, "rb", buffering=0) as file:
            reports = self.scan_stream(file)
            if not archives:
                return reports
            members, problems = self._native.walk_archive(
                file.fileno(), _os.fsencode(path), max_archive_depth, max_unpacked, max_members, max_ratio
            )
        reports += [Report(rule, level, score, where) for where, rule, level, score in members]
        if problems:
            raise ArchiveError(
                _os.fsdecode(path),
                reports,
                [ArchiveProblem(where, "incomplete" if incomplete else "error", reason)
                 for where, incomplete, reason in problems],
            )
        return reports

    def scan_stream(self, stream: BinaryIO) -> List[Report]:
        """Scans everything a binary stream yields until its end.

        Uses ``readinto`` when the stream has it, else ``read``; the stream
        is not closed.
        """
        native = self._native.begin()
        try:
            readinto = getattr(stream, "readinto", None)
            if readinto is not None:
                buffer = bytearray(READ_CHUNK_SIZE)
                view = memoryview(buffer)
                while True:
                    count = readinto(view)
                    if not count:
                        break
                    native.feed(view[:count])
            else:
                while True:
                    chunk = stream.read(READ_CHUNK_SIZE)
                    if not chunk:
                        break
                    native.feed(chunk)
            return _reports(native.finish())
        finally:
            native.close()

    def explain(self, data) -> Explanation:
        """Scans a buffer and explains the result (see ``Explanation``)."""
        signatures, rules = self._native.explain(data)
        return Explanation(
            signatures=[
                SignatureMatch(sid, plain[0], tuple(plain[1]), wide[0], tuple(wide[1]), self._names.get(sid))
                for _index, sid, plain, wide in signatures
            ],
            rules=[
                RuleScore(
                    rid,
                    name,
                    top_level,
                    score,
                    level,
                    tuple(
                        Reference("rule" if is_rule else "signature", ref_id, declared, value)
                        for is_rule, ref_id, declared, value in references
                    ),
                    reason,
                )
                for _index, rid, name, top_level, score, level, references, reason in rules
            ],
        )


def compile_with_diagnostics(
    source: str, *, path: str = "<string>", build_time: Optional[_datetime.datetime] = None
) -> Tuple[bytes, List[Diagnostic]]:
    """Compiles like ``compile`` and returns the image with the compiler's warnings.

    Issues no Python warnings; raises ``CompileError`` when the source has errors.
    """
    seconds = None if build_time is None else int(build_time.timestamp())
    image, diagnostics = _native.compile(source, path, seconds)
    found = [
        Diagnostic("error" if is_error else "warning", file, line, column, message)
        for is_error, file, line, column, message in diagnostics
    ]
    if image is None:
        raise CompileError(found)
    return image, found


def compile(
    source: str, *, path: str = "<string>", build_time: Optional[_datetime.datetime] = None
) -> bytes:
    """Compiles rule language source into a database image (see docs/rules.md).

    ``path`` names the source in diagnostics; ``build_time`` (an aware
    datetime) is stored instead of now. Each warning of the compiler is
    issued as a ``CompileWarning``; ``compile_with_diagnostics`` returns
    them instead. Raises ``CompileError`` carrying every diagnostic when the
    source has errors.
    """
    image, diagnostics = compile_with_diagnostics(source, path=path, build_time=build_time)
    for diagnostic in diagnostics:
        _warnings.warn(CompileWarning(diagnostic), stacklevel=2)
    return image
