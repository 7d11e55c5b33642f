"""Session benchmark: the mixture answering as a fitted model does, on many short rows, each
beside the fitted tree (or the Python loop it replaces) in the same run.

  score     Mixture.log_likelihood of 400 protein-like rows of 100-500 symbols (alphabet
            20, depth 5, an order-2 source), against OSTREL.log_likelihood of the same
            rows by the tree bct fits to the same counts (beta=0.9)
  pointwise Mixture.pointwise_log_likelihood(..., offsets=True) of the same rows, against
            OSTREL.pointwise_log_likelihood(..., offsets=True)
  starts    per-event log-probabilities of the held-out fifth of the 20,000 sessions of
            examples/sessions.py (alphabet 150, depth 3): pointwise_log_likelihood with
            offsets of the mixture of counts from each row's start, against
            OSTREL.pointwise_log_likelihood(skip=0) of the tree bct fits to the training
            rows (beta=0.9), with the peak memory each call adds beside its result's size
  topk      Mixture.top_k(histories, 5) of 10^5 histories of 3 symbols (alphabet 300, depth
            3, a Zipf-like source of 3 * 10^5 symbols), against a loop of predict_proba
            and a stable arg sort over 5,000 of them, scaled to 10^5
  topk-wide the same at alphabet 5,000 (a source of 10^6 symbols), 2 * 10^4 histories,
            the loop over 1,000 of them

    PYTHONPATH=<build dir> python bench/bench_sessions.py [--only score,pointwise,topk]
        [--repeat 5]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
from _common import (
    best_of,
    current_rss,
    format_bytes,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
    reset_peak_rss,
)

PARTS = ("score", "pointwise", "starts", "topk", "topk-wide")


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
    if "starts" in only:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
        from sessions import event_log

        frame, _ = event_log(20000)
        codes = frame["event"].str[6:].astype(int).to_numpy().astype(np.uint8)
        bounds = np.flatnonzero(np.diff(frame["session"].to_numpy())) + 1
        rows = np.split(codes, bounds)
        cut = int(len(rows) * 0.8)
        counts = ostrel.Counts(150, 3, starts=True)
        counts.add(rows[:cut])
        mixture = counts.mixture(0.9, alpha=0.05)
        tree = ostrel.OSTREL(150, 3, beta=0.9)
        tree.fit(rows[:cut])
        test = rows[cut:]

        def added(call):
            base = current_rss()
            reset_peak_rss()
            result = call()
            return peak_rss() - base, result

        grown, (terms, _) = added(lambda: mixture.pointwise_log_likelihood(test, offsets=True))
        mine = best_of(lambda: mixture.pointwise_log_likelihood(test, offsets=True), args.repeat)
        theirs = best_of(lambda: tree.pointwise_log_likelihood(test, skip=0), args.repeat)
        table.append(
            [
                f"starts pointwise ({len(terms):,} events)",
                format_seconds(mine),
                "OSTREL",
                format_seconds(theirs),
                format_ratio(mine / theirs),
            ]
        )
        result = len(terms) * 8 + (len(test) + 1) * 8
        print(f"starts pointwise: peak added {format_bytes(grown)}, result {format_bytes(result)}")
    for part, m, symbols, exponent, count, looped in [
        ("topk", 300, 300_000, 1.3, 100_000, 5000),
        ("topk-wide", 5000, 1_000_000, 1.1, 20_000, 1000),
    ]:
        if part not in only:
            continue
        data = rng.zipf(exponent, size=symbols) % m
        counts = ostrel.Counts(m, 3)
        counts.add([data])
        mixture = counts.mixture(0.99)
        starts = rng.integers(0, len(data) - 3, size=count)
        histories = np.stack([data[starts + i] for i in range(3)], axis=1)
        mine = best_of(lambda h=histories, x=mixture: x.top_k(h, 5), args.repeat)
        sub = histories[:looped].tolist()

        def loop(sub=sub, mixture=mixture):
            for history in sub:
                p = np.asarray(mixture.predict_proba(history))
                np.argsort(-p, kind="stable")[:5]

        theirs = best_of(loop, 1) * (len(histories) / len(sub))
        table.append(
            [
                f"top_k(histories, 5), m={m:,}",
                format_seconds(mine),
                "predict_proba loop",
                format_seconds(theirs),
                format_ratio(mine / theirs),
            ]
        )
    print_table(["workload", "mixture", "beside", "its time", "ratio"], table)


if __name__ == "__main__":
    main()
