"""Scanning many files on a Dask cluster.

Each worker process loads the database once (a worker plugin carries the
image, so workers need no access to the database file) and scans its share
of the paths through the streaming scan. Records have the fields of
``veltor scan --json``::

    {"path": P, "rule": NAME, "level": N}   one per report
    {"path": P, "clean": True}               nothing reported (empty files too)
    {"path": P, "excluded": REASON}          a device, FIFO or socket inside a folder (command line only)
    {"path": P, "error": MESSAGE}            missing, not a regular file, cannot be read

with the same texts as the program's. A path that is not UTF-8 is shown with
each undecodable byte as U+FFFD, and its bytes are added as lowercase hex in
``pathBytes``.

A task is a pure function of its paths, so a worker lost mid-run only makes
the scheduler run its tasks again elsewhere: nothing is lost or doubled.

Command line: ``python -m veltor.dask [--scheduler ADDRESS | --workers N]
--db FILE PATH...`` prints JSON Lines in path order.
"""
from __future__ import annotations

import argparse
import errno
import json
import os
import stat
import sys
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

import dask.bag as _bag
from distributed import Client, LocalCluster, WorkerPlugin, progress as _progress

from . import Database

__all__ = ["DatabasePlugin", "scan_paths", "scan_one", "main"]

Record = Dict[str, Any]
PathLike = Union[str, bytes, "os.PathLike[str]"]

_PLUGIN_NAME = "veltor-database"


class DatabasePlugin(WorkerPlugin):
    """Loads a database once in each worker process, from an image it carries."""

    name = _PLUGIN_NAME

    def __init__(self, image: bytes):
        self.image = bytes(image)
        self.database: Optional[Database] = None

    def setup(self, worker) -> None:
        self.database = Database.from_bytes(self.image)


def _worker_database() -> Database:
    from distributed import get_worker

    plugin = get_worker().plugins[_PLUGIN_NAME]
    if plugin.database is None:  # setup has not run on this copy yet
        plugin.setup(get_worker())
    return plugin.database


_UTF8_LENGTH = [1] * 0x80 + [0] * 0x40 + [2] * 0x20 + [3] * 0x10 + [4] * 0x08 + [0] * 0x08


def _utf8_text(raw: bytes) -> str:
    """The bytes as UTF-8, each byte that starts no valid sequence shown as U+FFFD (as the program does)."""
    out: List[str] = []
    at = 0
    while at < len(raw):
        length = _UTF8_LENGTH[raw[at]]
        if length:
            try:
                out.append(raw[at : at + length].decode("utf-8"))
                at += length
                continue
            except UnicodeDecodeError:
                pass
        out.append("\ufffd")
        at += 1
    return "".join(out)


def _display_path(path: PathLike) -> Record:
    """The path field, plus pathBytes (the raw bytes in lowercase hex) when the path is not UTF-8."""
    raw = os.fsencode(path)
    try:
        return {"path": raw.decode("utf-8")}
    except UnicodeDecodeError:
        return {"path": _utf8_text(raw), "pathBytes": raw.hex()}


def _os_reason(prefix: str, error: OSError) -> str:
    return f"{prefix}: {os.strerror(error.errno)}" if error.errno else prefix


def _kind_name(mode: int) -> str:
    if stat.S_ISBLK(mode):
        return "not a regular file: a block device"
    if stat.S_ISCHR(mode):
        return "not a regular file: a character device"
    if stat.S_ISFIFO(mode):
        return "not a regular file: a FIFO"
    if stat.S_ISSOCK(mode):
        return "not a regular file: a socket"
    return "not a regular file"


class _NoWait:
    """A nonblocking file whose read that would wait is an error, not the end."""

    def __init__(self, file):
        self._file = file

    def readinto(self, view) -> int:
        count = self._file.readinto(view)
        if count is None:
            raise BlockingIOError(errno.EAGAIN, "would wait")
        return count


def scan_one(database: Database, path: PathLike) -> List[Record]:
    """The records of one file, as ``veltor scan --json`` gives them for a file named on its command line."""
    head = _display_path(path)
    try:
        info = os.stat(path)
    except FileNotFoundError:
        broken = os.path.islink(path)
        return [{**head, "error": "broken symbolic link" if broken else "no such file or folder"}]
    except OSError as error:
        return [{**head, "error": _os_reason("cannot read", error)}]
    if stat.S_ISDIR(info.st_mode):
        return [{**head, "error": "is a folder: give its files"}]
    if not stat.S_ISREG(info.st_mode):
        return [{**head, "error": _kind_name(info.st_mode)}]
    try:
        # Never waits, as the program's open: the name may have become a FIFO.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        return [{**head, "error": _os_reason("cannot open", error)}]
    with open(descriptor, "rb", buffering=0) as file:
        try:
            regular = stat.S_ISREG(os.fstat(descriptor).st_mode)
        except OSError as error:
            return [{**head, "error": _os_reason("cannot read", error)}]
        if not regular:
            return [{**head, "error": "not a regular file"}]
        try:
            reports = database.scan_stream(_NoWait(file))
        except MemoryError:
            return [{**head, "error": "out of memory"}]
        except BlockingIOError:
            return [{**head, "error": "read error: it would wait for data"}]
        except OSError as error:
            return [{**head, "error": _os_reason("read error", error)}]
    if not reports:
        return [{**head, "clean": True}]
    return [{**head, "rule": r.rule, "level": r.level} for r in reports]


def _scan_partition(paths: Iterable[PathLike]) -> List[Record]:
    database = _worker_database()
    records: List[Record] = []
    for path in paths:
        records.extend(scan_one(database, path))
    return records


def _image_of(database: Union[PathLike, bytes, bytearray, memoryview]) -> bytes:
    if isinstance(database, (bytes, bytearray, memoryview)):
        return bytes(database)
    with open(database, "rb") as file:
        return file.read()


def scan_paths(
    paths: Union[Sequence[PathLike], _bag.Bag],
    database: Union[PathLike, bytes],
    client: Optional[Client] = None,
    *,
    partition_size: int = 64,
    compute: bool = True,
    show_progress: bool = False,
) -> Union[List[Record], _bag.Bag]:
    """Scans the paths on the cluster of ``client`` (the current client when None).

    ``database`` is a database file, read here and shipped to the workers,
    or its bytes. ``paths`` is a sequence or a ``dask.bag`` of paths as the
    workers see them. Returns the records in path order (one list), or with
    ``compute=False`` a ``dask.bag`` of them. ``show_progress`` shows Dask's
    progress bar while the scan runs.
    """
    image = _image_of(database)
    Database.from_bytes(image)  # a database that does not load fails here, not on every worker
    if client is None:
        from distributed import default_client

        client = default_client()
    client.register_worker_plugin(DatabasePlugin(image), name=_PLUGIN_NAME)

    if isinstance(paths, _bag.Bag):
        bag = paths
    else:
        paths = list(paths)
        count = max(1, -(-len(paths) // max(1, partition_size)))
        bag = _bag.from_sequence(paths, npartitions=count)
    records = bag.map_partitions(_scan_partition)
    if not compute:
        return records
    future = client.compute(records)
    if show_progress:
        _progress(future)
    return sorted(future.result(), key=_record_order)


def _record_order(record: Record):
    # Path order as `veltor scan --sort` prints it: by the path's bytes, the
    # separator before every other byte (no path holds a NUL); a file's
    # reports stay in report order (the sort is stable).
    raw = bytes.fromhex(record["pathBytes"]) if "pathBytes" in record else record["path"].encode("utf-8")
    return raw.replace(b"/", b"\0")


def _walk_folder(folder: bytes, recursive: bool, paths: List, excluded: List[Record]) -> None:
    """A folder's files as ``veltor scan`` walks them: in name order, symbolic
    links not followed, subfolders only when recursive, devices, FIFOs and
    sockets excluded."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as error:
        excluded.append({**_display_path(folder), "error": _os_reason("cannot list folder", error)})
        return
    for name in names:
        path = os.path.join(folder, name)
        try:
            mode = os.lstat(path).st_mode
        except OSError as error:
            excluded.append({**_display_path(path), "error": _os_reason("cannot read", error)})
            continue
        if stat.S_ISLNK(mode):
            continue
        if stat.S_ISDIR(mode):
            if recursive:
                _walk_folder(path, recursive, paths, excluded)
        elif stat.S_ISREG(mode):
            paths.append(os.fsdecode(path))
        else:
            excluded.append({**_display_path(path), "excluded": _kind_name(mode)})


def _worker_count(text: str) -> int:
    """--workers: a cluster of no workers would wait for one for ever."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"takes a whole number of 1 or more, not '{text}'") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"takes 1 or more, not {count} (with no worker nothing would ever run)")
    return count


def main(argv: Optional[Sequence[str]] = None) -> int:
    """``veltor-dask-scan``: scan files on a Dask cluster, print JSON Lines."""
    parser = argparse.ArgumentParser(
        prog="python -m veltor.dask",
        description="Scan files on a Dask cluster and print one JSON record per line, in path order.",
    )
    parser.add_argument("--db", required=True, help="the database file (read here, shipped to the workers)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="an existing cluster's scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", type=_worker_count, default=2, metavar="N", help="local worker processes (default 2)")
    parser.add_argument("-r", "--recursive", action="store_true", help="scan folders and everything below them")
    parser.add_argument("--progress", action="store_true", help="show Dask's progress bar on standard error")
    parser.add_argument("paths", nargs="+", metavar="PATH")
    options = parser.parse_args(argv)

    paths: List[str] = []
    excluded: List[Record] = []
    for path in options.paths:
        if os.path.isdir(path):
            _walk_folder(os.fsencode(path), options.recursive, paths, excluded)
        else:
            paths.append(path)

    try:
        image = _image_of(options.db)
    except OSError as error:
        print(f"veltor dask-scan: cannot read the database {options.db}: {error.strerror}", file=sys.stderr)
        return 2
    if options.scheduler:
        client = Client(options.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    try:
        records = sorted(scan_paths(paths, image, client, show_progress=options.progress) + excluded,
                         key=_record_order)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for record in records:
        sys.stdout.write(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
    if any("error" in r for r in records):
        return 2
    return 1 if any("rule" in r for r in records) else 0


if __name__ == "__main__":
    sys.exit(main())
