"""Fit-time and memory benchmark.

Each workload runs under each selected method in a fresh interpreter, which
generates the data, fits once on a fresh model to measure peak memory, then
times the fit (best of N, a fresh model each time) next to the baseline: the
time to copy the same input into native memory with ``array.array('Q', row)``.

    PYTHONPATH=<build dir> python bench/bench_fit.py [--quick] [--methods bct,bic]
        [--compare <build dir of an earlier version>]
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
import time
from array import array
from dataclasses import dataclass
from pathlib import Path

from _common import (
    MarkovSource,
    best_of,
    current_rss,
    emit_child_result,
    format_bytes,
    format_count,
    format_rate,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
    reset_peak_rss,
    run_child,
)

METHODS = ("bct", "bic", "peres_shield")
# bct's default prior weight is only defined for smaller alphabets.
LARGE_ALPHABET_BETA = 0.9
LARGE_ALPHABET = 55


@dataclass(frozen=True)
class Workload:
    name: str
    alphabet_size: int
    max_depth: int
    rows: int
    length: int
    as_bytes: bool = False
    quick: bool = True
    description: str = ""
    # bct's prior weight; None: the default (or LARGE_ALPHABET_BETA where there is none)
    beta: float | None = None
    # also count the nodes of the trie before selection and report time per node
    count_nodes: bool = False

    @property
    def symbols(self) -> int:
        return self.rows * self.length


WORKLOADS = (
    Workload("a4-d10-1e6", 4, 10, 1, 10**6, description="one row of 10^6 symbols"),
    Workload("a4-d10-1e7", 4, 10, 1, 10**7, quick=False, description="one row of 10^7 symbols"),
    Workload(
        "a4-d10-1e7-bytes", 4, 10, 1, 10**7, as_bytes=True, quick=False, description="one bytes row"
    ),
    Workload("a256-d5-1e6", 256, 5, 1, 10**6, description="one row, list of ints"),
    Workload("a256-d5-1e6-bytes", 256, 5, 1, 10**6, as_bytes=True, description="one bytes row"),
    Workload("a4-d5-1e5x20", 4, 5, 10**5, 20, description="10^5 rows of 20 symbols"),
    Workload(
        "a256-d10-1e6",
        256,
        10,
        1,
        10**6,
        beta=0.99,
        count_nodes=True,
        description="byte-like source, millions of trie nodes",
    ),
)
BY_NAME = {w.name: w for w in WORKLOADS}


def beta_for(method: str, workload: Workload) -> float | None:
    if method != "bct":
        return None
    if workload.beta is not None:
        return workload.beta
    return LARGE_ALPHABET_BETA if workload.alphabet_size >= LARGE_ALPHABET else None


def trie_nodes(rows: list, depth: int) -> int:
    """Nodes of the count trie before selection: the root and every distinct
    context of 1 .. depth symbols that precedes a counted position."""
    contexts: set = set()
    for row in rows:
        seq = bytes(row) if max(row, default=0) < 256 else tuple(row)
        for d in range(1, depth + 1):
            contexts.update((d, seq[t - d : t]) for t in range(depth, len(seq)))
    return 1 + len(contexts)


def make_data(workload: Workload, seed: int) -> tuple[list, list]:
    """(the rows as lists of ints, the rows as the workload passes them)."""
    # The source's depth matches the fitted depth so that the whole tree has
    # structure worth selecting.
    source = MarkovSource(workload.alphabet_size, workload.max_depth, seed=seed)
    rows = source.rows(workload.rows, workload.length)
    return rows, [bytes(row) for row in rows] if workload.as_bytes else rows


def child(payload: dict) -> dict:
    """Runs one workload under one method; returns the measurements."""
    ostrel = import_ostrel()
    workload = BY_NAME[payload["workload"]]
    method = payload["method"]
    repeat = payload["repeat"]

    start = time.perf_counter()
    lists, data = make_data(workload, payload["seed"])
    generate_seconds = time.perf_counter() - start
    gc.collect()

    def new_model():
        return ostrel.OSTREL(
            workload.alphabet_size,
            max_depth=workload.max_depth,
            method=method,
            beta=beta_for(method, workload),
        )

    # Memory first, on a fresh model, before any timing run has grown the heap.
    baseline_rss = current_rss()
    watermark_reset = reset_peak_rss()
    model = new_model()
    model.fit(data)
    fit_peak = peak_rss()
    shape = {
        "node_count": model.node_count,
        "context_count": model.context_count,
        "effective_max_depth": model.effective_max_depth,
        "sample_size": model.sample_size,
    }
    del model
    gc.collect()
    if workload.count_nodes:
        shape["trie_nodes"] = trie_nodes(lists, shape["effective_max_depth"])

    def fit_once():
        new_model().fit(data)

    def read_input():  # the same symbols read from lists, whatever the workload passes
        return [array("Q", row) for row in lists]

    def count_then_fit():  # the same data through Counts, where the module has them
        counts = ostrel.Counts(workload.alphabet_size, workload.max_depth)
        counts.add(data)
        new_model().fit(counts)

    fit_seconds = best_of(fit_once, repeat)
    baseline_seconds = best_of(read_input, repeat)
    counts_seconds = best_of(count_then_fit, repeat) if hasattr(ostrel, "Counts") else None

    return {
        **shape,
        "generate_seconds": generate_seconds,
        "fit_seconds": fit_seconds,
        "baseline_seconds": baseline_seconds,
        "counts_seconds": counts_seconds,
        "baseline_rss": baseline_rss,
        "fit_peak_rss": fit_peak,
        # Without a watermark reset the peak may predate the fit (generation).
        "fit_added_rss": fit_peak - baseline_rss,
        "watermark_reset": watermark_reset,
        "process_peak_rss": peak_rss(),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="drop the 10^7-symbol workload")
    parser.add_argument(
        "--methods",
        default=",".join(METHODS),
        help="comma-separated selectors to run (default: %(default)s)",
    )
    parser.add_argument(
        "--workload",
        choices=sorted(BY_NAME),
        action="append",
        help="run only this workload (may be repeated)",
    )
    parser.add_argument("--repeat", type=int, default=3, help="timing runs, best kept")
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic source")
    parser.add_argument(
        "--compare",
        metavar="PATH",
        help="also run every workload against the extension found in PATH (an earlier build)",
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child is not None:
        emit_child_result(child(json.loads(args.child)))
        return 0

    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = sorted(set(methods) - set(METHODS))
    if unknown:
        parser.error(f"unknown method(s): {', '.join(unknown)}")
    if args.workload:
        workloads = [BY_NAME[name] for name in args.workload]
    else:
        workloads = [w for w in WORKLOADS if w.quick or not args.quick]

    import_ostrel()  # fail early, in this process, if the module is missing

    headers = [
        "workload",
        "method",
        "symbols",
        "fit",
        "throughput",
        "peak RSS",
        "fit added",
        "nodes",
        "contexts",
        "read input",
        "fit/read",
        "ns/node",
        "via Counts",
        "Counts/fit",
    ]
    if args.compare:
        headers += ["before", "before/read", "before added", "speed-up"]
    table = []
    any_without_reset = False
    for workload in workloads:
        for method in methods:
            payload = {
                "workload": workload.name,
                "method": method,
                "repeat": args.repeat,
                "seed": args.seed,
            }
            print(f"running {workload.name} / {method} ...", file=sys.stderr, flush=True)
            r = run_child(Path(__file__).resolve(), payload)
            print(
                f"  data generated in {format_seconds(r['generate_seconds'])}, "
                f"fit best {format_seconds(r['fit_seconds'])}",
                file=sys.stderr,
                flush=True,
            )
            any_without_reset |= not r["watermark_reset"]
            nodes = r.get("trie_nodes")
            row = [
                workload.name,
                method,
                format_count(workload.symbols),
                format_seconds(r["fit_seconds"]),
                format_rate(workload.symbols / r["fit_seconds"]),
                format_bytes(r["fit_peak_rss"]),
                format_bytes(r["fit_added_rss"]),
                r["node_count"],
                r["context_count"],
                format_seconds(r["baseline_seconds"]),
                format_ratio(r["fit_seconds"] / r["baseline_seconds"]),
                f"{r['fit_seconds'] / nodes * 1e9:.0f} ({nodes:,})" if nodes else "-",
                format_seconds(r["counts_seconds"]) if r["counts_seconds"] else "-",
                format_ratio(r["counts_seconds"] / r["fit_seconds"])
                if r["counts_seconds"]
                else "-",
            ]
            if args.compare:
                old = run_child(Path(__file__).resolve(), payload, pythonpath=args.compare)
                print(f"  before: fit best {format_seconds(old['fit_seconds'])}", file=sys.stderr)
                row += [
                    format_seconds(old["fit_seconds"]),
                    format_ratio(old["fit_seconds"] / old["baseline_seconds"]),
                    format_bytes(old["fit_added_rss"]),
                    format_ratio(old["fit_seconds"] / r["fit_seconds"]),
                ]
            table.append(row)

    print()
    print_table(headers, table)
    print()
    n = args.repeat
    print(
        f"fit: best of {n} fits on a fresh model; read input: best of {n} runs of "
        "array('Q', row) over every row as a list of ints (also for bytes workloads); "
        "peak RSS: process peak during the first fit; fit added: that peak minus the "
        "resident size just before it; ns/node: fit time per node of the trie counted "
        "before selection (node count in brackets, computed in Python from the data); "
        "via Counts: best of Counts.add(data) then fit(counts) on a fresh model."
    )
    if args.compare:
        print(
            f"before: the same workload against the build in {args.compare}, measured in "
            "this run (before/read: its ratio to its own read-input time); speed-up: "
            "before/fit."
        )
    if any_without_reset:
        print("note: the peak watermark could not be reset, so peaks may predate the fit.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
