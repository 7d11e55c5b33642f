"""Count shards of a sequence collection on a Dask cluster, merge the counts, and fit.

Run from the project root after `pip install .` (the test requirements bring Dask):

    python examples/dask_fit.py                                  # 2 local worker processes
    python examples/dask_fit.py --scheduler tcp://scheduler:8786 # a running cluster

A shard is a .npy file of rows: a 2-D array of rows, or a 1-D array that is one row.
Each worker opens its shards with mmap_mode="r" and counts them into an
ostrel.Counts whose part is the shard's position in the list, so the merged counts
order rows by shard, then by row, whatever order the tree reduction merges them in.
The driver fits the merged counts: exactly the model that one process fits on all
rows in that order, which the script checks when the data is small.

On a cluster of machines (`dask scheduler` on one, `dask worker tcp://scheduler:8786`
on the others) every worker must see the shard files at the same path, on a shared
file system. When the shard directory holds no shards, the script writes some: rows
sampled from a model of the SARS-CoV-2 genome.
"""

import argparse
import operator
import tempfile
import time
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster
from quickstart import DATA_DIR, draw_tree, load

import ostrel

LABELS = "ACGT"


def count_shard(path, part, alphabet_size, max_depth):
    """The counts of one shard's rows (this runs on a worker)."""
    rows = np.load(path, mmap_mode="r")
    counts = ostrel.Counts(alphabet_size, max_depth, part=part)
    counts.add(rows if rows.ndim == 2 else [rows])
    return counts


def tree_sum(client, futures):
    """Merges counts pairwise, level by level, on the workers."""
    while len(futures) > 1:
        halves = zip(futures[::2], futures[1::2], strict=False)  # an odd one waits a level
        pairs = [client.submit(operator.add, a, b) for a, b in halves]
        futures = pairs + futures[2 * len(pairs) :]
    return futures[0]


def write_shards(directory, shards, length, seed):
    """Rows sampled from a depth-6 model of the SARS-CoV-2 genome, one row per shard."""
    genome = ostrel.OSTREL(4, max_depth=6)
    genome.fit(load(DATA_DIR / "sars_cov_2.txt"))
    directory.mkdir(parents=True, exist_ok=True)
    for k in range(shards):
        row = genome.sample(length, seed=seed + k)
        np.save(directory / f"shard-{k:04d}.npy", np.array(row, dtype=np.uint8))


def same_model(a, b):
    """Whether two fitted models answer alike: tree, counts and probabilities."""
    if a.get_contexts() != b.get_contexts() or a.node_count != b.node_count:
        return False
    contexts = [[], *a.get_contexts()]
    return all(
        a.get_transition_counts(c) == b.get_transition_counts(c)
        and a.get_distribution(c) == b.get_distribution(c)
        for c in contexts
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    shards = Path(tempfile.gettempdir()) / "ostrel-shards"
    parser.add_argument("--shards", type=Path, default=shards, help="directory of .npy shards")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--max-depth", type=int, default=10)
    parser.add_argument("--method", default="bct")
    parser.add_argument("--new-shards", type=int, default=8, help="shards to write when absent")
    parser.add_argument("--new-length", type=int, default=10**6, help="symbols per new shard")
    parser.add_argument("--check-below", type=int, default=10**7, help="symbols to check up to")
    args = parser.parse_args()

    paths = sorted(args.shards.glob("*.npy"))
    if not paths:
        print(f"writing {args.new_shards} shards of {args.new_length:,} symbols to {args.shards}")
        write_shards(args.shards, args.new_shards, args.new_length, seed=2026)
        paths = sorted(args.shards.glob("*.npy"))
    symbols = sum(np.load(p, mmap_mode="r").size for p in paths)
    alphabet = len(LABELS)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    with client:
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        futures = client.map(
            count_shard,
            [str(p) for p in paths],
            range(len(paths)),
            alphabet_size=alphabet,
            max_depth=args.max_depth,
            pure=False,
        )
        counts = tree_sum(client, futures).result()
        counted = time.perf_counter() - start
    if not args.scheduler:
        cluster.close()

    model = ostrel.OSTREL(alphabet, max_depth=args.max_depth, method=args.method)
    start = time.perf_counter()
    model.fit(counts)
    fitted = time.perf_counter() - start
    print(
        f"{len(paths)} shards, {symbols:,} symbols: counted and merged on {workers} workers "
        f"in {counted:.2f} s, fitted ({args.method}, max depth {args.max_depth}) "
        f"in {fitted:.2f} s"
    )
    print(
        f"contexts {model.context_count}, nodes {model.node_count}, "
        f"sample size {model.sample_size:,}"
    )
    print()
    for text in draw_tree(model, LABELS):
        print("  " + text)

    if symbols <= args.check_below:
        rows = []
        for path in paths:
            shard = np.load(path)
            rows.extend(shard if shard.ndim == 2 else [shard])
        direct = ostrel.OSTREL(alphabet, max_depth=args.max_depth, method=args.method)
        direct.fit(rows)
        verdict = "identical" if same_model(model, direct) else "DIFFERENT"
        print(f"\none-process fit of the same rows in shard order: {verdict}")
        if verdict != "identical":
            raise SystemExit(1)


if __name__ == "__main__":
    main()
