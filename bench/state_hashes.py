"""Print the sha256 of the pickled state of models and Counts on seeded bench data.

    PYTHONPATH=build/release python bench/state_hashes.py > after.txt
    PYTHONPATH=/path/to/other/build python bench/state_hashes.py > before.txt
    diff before.txt after.txt

Each line names a workload, what was pickled (a model fitted by each selector
from the rows, a model fitted from Counts, the Counts themselves) and the
sha256 of ``pickle.dumps`` of it. Two builds that keep the states byte for
byte print the same lines. The data comes from the benchmarks' seeded source.
"""

from __future__ import annotations

import argparse
import hashlib
import pickle

from _common import MarkovSource, import_ostrel

METHODS = ("bct", "bic", "peres_shield")
# (name, alphabet size, max depth, rows, row length, bct's beta or None)
WORKLOADS = (
    ("a4-d10-2e5", 4, 10, 1, 200_000, None),
    ("a4-d5-2e4x20", 4, 5, 20_000, 20, None),
    ("a256-d5-2e5", 256, 5, 1, 200_000, 0.9),
    ("a256-d10-1e5", 256, 10, 1, 100_000, 0.99),
    ("a2-d30-5e4", 2, 30, 1, 50_000, None),
)


def digest(value) -> str:
    return hashlib.sha256(pickle.dumps(value)).hexdigest()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic source")
    args = parser.parse_args(argv)
    ostrel = import_ostrel()
    for name, alphabet, depth, rows, length, beta in WORKLOADS:
        source = MarkovSource(alphabet, min(depth, 10), seed=args.seed)
        data = source.rows(rows, length)
        counts = ostrel.Counts(alphabet, depth)
        counts.add(data)
        print(f"{name} counts {digest(counts)}")
        for method in METHODS:
            options = {"beta": beta} if method == "bct" else {}
            model = ostrel.OSTREL(alphabet, max_depth=depth, method=method, **options)
            model.fit(data)
            print(f"{name} {method} {digest(model)}")
            from_counts = ostrel.OSTREL(alphabet, max_depth=depth, method=method, **options)
            from_counts.fit(counts)
            print(f"{name} {method}-from-counts {digest(from_counts)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
