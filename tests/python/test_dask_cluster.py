"""The Dask example survives a worker killed while counting, on a cluster started as
production starts one: a `dask scheduler` and two `dask worker` processes on 127.0.0.1."""

import contextlib
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")
from distributed import Client

ROOT = Path(__file__).resolve().parents[2]
DASK = [sys.executable, "-m", "dask"]  # the `dask` command of this interpreter
LIMIT = 120  # seconds any one wait may take on a loaded machine


def wait_for(ready, what, limit=LIMIT):
    deadline = time.monotonic() + limit
    while not (found := ready()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"no {what} after {limit} s")
        time.sleep(0.02)
    return found


def stop(process):
    """Ends a process this test started, by its id, and reaps it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


def scheduler_address(path):
    """The address in the scheduler's file, once it is written whole."""
    try:
        return json.loads(path.read_text())["address"]
    except (OSError, ValueError, KeyError):
        return None


@pytest.fixture
def cluster(tmp_path):
    """The scheduler's address and the worker processes by name. Ports are the free ones
    the system picks (port 0); the scheduler writes its address to a file. The workers
    run without a nanny, so a killed worker stays dead; every process is stopped at the
    end, and exits by itself if the test process dies first (idle and death timeouts)."""
    processes = []
    logs = tmp_path / "logs"
    logs.mkdir()

    def start(name, *argv):
        log = open(logs / f"{name}.log", "wb")  # noqa: SIM115 -- closed with the process
        processes.append((subprocess.Popen([*DASK, *argv], stdout=log, stderr=log), log))
        return processes[-1][0]

    address_file = tmp_path / "scheduler.json"
    common = ["--host", "127.0.0.1", "--no-dashboard"]
    try:
        scheduler = ["scheduler", *common, "--port", "0", "--idle-timeout", "300"]
        start("scheduler", *scheduler, "--scheduler-file", str(address_file))
        address = wait_for(lambda: scheduler_address(address_file), "scheduler address")
        worker = ["worker", address, *common, "--no-nanny", "--nthreads", "1"]
        worker += ["--death-timeout", "60"]
        workers = {
            name: start(name, *worker, "--name", name, "--local-directory", str(tmp_path / name))
            for name in ("w0", "w1")
        }
        yield address, workers
    except BaseException:
        for name, (_, log) in zip(["scheduler", "w0", "w1"], processes, strict=False):
            log.flush()
            print(f"--- {name}\n" + (logs / f"{name}.log").read_text(errors="replace"))
        raise
    finally:
        for process, log in reversed(processes):
            stop(process)
            log.close()


def test_a_worker_killed_while_counting_changes_nothing(cluster, tmp_path):
    address, workers = cluster
    rng = np.random.default_rng(11)
    for k in range(6):  # half a walk, half noise: many contexts, so counting takes a while
        walk = np.cumsum(rng.integers(0, 3, size=2 * 10**6)) % 4
        noise = rng.integers(0, 4, size=walk.size)
        row = np.where(rng.random(walk.size) < 0.5, walk, noise)
        np.save(tmp_path / f"shard-{k}.npy", row.astype(np.uint8))
    argv = ["examples/dask_fit.py", "--scheduler", address, "--shards", str(tmp_path)]
    argv += ["--check-below", str(10**8)]  # the one-process fit to compare with

    with Client(address, timeout=LIMIT) as client:
        client.wait_for_workers(2, timeout=LIMIT)
        fit = subprocess.Popen(
            [sys.executable, *argv], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
        )
        try:

            def counting():
                assert fit.poll() is None, fit.stdout.read().decode()  # ended before counting
                processing = client.processing().items()
                busy = [w for w, keys in processing if any("count_run" in str(k) for k in keys)]
                names = client.scheduler_info()["workers"]
                return [names[w]["name"] for w in busy if w in names]

            killed = wait_for(counting, "counting task")[0]
            workers[killed].kill()
            workers[killed].wait(timeout=10)
            out, _ = fit.communicate(timeout=LIMIT)
        finally:
            with contextlib.suppress(subprocess.TimeoutExpired):
                stop(fit)
    out = out.decode()
    assert fit.returncode == 0, out
    assert "6 shards, 12,000,000 symbols: counted in 2 tasks and merged on 2 workers" in out
    assert out.endswith("one-process fit of the same rows in shard order: identical\n")
