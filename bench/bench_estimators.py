"""Estimator benchmark: what the mixture's leaf estimators predict and what they cost, each
beside a baseline measured in the same run.

  quality   every file of --data (one row of integers, or raw bytes for text): the
            hyperparameters choose_hyperparameters picks on the first 90 %, then held-out
            bits per symbol (the rest scored as it is read, as examples/predict_bytes.py
            scores it) and sequential bits (the whole file from an empty mixture) of the
            Kneser-Ney mixture, of the Dirichlet mixture at its chosen alpha and of the
            default (Krichevsky-Trofimov) mixture, beside the interpolated Kneser-Ney n-gram
            baseline (bench/ngram_baseline.py, static) at its best order of 3 to 6 on the
            held-out part and at the order best on the training part's last fifth
  speed     the Kneser-Ney mixture's sequential pass over the whole Shakespeare file at
            depths 5 and 8, in ns per symbol and against bz2.compress(data, 9) of the same
            bytes, with the pass's peak resident memory; each in a fresh interpreter
  chain     sequential log loss from rows on the S&P 500 series (Counts.add of 22,160
            symbols, mixture(), update of the next 1,000 positions, depth 5), beside the
            same chain under the build in --compare PATH, alternating, best of --repeat

    PYTHONPATH=<build dir> python bench/bench_estimators.py [--only quality,speed,chain]
        [--data DIR] [--depth 8] [--compare <older build dir>] [--repeat 7]
"""

from __future__ import annotations

import argparse
import bz2
import json
import math
import time
from pathlib import Path

import numpy as np
from _common import (
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
from ngram_baseline import DATA, kneser_ney_bits, load

ROOT = Path(__file__).resolve().parents[1]
PARTS = ("quality", "speed", "chain")


def scores(ostrel, x, m, depth, train, **hyper):
    """(held-out bits, sequential bits) of a mixture under `hyper`, as predict_bytes scores."""
    mixture = ostrel.Counts(m, depth).mixture(**hyper)
    log_p = np.asarray(mixture.update([x]))
    sequential = (min(depth, len(x)) * math.log2(m) - log_p.sum() / math.log(2)) / len(x)
    mixture = ostrel.Counts(m, depth).mixture(**hyper)
    mixture.update([x[:train]])
    rest = x[max(0, train - depth) :]
    log_p = np.asarray(mixture.update([rest]))
    unscored = len(x) - train - len(log_p)
    held_out = (unscored * math.log2(m) - log_p.sum() / math.log(2)) / (len(x) - train)
    return held_out, sequential


def quality(ostrel, data: Path, depth: int) -> tuple[list, list]:
    rows, picks = [], []
    for path in sorted(data.glob("*.txt"), key=lambda p: p.name.lower()):
        x, m = load(path)
        m = max(m, 2)
        train = int(len(x) * 0.9)
        start = time.perf_counter()
        kn = ostrel.choose_hyperparameters([x[:train]], m, depth)
        chose = time.perf_counter() - start
        dirichlet = ostrel.choose_hyperparameters([x[:train]], m, depth, estimator="dirichlet")
        results = [
            scores(ostrel, x, m, depth, train, **kn),
            scores(ostrel, x, m, depth, train, **dirichlet),
            # Today's default estimate; where the default beta rounds to 1, at the
            # beta chosen for the Dirichlet estimator.
            scores(ostrel, x, m, depth, train, **({} if m < 55 else {"beta": dirichlet["beta"]})),
        ]
        orders = (3, 4, 5, 6)
        by_order = [kneser_ney_bits(x[:train], x[train:], m, k) for k in orders]
        # The order a user would take knowing the training part only: the best
        # on its last fifth, fitted on the rest.
        inner = int(train * 0.8)
        valid = [kneser_ney_bits(x[:inner], x[inner:train], m, k) for k in orders]
        chosen = by_order[int(np.argmin(valid))]
        best = min(by_order)
        rows.append(
            [path.stem, m, f"{len(x):,}", f"{len(x) - train:,}"]
            + [f"{h:.4f}" for h, _ in results]
            + [f"{best:.4f}", "yes" if results[0][0] <= best else "NO"]
            + [f"{chosen:.4f}", "yes" if results[0][0] <= chosen else "NO"]
            + [f"{s:.4f}" for _, s in results]
        )
        d = np.asarray(kn["discount"])
        picks.append(
            [
                path.stem,
                f"{kn['beta']:.4g}",
                " ".join(f"{v:.2f}" for v in d[0]),
                " ".join(f"{v:.2f}" for v in d[-1]),
                f"{min(kn['concentration']):.3g}..{max(kn['concentration']):.3g}",
                format_seconds(chose),
                f"{dirichlet['alpha']:.3g}",
                f"{dirichlet['beta']:.4g}",
            ]
        )
    return rows, picks


def speed_child(depth: int) -> dict:
    ostrel = import_ostrel()
    x, m = load(DATA / "shakespeare.txt")
    raw = (DATA / "shakespeare.txt").read_bytes()
    hyper = ostrel.choose_hyperparameters([x[: int(len(x) * 0.9)]], m, depth)
    best, compress = math.inf, math.inf
    peak = 0
    for _ in range(3):
        start = time.perf_counter()
        bz2.compress(raw, 9)
        compress = min(compress, time.perf_counter() - start)
        mixture = ostrel.Counts(m, depth).mixture(**hyper)
        reset_peak_rss()
        start = time.perf_counter()
        mixture.update([x])
        best = min(best, time.perf_counter() - start)
        peak = max(peak, peak_rss())
        del mixture
    return {"seconds": best, "bz2": compress, "symbols": len(x), "peak": peak}


def chain_child(repeat: int) -> dict:
    ostrel = import_ostrel()
    x = [int(s) for s in (ROOT / "examples/data/SP500.txt").read_text().split()]
    n, depth = 22160, 5

    def run():
        counts = ostrel.Counts(7, depth)
        counts.add([x[:n]])
        log_p = np.asarray(counts.mixture().update([x[n - depth :]]))
        return -np.cumsum(log_p) / np.arange(1, len(log_p) + 1)

    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return {"seconds": best}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(PARTS))
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--compare", help="build directory of the version to compare against")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        if job["part"] == "speed":
            emit_child_result(speed_child(job["depth"]))
        else:
            emit_child_result(chain_child(job["repeat"]))
        return
    only = args.only.split(",")
    script = Path(__file__)
    if "quality" in only:
        rows, picks = quality(import_ostrel(), args.data, args.depth)
        print_table(
            [
                *("file", "m", "length", "held out", "KN", "Dirichlet", "KT"),
                *("n-gram best", "KN <=", "n-gram by train", "KN <="),
                *("seq KN", "seq Dirichlet", "seq KT"),
            ],
            rows,
            title=f"Bits per symbol at depth {args.depth}: held-out (trained on the first 90 %, "
            "the rest scored as it is read) and sequential;\nn-gram (static): the best of "
            "orders 3-6 on the held-out part, and the order best on the training part's last "
            "fifth",
        )
        print()
        print_table(
            [
                *("file", "KN beta", "discounts depth 0", f"depth {args.depth}"),
                *("concentrations", "time", "Dirichlet alpha", "beta"),
            ],
            picks,
            title="What choose_hyperparameters picks on the first 90 % "
            "(discounts for counts 1, 2, 3+)",
        )
        print()
    if "speed" in only:
        rows = []
        for depth in (5, 8):
            run = run_child(script, {"part": "speed", "depth": depth})
            rows.append(
                [
                    f"depth {depth}",
                    format_seconds(run["seconds"]),
                    f"{run['seconds'] / run['symbols'] * 1e9:.0f}",
                    format_seconds(run["bz2"]),
                    format_ratio(run["seconds"] / run["bz2"]),
                    format_bytes(run["peak"]),
                ]
            )
        print_table(
            ["Shakespeare sequential", "time", "ns/symbol", "bz2 -9", "ratio", "peak RSS"],
            rows,
            title="Kneser-Ney mixture, update() over the whole file (best of 3)",
        )
        print()
    if "chain" in only:
        here, there = math.inf, math.inf
        for _ in range(args.repeat):
            here = min(here, run_child(script, {"part": "chain", "repeat": 5})["seconds"])
            if args.compare:
                job = {"part": "chain", "repeat": 5}
                there = min(there, run_child(script, job, pythonpath=args.compare)["seconds"])
        print_table(
            ["S&P 500 chain", "this build", "compared build", "ratio"],
            [
                [
                    "depth 5, 1,000 steps",
                    format_seconds(here),
                    format_seconds(there),
                    format_ratio(here / there),
                ]
            ],
            title="Counts.add + mixture() + update + log losses, best of alternating runs",
        )


if __name__ == "__main__":
    main()
