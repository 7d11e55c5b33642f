"""Analysis benchmark: counts read by context, the maximised log-likelihood, a given tree
fitted as a model, and one tree's statistics, each beside a baseline measured in the same
run on the same counts (best of --repeat runs; peak memory each call added).

  context_counts  every depth 0-10 of the S&P 500 series (alphabet 7), against
                  log_evidence() of the same counts
  max_ll          max_log_likelihood() at depth 10 of the SARS-CoV-2 genome (alphabet 4),
                  against log_evidence() of the same counts
  fit_tree        fit_tree(counts, tree) of the tree bct selects, alphabet 4 depth 10,
                  10^7 symbols of the bench's Markov source, against fit(counts)
  statistics      tree_statistics() of that tree, against log_evidence()

    PYTHONPATH=<build dir> python bench/bench_analysis.py [--symbols 10000000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
from pathlib import Path

from _common import (
    MarkovSource,
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

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"


def measure(fn, repeat):
    """(best time, peak memory one call added)."""
    gc.collect()
    before = current_rss()
    reset_peak_rss()
    fn()
    added = peak_rss() - before
    return best_of(fn, repeat), added


def series(name):
    return [int(s) for s in (DATA / name).read_text().split()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--symbols", type=int, default=10**7)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    ostrel = import_ostrel()
    rows = []

    def row(workload, what, baseline):
        (seconds, added), (base, base_added) = what, baseline
        rows.append(
            [
                workload,
                format_seconds(seconds),
                format_bytes(added),
                format_seconds(base),
                format_bytes(base_added),
                format_ratio(seconds / base),
            ]
        )

    sp500 = ostrel.Counts(7, 10)
    sp500.add([series("SP500.txt")])
    row(
        "context_counts, depths 0-10, S&P 500",
        measure(lambda: [sp500.context_counts(d) for d in range(11)], args.repeat),
        measure(sp500.log_evidence, args.repeat),
    )
    genome = ostrel.Counts(4, 10)
    genome.add([series("sars_cov_2.txt")])
    row(
        "max_log_likelihood(10), SARS-CoV-2",
        measure(genome.max_log_likelihood, args.repeat),
        measure(genome.log_evidence, args.repeat),
    )
    source = MarkovSource(4, 10, seed=25)
    counts = ostrel.Counts(4, 10)
    counts.add([source.row(args.symbols)])
    selected = ostrel.OSTREL(4, 10)
    selected.fit(counts)
    tree = selected.get_contexts()
    row(
        f"fit_tree(counts), {len(tree)} contexts, {args.symbols:.0e} symbols",
        measure(lambda: ostrel.OSTREL(4, 10).fit_tree(counts, tree), args.repeat),
        measure(lambda: ostrel.OSTREL(4, 10).fit(counts), args.repeat),
    )
    row(
        "tree_statistics, that tree",
        measure(lambda: counts.tree_statistics(tree), args.repeat),
        measure(counts.log_evidence, args.repeat),
    )
    print_table(["workload", "time", "peak added", "baseline", "its peak", "ratio"], rows)
    print("baselines: log_evidence() of the same counts; fit(counts) for fit_tree")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
