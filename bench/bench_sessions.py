"""Session benchmark: the mixture answering as a fitted model does, on many short rows, each
beside the fitted tree (or the Python loop it replaces) in the same run.

  score     Mixture.log_likelihood of 400 protein-like rows of 100-500 symbols (alphabet
            20, depth 5, an order-2 source), against OSTREL.log_likelihood of the same
            rows by the tree bct fits to the same counts (beta=0.9)
  pointwise Mixture.pointwise_log_likelihood(..., offsets=True) of the same rows, against
            OSTREL.pointwise_log_likelihood(..., offsets=True)
  topk      Mixture.top_k(histories, 5) of 10^5 histories of 3 symbols (alphabet 300, depth
            3, a Zipf-like source of 3 * 10^5 symbols), against a loop of predict_proba
            and a stable arg sort over 5,000 of them, scaled to 10^5

    PYTHONPATH=<build dir> python bench/bench_sessions.py [--only score,pointwise,topk]
        [--repeat 5]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from _common import format_ratio, format_seconds, import_ostrel, print_table

PARTS = ("score", "pointwise", "topk")


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def protein_like(rng, count):
    """Rows of 100-500 symbols of an order-2 source over 20 symbols."""
    table = rng.dirichlet(np.full(20, 0.3), size=(20, 20)).cumsum(axis=2)
    rows = []
    for n in rng.integers(100, 501, size=count):
        row = np.empty(n, dtype=np.uint8)
        row[:2] = rng.integers(20, size=2)
        draws = rng.random(n)
        for t in range(2, n):
            row[t] = np.searchsorted(table[row[t - 2], row[t - 1]], draws[t])
        rows.append(np.minimum(row, 19))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(PARTS))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    ostrel = import_ostrel()
    only = args.only.split(",")
    rng = np.random.default_rng(1)
    table = []
    if "score" in only or "pointwise" in only:
        train, test = protein_like(rng, 400), protein_like(rng, 400)
        counts = ostrel.Counts(20, 5)
        counts.add(train)
        mixture = counts.mixture()
        tree = ostrel.OSTREL(20, 5, beta=0.9)
        tree.fit(counts)
        pairs = []
        if "score" in only:
            pairs.append(("log_likelihood", "log_likelihood", {}))
        if "pointwise" in only:
            pairs.append(("pointwise (offsets)", "pointwise_log_likelihood", {"offsets": True}))
        for name, method, keywords in pairs:
            mine = best_of(lambda m=method, k=keywords: getattr(mixture, m)(test, **k), args.repeat)
            theirs = best_of(lambda m=method, k=keywords: getattr(tree, m)(test, **k), args.repeat)
            table.append(
                [
                    name,
                    format_seconds(mine),
                    "OSTREL",
                    format_seconds(theirs),
                    format_ratio(mine / theirs),
                ]
            )
    if "topk" in only:
        m = 300
        data = rng.zipf(1.3, size=300_000) % m
        counts = ostrel.Counts(m, 3)
        counts.add([data])
        mixture = counts.mixture(0.99)
        starts = rng.integers(0, len(data) - 3, size=100_000)
        histories = np.stack([data[starts + i] for i in range(3)], axis=1)
        mine = best_of(lambda: mixture.top_k(histories, 5), args.repeat)
        sub = histories[:5000].tolist()

        def loop():
            for history in sub:
                p = np.asarray(mixture.predict_proba(history))
                np.argsort(-p, kind="stable")[:5]

        theirs = best_of(loop, 1) * (len(histories) / len(sub))
        table.append(
            [
                "top_k(histories, 5)",
                format_seconds(mine),
                "predict_proba loop",
                format_seconds(theirs),
                format_ratio(mine / theirs),
            ]
        )
    print_table(["workload", "mixture", "beside", "its time", "ratio"], table)


if __name__ == "__main__":
    main()
