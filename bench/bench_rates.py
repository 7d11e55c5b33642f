"""Entropy and divergence rate benchmark on real genomes.

Fits bct at depth 10 to each of the six genomes of the shared data folder
(`--data`, default ../shared/data beside the project, as laid out on the
development machines) and times entropy_rate and divergence_rate against the
next genome's model, best of `--repeat`, beside the baseline measured in the same
run: one log_likelihood call over the genome itself. The peak resident memory
is the process's after all calls.

    PYTHONPATH=<build dir> python bench/bench_rates.py [--repeat 3] [--data DIR]
"""

from __future__ import annotations

import argparse
from pathlib import Path

from _common import (
    best_of,
    format_bytes,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
)

GENOMES = ("enterophage", "simian_40", "sars_cov_2", "bnrf1EB", "bnrf1HV", "gene_s")
TARGET_SECONDS = 0.010


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    default = Path(__file__).resolve().parents[2] / "shared" / "data"
    parser.add_argument("--data", type=Path, default=default)
    args = parser.parse_args()
    ostrel = import_ostrel()

    rows, models = {}, {}
    for name in GENOMES:
        text = (args.data / f"{name}.txt").read_text().split()
        rows[name] = [int(s) for s in text]
        models[name] = ostrel.OSTREL(4, max_depth=10)
        models[name].fit([rows[name]])
    table = []
    for i, name in enumerate(GENOMES):
        model, other = models[name], models[GENOMES[(i + 1) % len(GENOMES)]]
        baseline = best_of(lambda m=model, r=rows[name]: m.log_likelihood([r]), args.repeat)
        entropy = best_of(model.entropy_rate, args.repeat)
        divergence = best_of(lambda m=model, o=other: m.divergence_rate(o), args.repeat)
        table.append(
            [
                f"{name} ({len(rows[name]):,} symbols, {model.context_count} contexts)",
                format_seconds(baseline),
                format_seconds(entropy),
                format_ratio(entropy / baseline),
                format_seconds(divergence),
                format_ratio(divergence / baseline),
                "yes" if max(entropy, divergence) <= TARGET_SECONDS else "NO",
            ]
        )
    headers = ["genome (bct, depth 10)", "log_likelihood", "entropy_rate", "ratio"]
    headers += ["divergence_rate", "ratio", "<= 10 ms"]
    print_table(headers, table)
    print(f"peak resident memory: {format_bytes(peak_rss())}")


if __name__ == "__main__":
    main()
