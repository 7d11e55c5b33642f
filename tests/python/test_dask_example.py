"""The Dask example counts shards on worker processes and fits what one process fits."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

ROOT = Path(__file__).resolve().parents[2]


def test_cluster_counts_fit_as_one_process_fits(tmp_path):
    rng = np.random.default_rng(3)
    walk = np.cumsum(rng.integers(0, 3, size=12_000)) % 4  # steps of 0, 1 or 2
    np.save(tmp_path / "a.npy", walk[:9_000].reshape(3, 3_000).astype(np.int64))  # rows
    np.save(tmp_path / "b.npy", walk[9_000:].astype(np.uint8))  # one row
    argv = [sys.executable, "examples/dask_fit.py", "--shards", str(tmp_path), "--max-depth", "4"]
    argv += ["--tree-nodes", "3"]
    run = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "2 shards, 12,000 symbols: counted in 2 tasks and merged on 2 workers" in run.stdout
    assert "sample size 11,984" in run.stdout
    # A bounded view of the tree: whole levels, no more than --tree-nodes, the rest counted.
    nodes = int(re.search(r"nodes (\d+),", run.stdout)[1])
    drawn = re.search(
        r"^  context .*\n((?:  .*\n)+?)  … ([\d,]+) deeper nodes of ([\d,]+)", run.stdout, re.M
    )
    assert drawn, run.stdout
    assert int(drawn[3].replace(",", "")) == nodes
    lines = len(drawn[1].splitlines())
    assert lines + int(drawn[2].replace(",", "")) == nodes and lines <= 3
    assert run.stdout.endswith("one-process fit of the same rows in shard order: identical\n")
