"""Scanning many files on a Dask cluster.

Each worker process loads the database once (a worker plugin carries the
image, so workers need no access to the database file) and scans its share
of the paths through the streaming scan. Records have the fields of
``veltor scan --json``::

    {"path": P, "rule": NAME, "level": N}   one per report
    {"path": P, "clean": True}
    {"path": P, "skipped": REASON}           not a regular file
    {"path": P, "error": MESSAGE}            cannot be read

A task is a pure function of its paths, so a worker lost mid-run only makes
the scheduler run its tasks again elsewhere: nothing is lost or doubled.

Command line: ``python -m veltor.dask [--scheduler ADDRESS | --workers N]
--db FILE PATH...`` prints JSON Lines in path order.
"""
from __future__ import annotations

import argparse
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


def _display_path(path: PathLike) -> Record:
    """The path field, plus pathBytes (the raw bytes as a list) when the path is not UTF-8."""
    raw = os.fsencode(path)
    try:
        return {"path": raw.decode("utf-8")}
    except UnicodeDecodeError:
        return {"path": raw.decode("utf-8", "replace"), "pathBytes": list(raw)}


def _os_reason(prefix: str, error: OSError) -> str:
    return f"{prefix}: {os.strerror(error.errno)}" if error.errno else prefix


def scan_one(database: Database, path: PathLike) -> List[Record]:
    """The records of one path, as ``veltor scan --json`` gives them."""
    head = _display_path(path)
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return [{**head, "error": "no such file or folder"}]
    except OSError as error:
        return [{**head, "error": _os_reason("cannot read", error)}]
    if stat.S_ISDIR(info.st_mode):
        return [{**head, "error": "is a folder"}]
    if not stat.S_ISREG(info.st_mode):
        return [{**head, "skipped": "not a regular file"}]
    try:
        file = open(path, "rb", buffering=0)
    except OSError as error:
        return [{**head, "error": _os_reason("cannot open", error)}]
    try:
        with file:
            reports = database.scan_stream(file)
    except MemoryError:
        return [{**head, "error": "out of memory"}]
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
    # Path order as `veltor scan --sort` prints it: by the path's bytes; a
    # file's reports stay in report order (the sort is stable).
    raw = bytes(record["pathBytes"]) if "pathBytes" in record else record["path"].encode("utf-8")
    return raw


def main(argv: Optional[Sequence[str]] = None) -> int:
    """``veltor-dask-scan``: scan files on a Dask cluster, print JSON Lines."""
    parser = argparse.ArgumentParser(
        prog="python -m veltor.dask",
        description="Scan files on a Dask cluster and print one JSON record per line, in path order.",
    )
    parser.add_argument("--db", required=True, help="the database file (read here, shipped to the workers)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="an existing cluster's scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", type=int, default=2, metavar="N", help="local worker processes (default 2)")
    parser.add_argument("-r", "--recursive", action="store_true", help="scan folders and everything below them")
    parser.add_argument("--progress", action="store_true", help="show Dask's progress bar on standard error")
    parser.add_argument("paths", nargs="+", metavar="PATH")
    options = parser.parse_args(argv)

    paths: List[str] = []
    for path in options.paths:
        if options.recursive and os.path.isdir(path):
            for folder, folders, files in os.walk(path):
                folders.sort()
                paths.extend(os.path.join(folder, name) for name in sorted(files))
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
        records = scan_paths(paths, image, client, show_progress=options.progress)
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
