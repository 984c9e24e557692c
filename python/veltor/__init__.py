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
import errno as _errno
import os as _os
import stat as _stat
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
    "default_database_path",
]

#: Bytes read per step by ``scan_file`` and ``scan_stream``.
READ_CHUNK_SIZE = 1 << 20

DatabaseError = _native.DatabaseError
DatabaseError.__doc__ = "A file or image that is not a database, or a damaged one."

_FILETIME_EPOCH = _datetime.datetime(1601, 1, 1, tzinfo=_datetime.timezone.utc)

StrPath = Union[str, "_os.PathLike[str]"]


#: Whether this build opens archives (``scan_file(path, archives=True)``, ``scan(data, archives=True)``).
ARCHIVES_SUPPORTED: bool = _native.ARCHIVES_SUPPORTED


def _open_regular_file(path: StrPath):
    """Opens a file for ``scan_file`` as ``veltor scan`` opens one: without
    waiting (a FIFO without a writer), regular files only (a FIFO or a device
    could block or never end), with the same reasons."""
    flags = _os.O_RDONLY | getattr(_os, "O_NONBLOCK", 0) | getattr(_os, "O_NOCTTY", 0) | getattr(_os, "O_BINARY", 0)
    descriptor = _os.open(path, flags)
    try:
        mode = _os.fstat(descriptor).st_mode
        if _stat.S_ISDIR(mode):
            raise IsADirectoryError(_errno.EISDIR, "it is a folder", _os.fspath(path))
        if not _stat.S_ISREG(mode):
            kind = (
                "a block device" if _stat.S_ISBLK(mode)
                else "a character device" if _stat.S_ISCHR(mode)
                else "a FIFO" if _stat.S_ISFIFO(mode)
                else "a socket" if _stat.S_ISSOCK(mode)
                else None
            )
            reason = "not a regular file" + (f": {kind}" if kind else "")
            raise OSError(_errno.EINVAL, reason, _os.fspath(path))
        return open(descriptor, "rb", buffering=0)
    except BaseException:
        _os.close(descriptor)
        raise


def _would_wait() -> BlockingIOError:
    return BlockingIOError(_errno.EAGAIN, "read error: it would wait for data")


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


def _check_archive_limits(max_archive_depth: int, max_unpacked: int, max_members: int, max_ratio: int) -> None:
    if not ARCHIVES_SUPPORTED:
        raise ValueError("this build cannot open archives (built without libarchive)")
    if not 1 <= max_archive_depth <= _native.MAX_ARCHIVE_DEPTH_LIMIT:
        top = _native.MAX_ARCHIVE_DEPTH_LIMIT
        raise ValueError(f"max_archive_depth takes 1 to {top}, not {max_archive_depth}")
    if max_unpacked < 1 or max_members < 1 or max_ratio < 0:
        raise ValueError("max_unpacked and max_members take 1 or more, max_ratio 0 (no limit) or more")


def _with_members(where: str, reports: List[Report], members: list, problems: list) -> List[Report]:
    """The bytes' own reports, then the walk's; ArchiveError when it met a problem."""
    reports += [Report(rule, level, score, path) for path, rule, level, score in members]
    if problems:
        raise ArchiveError(
            where,
            reports,
            [ArchiveProblem(path, "incomplete" if incomplete else "error", reason)
             for path, incomplete, reason in problems],
        )
    return reports


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
    def load(cls, path: Optional[StrPath] = None) -> "Database":
        """Loads a database file; without a path, the default database.

        The default database is found as ``veltor scan`` finds it: the build
        tree's copy for a package run in place, else the one installed
        beside the library (``default_database_path()``).

        The signature name map beside it (``PATH.names``, written by
        ``veltor compile``), when there, names the signatures of ``explain``;
        one that cannot be used is left out with a ``UserWarning``.

        Raises ``FileNotFoundError`` (and other ``OSError``) when the file
        cannot be read or there is no default database, ``DatabaseError``
        when it is not a database.
        """
        if path is None:
            path = default_database_path()
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

    def scan(
        self,
        data,
        archives: bool = False,
        *,
        name: Optional[str] = None,
        max_archive_depth: int = _native.MAX_ARCHIVE_DEPTH,
        max_unpacked: int = _native.MAX_UNPACKED,
        max_members: int = _native.MAX_MEMBERS,
        max_ratio: int = _native.MAX_RATIO,
    ) -> List[Report]:
        """Scans any contiguous buffer (bytes, bytearray, memoryview, array, mmap...) without copying it.

        With ``archives=True`` the bytes are also walked as an archive, as
        ``scan_file(path, archives=True)`` walks a file with the same bytes
        and the same limits: the members' reports follow, and a member that
        cannot be read, or a limit reached, raises ``ArchiveError``.
        ``name`` stands for the bytes where a file's name would: what a
        compressed stream unpacks to is named after it (``"upload.tar"``
        for ``"upload.tar.gz"``, else ``"data"``), and ``ArchiveError``'s
        message starts with it (``"<bytes>"`` without one).
        """
        if not archives:
            return _reports(self._native.scan(data))
        _check_archive_limits(max_archive_depth, max_unpacked, max_members, max_ratio)
        reports = _reports(self._native.scan(data))
        members, problems = self._native.walk_archive_bytes(
            data, (name or "").encode("utf-8", "surrogateescape"), max_archive_depth, max_unpacked, max_members,
            max_ratio
        )
        return _with_members(name or "<bytes>", reports, members, problems)

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
        inside it in turn, and what each compressed stream unpacks to, as
        ``veltor scan`` does: their reports follow the
        file's own, each with its ``archive_path``. The limits are those of
        ``veltor scan`` (``--max-archive-depth`` ...), with its defaults;
        ``max_ratio=0`` turns the ratio check off. A member that cannot be
        read, or a limit reached, raises ``ArchiveError`` carrying every
        report of what could be read.

        The file is opened as ``veltor scan`` opens one: never waiting, and
        regular files only; a FIFO, a device or a socket raises ``OSError``
        with ``veltor scan``'s reason (``not a regular file: a FIFO``), and
        a read that would wait raises ``BlockingIOError``.

        Raises ``FileNotFoundError``, ``IsADirectoryError``,
        ``PermissionError`` or another ``OSError`` when it cannot be read,
        ``ValueError`` for a limit out of range or ``archives=True`` in a
        build that cannot open archives.
        """
        if archives:
            _check_archive_limits(max_archive_depth, max_unpacked, max_members, max_ratio)
        with _open_regular_file(path) as file:
            reports = self.scan_stream(file)
            if not archives:
                return reports
            members, problems = self._native.walk_archive(
                file.fileno(), _os.fsencode(path), max_archive_depth, max_unpacked, max_members, max_ratio
            )
        return _with_members(_os.fsdecode(path), reports, members, problems)

    def scan_stream(self, stream: BinaryIO) -> List[Report]:
        """Scans everything a binary stream yields until its end.

        Uses ``readinto`` when the stream has it, else ``read``; the stream
        is not closed. A non-blocking stream with nothing to give yet
        (``readinto`` or ``read`` returns ``None``) raises
        ``BlockingIOError``: the bytes not yet read were not scanned. A
        ``readinto`` that claims a negative count or more bytes than the
        buffer holds raises ``ValueError``.
        """
        native = self._native.begin()
        try:
            readinto = getattr(stream, "readinto", None)
            if readinto is not None:
                buffer = bytearray(READ_CHUNK_SIZE)
                view = memoryview(buffer)
                while True:
                    count = readinto(view)
                    if count is None:
                        raise _would_wait()
                    if not 0 <= count <= len(view):
                        raise ValueError(f"readinto() returned {count} for a buffer of {len(view)} bytes")
                    if count == 0:
                        break
                    native.feed(view[:count])
            else:
                while True:
                    chunk = stream.read(READ_CHUNK_SIZE)
                    if chunk is None:
                        raise _would_wait()
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


def default_database_path() -> str:
    """The default database's path: the first of the places looked at that is a file.

    Raises ``FileNotFoundError`` naming every place looked at when there is none.
    """
    folder = _os.path.dirname(_os.path.abspath(_native.__file__))
    # An absolute candidate stays as it is in the join.
    candidates = [_os.path.normpath(_os.path.join(folder, c)) for c in _native.DEFAULT_DATABASE_CANDIDATES]
    for candidate in candidates:
        if _os.path.isfile(candidate):
            return candidate
    raise FileNotFoundError(_errno.ENOENT, "no default database; looked at " + ", ".join(candidates))


def compile_with_diagnostics(
    source: str, *, path: str = "<string>", build_time: Optional[_datetime.datetime] = None
) -> Tuple[bytes, List[Diagnostic]]:
    """Compiles like ``compile`` and returns the image with the compiler's warnings.

    Issues no Python warnings; raises ``CompileError`` when the source has errors,
    ``ValueError`` for a source or path that cannot be UTF-8 (a lone
    surrogate), naming its position.
    """
    for what, text in (("source", source), ("path", path)):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            at = error.start
            line = text.count("\n", 0, at) + 1
            column = at - (text.rfind("\n", 0, at) + 1) + 1
            raise ValueError(
                f"the {what} holds a lone surrogate (U+{ord(text[at]):04X}) at line {line}, column {column}"
                f" (index {at}), which UTF-8 cannot hold"
            ) from None
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
    source has errors, ``ValueError`` for a source or path that cannot be
    UTF-8 (a lone surrogate), naming its position.
    """
    image, diagnostics = compile_with_diagnostics(source, path=path, build_time=build_time)
    for diagnostic in diagnostics:
        _warnings.warn(CompileWarning(diagnostic), stacklevel=2)
    return image
