"""veltor.dask on a LocalCluster of two worker processes."""
import os
import random
import signal

import pytest

pytest.importorskip("distributed")
from distributed import Client, LocalCluster, wait  # noqa: E402

import veltor.dask  # noqa: E402
from conftest import DEFAULT_DATABASE, SAMPLES, cli_records  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The samples and generated files, with some carrying the samples' signatures."""
    root = tmp_path_factory.mktemp("scan")
    rng = random.Random(7)
    samples = sorted(p for p in SAMPLES.iterdir() if p.is_file())
    for sample in samples:
        (root / sample.name).write_bytes(sample.read_bytes())
    for index in range(60):
        content = rng.randbytes(rng.randint(1, 4000))
        if index % 3 == 0:
            content += rng.choice(samples).read_bytes()
        (root / f"generated-{index:03}.bin").write_bytes(content)
    # What the program treats specially: an empty file (clean), a name that
    # is not UTF-8 (pathBytes), a FIFO named on the command line (an error).
    (root / "empty").write_bytes(b"")
    with open(os.path.join(os.fsencode(root), b"name-\xe9\xff\xc3"), "wb") as file:
        file.write(samples[0].read_bytes())
    os.mkfifo(root / "fifo")
    return root


def test_records_equal_cli(client, folder):
    paths = sorted(str(folder / name) for name in os.listdir(folder))
    records = veltor.dask.scan_paths(paths + [str(folder / "missing")], DEFAULT_DATABASE, client, partition_size=8)
    expected = cli_records(DEFAULT_DATABASE, *paths, folder / "missing")
    assert records == expected
    assert {"path": str(folder / "missing"), "error": "no such file or folder"} in records
    assert {"path": str(folder / "empty"), "clean": True} in records
    assert any(r.get("pathBytes", "").endswith("e9ffc3") for r in records)


def test_worker_killed_mid_run_loses_and_doubles_nothing(client, folder):
    paths = sorted(str(folder / name) for name in os.listdir(folder))
    expected = veltor.dask.scan_paths(paths, DEFAULT_DATABASE, client, partition_size=4)
    bag = veltor.dask.scan_paths(paths, DEFAULT_DATABASE, client, partition_size=4, compute=False)
    partitions = client.compute(bag.to_delayed())
    wait(partitions[:1])
    # Kill the worker process holding the first finished partition while the
    # rest may still run: its results and tasks must be made again elsewhere.
    victim = next(iter(client.who_has(partitions[:1]).values()))[0]
    os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    records = [record for part in client.gather(partitions) for record in part]
    assert victim not in client.scheduler_info()["workers"]
    assert sorted(records, key=lambda r: r["path"]) == sorted(expected, key=lambda r: r["path"])
