"""Count shards of a sequence collection on a Dask cluster, merge the counts, and fit.

Run from the project root after `pip install .` (the test requirements bring Dask):

    python examples/dask_fit.py                                  # 2 local worker processes
    python examples/dask_fit.py --scheduler tcp://scheduler:8786 # a running cluster

A shard is a .npy file of rows: a 2-D array of rows, or a 1-D array that is one row.
The shards are cut into runs of consecutive shards, one task per run (by default as
many runs as workers). A task opens its shards with mmap_mode="r" and adds their
rows, in order, to one ostrel.Counts whose part is the run's position, so the
merged counts order rows by shard, then by row, whatever order the merges run in.
Counts are merged in pairs on the workers as they finish, and each is let go as
soon as it is merged. No task is pinned to a worker: when a worker dies, the
scheduler runs its tasks again on the others (and recounts a lost result) and the
model comes out the same. A worker fits the merged counts, so only the model
travels to the driver: exactly the model that one process fits on all rows in that
order, which the script checks when the data is small.

On a cluster of machines (`dask scheduler` on one, `dask worker tcp://scheduler:8786`
on the others) every worker must see the shard files at the same path, on a shared
file system. When the shard directory holds no shards, the script writes some: rows
sampled from a model of the SARS-CoV-2 genome.
"""

import argparse
import itertools
import operator
import tempfile
import time
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster, as_completed, wait
from quickstart import DATA_DIR, draw_tree, load

import ostrel

LABELS = "ACGT"


def count_run(paths, part, alphabet_size, max_depth):
    """The counts of a run of consecutive shards, rows in order (this runs on a worker)."""
    counts = ostrel.Counts(alphabet_size, max_depth, part=part)
    for path in paths:
        rows = np.load(path, mmap_mode="r")
        counts.add(rows if rows.ndim == 2 else [rows])
        del rows  # unmapped before the next shard
    return counts


def runs(paths, tasks):
    """`paths` cut into `tasks` runs of consecutive shards, sizes differing by one at most."""
    tasks = max(1, min(tasks, len(paths)))
    size, extra = divmod(len(paths), tasks)
    bounds = [k * size + min(k, extra) for k in range(tasks + 1)]
    return [paths[a:b] for a, b in itertools.pairwise(bounds)]


def count_on_cluster(client, paths, tasks, alphabet_size, max_depth):
    """The future of the counts of all shards: a task per run of shards, merged in pairs
    on the workers as they finish."""
    batches = runs(paths, tasks)
    pending = as_completed(
        client.map(
            count_run,
            batches,
            range(len(batches)),
            alphabet_size=alphabet_size,
            max_depth=max_depth,
            pure=False,
        )
    )
    waiting = None  # a finished counts with no partner yet
    for future in pending:
        if waiting is None:
            waiting = future
        else:  # the merge holds both inputs on the scheduler until it is done
            pending.add(client.submit(operator.add, waiting, future, pure=False))
            waiting = None
        del future
    return waiting


def fit_counts(counts, alphabet_size, max_depth, method):
    """The model of `counts` and the seconds its fit took (this runs on a worker)."""
    model = ostrel.OSTREL(alphabet_size, max_depth=max_depth, method=method)
    start = time.perf_counter()
    model.fit(counts)
    return model, time.perf_counter() - start


def write_shards(directory, shards, length, seed):
    """Rows sampled from a depth-6 model of the SARS-CoV-2 genome, one row per shard."""
    genome = ostrel.OSTREL(4, max_depth=6)
    genome.fit(load(DATA_DIR / "sars_cov_2.txt"))
    directory.mkdir(parents=True, exist_ok=True)
    for k in range(shards):
        row = genome.sample(length, seed=seed + k)
        np.save(directory / f"shard-{k:04d}.npy", np.asarray(row, dtype=np.uint8))


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

    def option(name, help, shown="%(default)s", **kwargs):
        parser.add_argument(name, help=f"{help} (default: {shown})", **kwargs)

    option("--shards", "directory of .npy shards", type=Path, default=shards, metavar="DIR")
    option(
        "--scheduler",
        "address of a running scheduler, e.g. tcp://host:8786",
        shown="none, a local cluster of --workers processes",
        metavar="ADDRESS",
    )
    option("--workers", "local worker processes", type=int, default=2, metavar="N")
    option("--tasks", "counting tasks, 0: one per worker", type=int, default=0, metavar="N")
    option("--max-depth", "max_depth of the model", type=int, default=10, metavar="N")
    option("--method", "tree selector", default="bct", choices=("bct", "bic", "peres_shield"))
    option("--new-shards", "shards to write when absent", type=int, default=8, metavar="N")
    option("--new-length", "symbols per new shard", type=int, default=10**6, metavar="N")
    option("--check-below", "symbols to check up to", type=int, default=10**7, metavar="N")
    option("--tree-nodes", "nodes of the tree to draw at most", type=int, default=100, metavar="N")
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
        tasks = min(args.tasks or workers, len(paths))
        start = time.perf_counter()
        counts = count_on_cluster(client, [str(p) for p in paths], tasks, alphabet, args.max_depth)
        wait(counts)
        counted = time.perf_counter() - start
        # Fitted where the counts are, so that only the model travels (counts.result()
        # would bring the counts, for log_evidence() or top_trees()).
        fit = client.submit(fit_counts, counts, alphabet, args.max_depth, args.method, pure=False)
        del counts
        model, fitted = fit.result()
        total = time.perf_counter() - start
    if not args.scheduler:
        cluster.close()

    print(
        f"{len(paths)} shards, {symbols:,} symbols: counted in {tasks} tasks and merged "
        f"on {workers} workers in {counted:.2f} s, fitted there ({args.method}, "
        f"max depth {args.max_depth}) in {fitted:.2f} s, {total:.2f} s in all"
    )
    print(
        f"contexts {model.context_count}, nodes {model.node_count}, "
        f"sample size {model.sample_size:,}"
    )
    print()
    for text in draw_tree(model, LABELS, max_nodes=args.tree_nodes):
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
