"""Counts benchmark: counting apart, streaming, merging, pickling and the posterior passes.

Five measurements, each in a fresh interpreter, each figure beside a baseline measured in
the same run:

  stream   10 .npy shards of 10^8 symbols (alphabet 4), opened with mmap_mode="r" and
           streamed through one Counts, then fitted (bct, depth 10), against the in-memory
           fit of the same 10^9 symbols; peak memory each run added
  cluster  the same shards counted on a 2-worker dask LocalCluster, merged by a tree
           reduction and fitted, against the one-process streamed time: a task per
           shard, and a task per worker that adds up the counts of its share of the
           shards before they leave it
  merge    a + b for counts of growing size: ns per record (distinct key) of both
  pickle   pickled bytes per distinct key, alphabet 4 depth 10 and alphabet 256 depth 5
  bayes    log_evidence() and top_trees(k), k = 1, 5, 25, against fit(counts) of the same
           counts, alphabet 4 depth 10, 10^7 symbols

    PYTHONPATH=<build dir> python bench/bench_counts.py [--only stream,cluster,...]
        [--shard-symbols 100000000] [--shards 10] [--dir /tmp/ostrel-bench-shards]
"""

from __future__ import annotations

import argparse
import gc
import json
import operator
import pickle
import sys
import time
from pathlib import Path

from _common import (
    best_of,
    current_rss,
    emit_child_result,
    format_bytes,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
    reset_peak_rss,
    run_child,
)

PARTS = ("stream", "cluster", "merge", "pickle", "bayes")


def structured(n: int, alphabet: int, seed: int):
    """n symbols whose next symbol depends on the symbols before it: a function of a
    window of hidden uniform symbols, kept with probability 0.7 (NumPy, vectorised)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    hidden = rng.integers(0, alphabet, size=n + 4, dtype=np.uint64)
    window = hidden[4:] + alphabet * hidden[3:-1] + alphabet**2 * hidden[1:-3]
    table = rng.integers(0, alphabet, size=alphabet**3, dtype=np.uint64)
    keep = rng.random(n) < 0.7
    out = np.where(keep, table[window], hidden[4:])
    return out.astype(np.uint8 if alphabet <= 256 else np.uint32)


def write_shards(directory: Path, shards: int, symbols: int) -> list[Path]:
    import numpy as np

    directory.mkdir(parents=True, exist_ok=True)
    paths = [directory / f"shard-{k:03d}.npy" for k in range(shards)]
    for k, path in enumerate(paths):
        if path.exists() and np.load(path, mmap_mode="r").shape == (symbols,):
            continue
        np.save(path, structured(symbols, 4, seed=k))
    return paths


def count_shard(path: str, part: int):
    import numpy as np

    import ostrel

    rows = np.load(path, mmap_mode="r")
    counts = ostrel.Counts(4, 10, part=part)
    counts.add([rows])
    return counts


# ---- children: one measurement each, in a fresh interpreter -------------------------


def child_stream(payload: dict) -> dict:
    import numpy as np

    ostrel = import_ostrel()
    paths = payload["paths"]
    if payload["mode"] == "in-memory":
        genome = np.concatenate([np.load(p) for p in paths])
        gc.collect()
        before = current_rss()
        reset_peak_rss()
        start = time.perf_counter()
        model = ostrel.OSTREL(4, 10)
        model.fit([genome])
        seconds = time.perf_counter() - start
        return {"seconds": seconds, "added": peak_rss() - before, "nodes": model.node_count}
    before = current_rss()
    reset_peak_rss()
    start = time.perf_counter()
    counts = ostrel.Counts(4, 10)
    for path in paths:
        shard = np.load(path, mmap_mode="r")
        counts.add([shard])
        del shard
    model = ostrel.OSTREL(4, 10)
    model.fit(counts)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "added": peak_rss() - before, "nodes": model.node_count}


def count_shards(paths: list[str], parts: list[int]):
    """The counts of several shards, added up where they were counted."""
    total = None
    for path, part in zip(paths, parts, strict=True):
        counts = count_shard(path, part)
        total = counts if total is None else total + counts
    return total


def child_cluster(payload: dict) -> dict:
    from dask.distributed import Client, LocalCluster

    ostrel = import_ostrel()
    paths = payload["paths"]
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: (import_ostrel(), __import__("numpy")))
        start = time.perf_counter()
        if payload["batched"]:
            # One task per worker counts its share of the shards, so that counts
            # cross between processes once per worker rather than once per shard.
            workers = sorted(client.scheduler_info()["workers"])
            parts = list(range(len(paths)))
            futures = [
                client.submit(
                    count_shards,
                    paths[w :: len(workers)],
                    parts[w :: len(workers)],
                    workers=[worker],
                    pure=False,
                )
                for w, worker in enumerate(workers)
            ]
        else:
            futures = client.map(count_shard, paths, range(len(paths)), pure=False)
        while len(futures) > 1:
            halves = zip(futures[::2], futures[1::2], strict=False)
            pairs = [client.submit(operator.add, a, b) for a, b in halves]
            futures = pairs + futures[2 * len(pairs) :]
        counts = futures[0].result()
        model = ostrel.OSTREL(4, 10)
        model.fit(counts)
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "nodes": model.node_count}


def distinct_keys(row, depth: int, alphabet: int) -> int:
    """Distinct windows of depth + 1 symbols that end at a counted position."""
    import numpy as np

    bits = max(1, (alphabet - 1).bit_length())
    keys = np.zeros(len(row) - depth, dtype=np.uint64)
    for q in range(depth + 1):
        keys = (keys << np.uint64(bits)) | row[q : len(row) - depth + q].astype(np.uint64)
    return len(np.unique(keys))


def child_merge(payload: dict) -> dict:
    ostrel = import_ostrel()
    results = []
    for n in payload["sizes"]:
        a, b = ostrel.Counts(4, 10, part=0), ostrel.Counts(4, 10, part=1)
        row_a, row_b = structured(n, 4, seed=1), structured(n, 4, seed=2)
        a.add([row_a])
        b.add([row_b])
        records = distinct_keys(row_a, 10, 4) + distinct_keys(row_b, 10, 4)
        seconds = best_of(lambda a=a, b=b: a + b, payload["repeat"])
        results.append({"symbols": n, "records": records, "seconds": seconds})
    return {"results": results}


def child_pickle(payload: dict) -> dict:
    ostrel = import_ostrel()
    results = []
    for alphabet, depth, n in ((4, 10, 10**7), (256, 5, 10**6)):
        row = structured(n, alphabet, seed=3)
        counts = ostrel.Counts(alphabet, depth)
        counts.add([row])
        state = pickle.dumps(counts, protocol=pickle.HIGHEST_PROTOCOL)
        dumps = best_of(lambda c=counts: pickle.dumps(c, protocol=5), payload["repeat"])
        loads = best_of(lambda s=state: pickle.loads(s), payload["repeat"])
        results.append(
            {
                "alphabet": alphabet,
                "depth": depth,
                "symbols": n,
                "bytes": len(state),
                "keys": distinct_keys(row, depth, alphabet),
                "dumps": dumps,
                "loads": loads,
            }
        )
    return {"results": results}


def child_bayes(payload: dict) -> dict:
    ostrel = import_ostrel()
    row = structured(10**7, 4, seed=4)
    counts = ostrel.Counts(4, 10)
    counts.add([row])
    repeat = payload["repeat"]
    fit = best_of(lambda: ostrel.OSTREL(4, 10).fit(counts), repeat)
    evidence = best_of(counts.log_evidence, repeat)
    trees = {k: best_of(lambda k=k: counts.top_trees(k), repeat) for k in (1, 5, 25)}
    model = ostrel.OSTREL(4, 10)
    model.fit(counts)
    return {"fit": fit, "evidence": evidence, "trees": trees, "contexts": model.context_count}


CHILDREN = {
    "stream": child_stream,
    "cluster": child_cluster,
    "merge": child_merge,
    "pickle": child_pickle,
    "bayes": child_bayes,
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default=",".join(PARTS), help="parts to run: %(default)s")
    parser.add_argument("--shards", type=int, default=10)
    parser.add_argument("--shard-symbols", type=int, default=10**8)
    parser.add_argument("--dir", type=Path, default=Path("/tmp/ostrel-bench-shards"))
    parser.add_argument("--repeat", type=int, default=3, help="timing runs, best kept")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child is not None:
        payload = json.loads(args.child)
        emit_child_result(CHILDREN[payload["part"]](payload))
        return 0
    parts = [p for p in args.only.split(",") if p]
    script = Path(__file__).resolve()

    def child(part, **payload):
        return run_child(script, {"part": part, "repeat": args.repeat, **payload})

    paths = []
    if {"stream", "cluster"} & set(parts):
        print(f"writing shards to {args.dir} ...", file=sys.stderr, flush=True)
        paths = [str(p) for p in write_shards(args.dir, args.shards, args.shard_symbols)]
    total = args.shards * args.shard_symbols
    stream = None
    if "stream" in parts or "cluster" in parts:
        runs = {}
        for mode in ("in-memory", "streamed"):
            best = None
            for _ in range(args.repeat):
                r = child("stream", paths=paths, mode=mode)
                best = r if best is None or r["seconds"] < best["seconds"] else best
            runs[mode] = best
        stream = runs["streamed"]
        memory, streamed = runs["in-memory"], runs["streamed"]
        print(
            f"\nstream: {args.shards} shards of {args.shard_symbols:,} symbols "
            "(alphabet 4, bct, depth 10)"
        )
        print_table(
            ["fit", "time", "ratio", "peak added", "nodes"],
            [
                [
                    "in memory, one array",
                    format_seconds(memory["seconds"]),
                    "1.00x",
                    format_bytes(memory["added"]),
                    memory["nodes"],
                ],
                [
                    "streamed through Counts",
                    format_seconds(streamed["seconds"]),
                    format_ratio(streamed["seconds"] / memory["seconds"]),
                    format_bytes(streamed["added"]),
                    streamed["nodes"],
                ],
            ],
        )
    if "cluster" in parts:
        rows = [
            ["one process, streamed", format_seconds(stream["seconds"]), "1.00x", stream["nodes"]]
        ]
        for batched, name in ((False, "a task per shard"), (True, "a task per worker")):
            best = None
            for _ in range(args.repeat):
                r = child("cluster", paths=paths, batched=batched)
                best = r if best is None or r["seconds"] < best["seconds"] else best
            rows.append(
                [
                    f"2 workers, {name}, tree reduction",
                    format_seconds(best["seconds"]),
                    format_ratio(best["seconds"] / stream["seconds"]),
                    best["nodes"],
                ]
            )
        print(f"\ncluster: the same {total:,} symbols on a 2-worker LocalCluster")
        print_table(["fit", "time", "ratio", "nodes"], rows)
    if "merge" in parts:
        r = child("merge", sizes=[10**5, 10**6, 10**7])
        print("\nmerge: a + b, alphabet 4, depth 10, a and b from different rows")
        print_table(
            ["symbols each", "records (both)", "time", "ns/record"],
            [
                [
                    f"{x['symbols']:,}",
                    f"{x['records']:,}",
                    format_seconds(x["seconds"]),
                    f"{x['seconds'] / x['records'] * 1e9:.1f}",
                ]
                for x in r["results"]
            ],
        )
    if "pickle" in parts:
        r = child("pickle")
        print("\npickle: protocol 5")
        print_table(
            ["alphabet, depth", "symbols", "distinct keys", "bytes", "bytes/key", "dumps", "loads"],
            [
                [
                    f"{x['alphabet']}, {x['depth']}",
                    f"{x['symbols']:,}",
                    f"{x['keys']:,}",
                    format_bytes(x["bytes"]),
                    f"{x['bytes'] / x['keys']:.2f}",
                    format_seconds(x["dumps"]),
                    format_seconds(x["loads"]),
                ]
                for x in r["results"]
            ],
        )
    if "bayes" in parts:
        r = child("bayes")
        fit = r["fit"]
        print(
            "\nbayes: alphabet 4, depth 10, 10^7 symbols; "
            f"the MAP tree has {r['contexts']} contexts"
        )
        rows = [
            ["fit(counts)", format_seconds(fit), "1.00x"],
            ["log_evidence()", format_seconds(r["evidence"]), format_ratio(r["evidence"] / fit)],
        ]
        rows += [
            [f"top_trees({k})", format_seconds(t), format_ratio(t / fit)]
            for k, t in r["trees"].items()
        ]
        print_table(["call", "time", "ratio"], rows)
    print(
        f"\nbest of {args.repeat} runs each; ratios to the baseline in the first row of each table"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
