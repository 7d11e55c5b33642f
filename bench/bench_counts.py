"""Counts benchmark: counting apart, streaming, merging, pickling and the posterior passes.

Five measurements, each in a fresh interpreter, each figure beside a baseline measured in
the same run:

  stream   10 .npy shards of 10^8 symbols (alphabet 4), opened with mmap_mode="r" and
           streamed through one Counts, then fitted (bct, depth 10), against the in-memory
           fit of the same 10^9 symbols; peak memory each run added
  cluster  the same shards counted on a 2-worker dask LocalCluster by the recipe of
           examples/dask_fit.py (a task per run of consecutive shards, one run per
           worker, unpinned, merged in pairs as they finish, fitted on a worker),
           against the one-process streamed time; also a task per shard; the workers' peak
           memory beside the one-process streamed peak; whether the model is the
           streamed one, byte for byte
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
    return {
        "seconds": seconds,
        "added": peak_rss() - before,
        "peak": peak_rss(),
        "nodes": model.node_count,
        "digest": model_digest(model),
    }


def model_digest(model) -> str:
    """The model's pickled state, hashed: equal digests are identical models."""
    import hashlib

    return hashlib.sha256(pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)).hexdigest()


def worker_mark() -> int:
    """Restarts a worker's peak watermark; its resident size now (runs on the worker)."""
    gc.collect()
    reset_peak_rss()
    return current_rss()


def phases(records: list[dict], start: float, end: float) -> dict:
    """When each phase of a cluster run ended, from the task stream: the last count, the
    last merge and the fit, in seconds after `start`; the rest is the model's way back."""
    ends = {"count_run": start, "add": start, "fit_counts": start}
    for record in records:
        name = str(record["key"]).split("-")[0]
        for span in record["startstops"]:
            if name in ends and span["action"] == "compute":
                ends[name] = max(ends[name], span["stop"])
    counted = ends["count_run"]
    merged = max(counted, ends["add"])
    fitted = max(merged, ends["fit_counts"])
    return {
        "counting": counted - start,
        "merging": merged - counted,
        "fitting": fitted - merged,
        "returning": end - fitted,
    }


def child_cluster(payload: dict) -> dict:
    from dask.distributed import Client, LocalCluster, get_task_stream

    import_ostrel()
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
    from dask_fit import count_on_cluster, fit_counts

    paths = payload["paths"]
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: (import_ostrel(), __import__("numpy"), __import__("dask_fit")))
        marks = client.run(worker_mark)
        with get_task_stream(client) as stream:
            wall, start = time.time(), time.perf_counter()
            counts = count_on_cluster(client, paths, payload["tasks"], 4, 10)
            model, _ = client.submit(fit_counts, counts, 4, 10, "bct", pure=False).result()
            seconds = time.perf_counter() - start
            del counts
        peaks = client.run(peak_rss)
    added = max(peaks[w] - marks[w] for w in peaks)
    return {
        "seconds": seconds,
        "phases": phases(stream.data, wall, wall + seconds),
        "nodes": model.node_count,
        "worker_added": added,
        "worker_peak": max(peaks.values()),
        "digest": model_digest(model),
    }


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
    if "stream" in parts:
        runs = {}
        for mode in ("in-memory", "streamed"):
            best = None
            for _ in range(args.repeat):
                r = child("stream", paths=paths, mode=mode)
                best = r if best is None or r["seconds"] < best["seconds"] else best
            runs[mode] = best
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
        # Rounds of the baseline and each variant, one after another, so that a
        # machine whose load changes slows them alike.
        variants = {
            "one process, streamed": None,
            "2 workers, a task per run of shards (the recipe)": 2,
            "2 workers, a task per shard": args.shards,
        }
        best = {}
        for _ in range(args.repeat):
            for name, tasks in variants.items():
                if tasks is None:
                    r = child("stream", paths=paths, mode="streamed")
                    r["worker_added"], r["worker_peak"] = r["added"], r["peak"]
                else:
                    r = child("cluster", paths=paths, tasks=tasks)
                if name not in best or r["seconds"] < best[name]["seconds"]:
                    best[name] = r
        base = best["one process, streamed"]
        rows = [
            [
                name,
                format_seconds(r["seconds"]),
                format_ratio(r["seconds"] / base["seconds"]),
                format_bytes(r["worker_added"]),
                format_ratio(r["worker_added"] / base["added"]),
                format_bytes(r["worker_peak"]),
                r["nodes"],
                "yes" if r["digest"] == base["digest"] else "NO",
            ]
            for name, r in best.items()
        ]
        print(
            f"\ncluster: the same {total:,} symbols on a 2-worker LocalCluster; "
            "peaks are a worker's (the larger)"
        )
        head = ["fit", "time", "ratio", "peak added", "ratio", "peak", "nodes", "same model"]
        print_table(head, rows)
        for name, r in best.items():
            if "phases" in r:
                spans = ", ".join(f"{k} {format_seconds(v)}" for k, v in r["phases"].items())
                print(f"{name}: {spans}")
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
