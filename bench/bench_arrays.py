"""Reading NumPy arrays: fit time at max_depth 0 (so counting is trivial) for one
row of 10^7 symbols held as an array of several item types and layouts, beside
two baselines measured in the same run: ``ndarray.astype(numpy.uint64)`` of the
same array (a copy into native words) and the same fit from the data as a list
of ints. Then the cost of one ``predict_proba`` call with a 10-symbol history
given as an array and as a list.

    PYTHONPATH=<build dir> python bench/bench_arrays.py [--symbols N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import sys
import time

# NumPy's BLAS threads would otherwise spin on the other core meanwhile.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from _common import (
    best_of,
    format_ratio,
    format_seconds,
    import_ostrel,
    print_table,
)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--symbols", type=int, default=10**7, help="row length")
    parser.add_argument("--repeat", type=int, default=5, help="timing runs, best kept")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    ostrel = import_ostrel()

    rng = np.random.default_rng(args.seed)
    base = rng.integers(0, 4, args.symbols)
    as_list = base.tolist()
    model = ostrel.OSTREL(4, max_depth=0)

    def fit(data):
        return best_of(lambda: model.fit([data]), args.repeat)

    list_fit = fit(as_list)
    table = []
    for label, array in (
        ("int64", base),
        ("uint8", base.astype(np.uint8)),
        ("int32", base.astype(np.int32)),
        ("int64[::2]", base[::2]),
        (">u2 (byte-swapped)", base.astype(">u2")),
    ):
        seconds = fit(array)
        astype = best_of(lambda array=array: array.astype(np.uint64), args.repeat)
        table.append(
            (
                label,
                f"{len(array):,}",
                format_seconds(seconds),
                format_seconds(astype),
                format_ratio(seconds / astype),
                format_ratio(list_fit * len(array) / len(base) / seconds),
            )
        )
    print_table(("array", "symbols", "fit", "astype(uint64)", "fit/astype", "list fit/fit"), table)
    print(
        f"list fit: {format_seconds(list_fit)} for the {len(base):,} symbols as a list of "
        "ints (scaled by length for the strided row); best of "
        f"{args.repeat}, max_depth 0."
    )

    query = ostrel.OSTREL(4, max_depth=10)
    query.fit([base[: 10**5]])
    history = base[:10]

    def per_call(argument, calls=20000):
        predict = query.predict_proba
        best = float("inf")
        for _ in range(args.repeat):
            start = time.perf_counter()
            for _ in range(calls):
                predict(argument)
            best = min(best, (time.perf_counter() - start) / calls)
        return best

    array_call, list_call = per_call(history), per_call(history.tolist())
    print()
    print_table(
        ("predict_proba history", "per call", "ratio to list"),
        [
            ("list of 10 ints", format_seconds(list_call), format_ratio(1.0)),
            ("int64 array of 10", format_seconds(array_call), format_ratio(array_call / list_call)),
        ],
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
