"""Query-cost benchmark.

Fits two alphabet-4, depth-10 models on synthetic data and times the query
methods call by call, next to bare calls on the same object measured in the
same run: a no-op Python function, a property read and ``get_counts([])``
(the named baseline: argument parsing plus a root lookup). Ratios are to that
baseline.

    PYTHONPATH=<build dir> python bench/bench_query.py [--quick] [--method bct]
"""

from __future__ import annotations

import argparse
import operator
import random
import sys
import time
from collections.abc import Callable, Sequence

from _common import (
    MarkovSource,
    best_of,
    format_count,
    format_ratio,
    format_seconds,
    import_ostrel,
    print_table,
)

ALPHABET = 4
DEPTH = 10
SMALL = 10**6
LARGE = 10**7


def noop(_argument) -> None:
    return None


def per_call(fn: Callable[[object], object], arguments: Sequence[object], repeat: int) -> float:
    """Seconds per call of ``fn`` over ``arguments``, best of ``repeat`` sweeps.

    Every measurement goes through this same loop, so the loop's own cost is
    part of every row, baselines included.
    """

    def sweep() -> None:
        for argument in arguments:
            fn(argument)

    return best_of(sweep, repeat) / len(arguments)


def fitted(ostrel, method: str, data: list[int]):
    model = ostrel.OSTREL(ALPHABET, max_depth=DEPTH, method=method)
    start = time.perf_counter()
    model.fit([data])
    return model, time.perf_counter() - start


def windows(data: list[int], count: int, length: int, rng: random.Random) -> list[list[int]]:
    """``count`` histories of ``length`` symbols cut from ``data`` at random,
    so that they follow the source's own paths through the tree."""
    top = len(data) - length
    return [data[s : s + length] for s in (rng.randrange(top) for _ in range(count))]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="use 10^6 symbols for the large model too"
    )
    parser.add_argument("--method", default="bct", choices=("bct", "bic", "peres_shield"))
    parser.add_argument("--calls", type=int, default=10**5, help="calls per measurement")
    parser.add_argument("--history", type=int, default=10, help="length of each history")
    parser.add_argument("--repeat", type=int, default=3, help="sweeps per measurement, best kept")
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic source")
    args = parser.parse_args(argv)
    ostrel = import_ostrel()
    rng = random.Random(args.seed + 1000)
    calls = args.calls

    source = MarkovSource(ALPHABET, DEPTH, seed=args.seed)
    small_data = source.row(SMALL)
    small, small_fit = fitted(ostrel, args.method, small_data)
    large_symbols = SMALL if args.quick else LARGE
    if large_symbols == SMALL:
        large, large_data, large_fit = small, small_data, small_fit
    else:
        large_data = source.row(large_symbols)
        large, large_fit = fitted(ostrel, args.method, large_data)

    models = (("small", small, SMALL, small_fit), ("large", large, large_symbols, large_fit))
    for label, model, symbols, seconds in models:
        print(
            f"{label} model: {format_count(symbols)} symbols, method {args.method}, "
            f"{model.node_count} nodes, {model.context_count} contexts, "
            f"fit in {format_seconds(seconds)}"
        )

    histories = windows(small_data, calls, args.history, rng)
    large_histories = windows(large_data, calls, args.history, rng)
    large_contexts = large.get_contexts()
    context_args = [large_contexts[rng.randrange(len(large_contexts))] for _ in range(calls)]
    empties = [[] for _ in range(calls)]
    selves = [small] * calls

    rows: list[tuple[str, str, float]] = []

    def measure(name: str, model_label: str, fn, arguments) -> float:
        seconds = per_call(fn, arguments, args.repeat)
        rows.append((name, model_label, seconds))
        return seconds

    # Baselines on the small model.
    measure("no-op Python function(h)", "-", noop, histories)
    measure("model.alphabet_size (property)", "small", operator.attrgetter("alphabet_size"), selves)
    baseline = measure("model.get_counts([])  [baseline]", "small", small.get_counts, empties)

    measure(f"predict_proba(history of {args.history})", "small", small.predict_proba, histories)
    measure(f"get_suffix(history of {args.history})", "small", small.get_suffix, histories)
    measure(
        f"predict_proba(history of {args.history})", "large", large.predict_proba, large_histories
    )
    measure(f"get_suffix(history of {args.history})", "large", large.get_suffix, large_histories)
    measure("get_distribution(existing context)", "large", large.get_distribution, context_args)
    measure("get_counts(existing context)", "large", large.get_counts, context_args)
    measure(
        "get_transition_counts(existing context)",
        "large",
        large.get_transition_counts,
        context_args,
    )

    # get_contexts() builds the whole list; time a few calls, not 10^5.
    sweeps = max(3, args.repeat)
    contexts_seconds = best_of(large.get_contexts, sweeps)
    rows.append((f"get_contexts() [{len(large_contexts)} contexts]", "large", contexts_seconds))

    print()
    print_table(
        ("call", "model", "per call", "calls/s", "vs baseline"),
        [
            (name, label, format_seconds(s), f"{1 / s:,.0f}", format_ratio(s / baseline))
            for name, label, s in rows
        ],
    )
    print()
    print(
        f"per call: best of {args.repeat} sweeps of {calls} calls through the same Python loop; "
        "baseline: model.get_counts([]) on the small model."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
