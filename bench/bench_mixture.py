"""Mixture benchmark: model-averaged sequential prediction, updates, marginal likelihoods and
change points, each beside a baseline measured in the same run on the same data.

  sp500     Counts.add of 22,160 symbols of examples/data/SP500.txt (7 symbols), mixture(),
            update of the next 1,000 positions (depth 5) and the log losses, against
            Counts.add + log_evidence() of the same 23,160 symbols
  genome    the same for examples/data/sars_cov_2.txt (4 symbols, depth 10): 2,000 steps
            after 27,872
  update    update() of 10^6 positions, alphabet 4, depth 10, into an empty mixture: ns per
            position and per node of its path, against Counts.add + log_evidence()
  cpp-small change_point_posterior, n = 4,300, alphabet 3, depth 5
  cpp-large change_point_posterior, n = 10^6, alphabet 4, depth 10
  segment   segment(), n = 4,300, alphabet 3, depth 5, max_changes=5, stride=1
  fragments log_likelihood of 2,000 fragments of 500 symbols, depth 10, against
            Counts.add + log_evidence() of the same fragments
Change-point baselines: Counts.add + log_evidence() of the whole row. Best of --repeat, in
wall time and in processor time (the machine may be shared); ratios are of processor times.

    PYTHONPATH=<build dir> python bench/bench_mixture.py [--only sp500,genome,...]
        [--repeat 3]
"""

from __future__ import annotations

import argparse
import random
import time
from pathlib import Path

from _common import (
    best_of,
    format_bytes,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
    reset_peak_rss,
)

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
PARTS = ("sp500", "genome", "update", "cpp-small", "cpp-large", "segment", "fragments")


def read(name: str) -> list[int]:
    return [int(s) for s in (DATA / name).read_text().split()]


def structured(n: int, alphabet: int, seed: int, changes: int = 0) -> list[int]:
    """n symbols, the next a fixed function of the two before with probability 0.8; the
    function changes `changes` times at equal intervals."""
    rng = random.Random(seed)
    tables = [[rng.randrange(alphabet) for _ in range(alphabet**2)] for _ in range(changes + 1)]
    row = [0, 0]
    for t in range(2, n):
        table = tables[t * (changes + 1) // n]
        follow = rng.random() < 0.8
        row.append(table[row[-1] * alphabet + row[-2]] if follow else rng.randrange(alphabet))
    return row


def evidence_of(ostrel, rows, alphabet, depth):
    counts = ostrel.Counts(alphabet, depth)
    counts.add(rows)
    return counts.log_evidence()


def cpu_best_of(fn, repeat):
    """The least processor time of `repeat` calls: the machine may be shared."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best


def measure(fn, repeat):
    reset_peak_rss()
    fn()
    peak = peak_rss()
    return best_of(fn, repeat), cpu_best_of(fn, repeat), peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(PARTS))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    ostrel = import_ostrel()
    rows = []

    def report(name, fn, baseline, detail="", per=None):
        seconds, cpu, peak = measure(fn, args.repeat)
        _, base_cpu, _ = measure(baseline, args.repeat)
        if per is not None:
            detail = (
                f"{cpu / per[0] * 1e9:.0f} ns/position, {cpu / per[0] / per[1] * 1e9:.0f} ns/node"
            )
        rows.append(
            [
                name,
                format_seconds(seconds),
                format_seconds(cpu),
                format_seconds(base_cpu),
                format_ratio(cpu / base_cpu),
                format_bytes(peak),
                detail,
            ]
        )

    def log_loss(x, n, depth, alphabet):
        def run():
            counts = ostrel.Counts(alphabet, depth)
            counts.add([x[:n]])
            scores = counts.mixture().update([x[n - depth :]])
            total, losses = 0.0, []
            for i, s in enumerate(scores, 1):
                total -= s
                losses.append(total / i)
            return losses

        return run

    only = args.only.split(",")
    if "sp500" in only:
        x = read("SP500.txt")
        report(
            "sp500",
            log_loss(x, 22160, 5, 7),
            lambda: evidence_of(ostrel, [x], 7, 5),
            "R log_loss 0.015 s",
        )
    if "genome" in only:
        x = read("sars_cov_2.txt")
        n = len(x) - 2000
        report(
            "genome",
            log_loss(x, n, 10, 4),
            lambda: evidence_of(ostrel, [x], 4, 10),
            "R log_loss (phage, 46,502) 0.24 s",
        )
    if "update" in only:
        row = structured(10**6 + 10, 4, 1)

        def update():
            return ostrel.Counts(4, 10).mixture().update([row])

        report(
            "update",
            update,
            lambda: evidence_of(ostrel, [row], 4, 10),
            per=(10**6, 11),
        )
    for name, n, alphabet, depth, note in (
        ("cpp-small", 4300, 3, 5, "R 7.2 s"),
        ("cpp-large", 10**6, 4, 10, "R about 1-4 days"),
    ):
        if name in only:
            row = structured(n, alphabet, 2, changes=1)
            report(
                name,
                lambda row=row, a=alphabet, d=depth: ostrel.change_point_posterior(row, a, d),
                lambda row=row, a=alphabet, d=depth: evidence_of(ostrel, [row], a, d),
                note,
            )
    if "segment" in only:
        row = structured(4300, 3, 3, changes=3)
        report(
            "segment",
            lambda: ostrel.segment(row, 3, 5, max_changes=5),
            lambda: evidence_of(ostrel, [row], 3, 5),
            "R MCMC 5,000 iterations 7 s",
        )
    if "fragments" in only:
        genome = read("sars_cov_2.txt")
        rng = random.Random(4)
        starts = [rng.randrange(len(genome) - 500) for _ in range(2000)]
        fragments = [genome[s : s + 500] for s in starts]
        counts = ostrel.Counts(4, 10)
        counts.add([genome])
        mixture = counts.mixture()
        report(
            "fragments",
            lambda: mixture.log_likelihood(fragments),
            lambda: evidence_of(ostrel, fragments, 4, 10),
            "evidence differences 26.7 s",
        )
    headers = ["workload", "wall", "cpu", "baseline cpu", "ratio (cpu)", "peak RSS", "note"]
    print_table(headers, rows)


if __name__ == "__main__":
    main()
