"""Scoring, sampling and pickling benchmark.

Times log_likelihood, sample and a pickle round trip against what they replace,
measured in the same run: the Python loop over predict_proba (with
random.choices for sampling) and, for pickling, a fresh fit of the same data.
Each workload runs in a fresh interpreter, which also reports the peak resident
memory the measured call added.

    PYTHONPATH=<build dir> python bench/bench_score.py [--quick] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import math
import pickle
import random
import sys
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

# name: (alphabet, depth, training symbols, measured symbols, target ratio, bct beta)
WORKLOADS = {
    "log_likelihood-a4-d10": (4, 10, 10**6, 10**5, 30, None),
    "log_likelihood-a300-d3": (300, 3, 10**6, 10**5, 30, 0.99),
    "sample-a4-d10": (4, 10, 10**6, 10**6, 50, None),
    "pickle-a256-d10": (256, 10, 10**6, 0, 10, 0.99),
}


def added_peak(call) -> int:
    """The peak resident memory `call` adds over the resident size before it."""
    gc.collect()
    reset_peak_rss()
    before = current_rss()
    call()
    return peak_rss() - before


def child(payload: dict) -> dict:
    ostrel = import_ostrel()
    alphabet, depth, training, measured, _, beta = WORKLOADS[payload["workload"]]
    scale, repeat = payload["scale"], payload["repeat"]
    training, measured = training // scale, measured // scale
    source = MarkovSource(alphabet, depth, seed=1)
    data = source.row(training)
    options = {} if beta is None else {"beta": beta}
    model = ostrel.OSTREL(alphabet, max_depth=depth, **options)
    model.fit([data])
    result = {"nodes": model.node_count, "contexts": model.context_count}
    predict = model.predict_proba

    if payload["workload"].startswith("log_likelihood"):
        held_out = source.row(measured + depth)

        def loop() -> float:
            total = 0.0
            for i in range(depth, len(held_out)):
                total += math.log(predict(held_out[i - depth : i])[held_out[i]])
            return total

        def native() -> float:
            return model.log_likelihood([held_out])[0]

        assert native() == loop()
        result["items"] = measured
    elif payload["workload"].startswith("sample"):
        symbols = range(alphabet)
        start = data[-depth:]

        def loop() -> list[int]:
            rng, history = random.Random(2), list(start)
            for _ in range(measured):
                history.append(rng.choices(symbols, predict(history[-depth:]))[0])
            return history

        def native() -> list[int]:
            return model.sample(measured, seed=2, history=start)

        result["items"] = measured
    else:

        def loop() -> None:
            ostrel.OSTREL(alphabet, max_depth=depth, **options).fit([data])

        def native() -> object:
            return pickle.loads(pickle.dumps(model))

        state = model.__reduce__()[1][0]
        result["state_bytes"] = len(state)
        result["records"] = sum(
            sum(1 for c in model.get_transition_counts(context) if c)
            for context in model.get_contexts()
        )
        result["items"] = 1

    result["peak"] = added_peak(native)
    result["native"] = best_of(native, repeat)
    result["loop"] = best_of(loop, repeat)
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the symbols")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement, best kept")
    parser.add_argument("--workload", action="append", choices=sorted(WORKLOADS))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        import json

        emit_child_result(child(json.loads(args.child)))
        return 0

    rows = []
    for name in args.workload or WORKLOADS:
        payload = {"workload": name, "scale": 10 if args.quick else 1, "repeat": args.repeat}
        r = run_child(Path(__file__).resolve(), payload)
        target = WORKLOADS[name][4]
        ratio = r["loop"] / r["native"]
        if name.startswith("pickle"):
            per_item = "-"
            rate = f"{r['state_bytes'] / r['nodes']:.1f} B/node"
            detail = (
                f"{format_count(r['state_bytes'])} B state, {r['nodes']:,} nodes, "
                f"{r['records']:,} records ({r['state_bytes'] / r['records']:.2f} B/record)"
            )
        else:
            per_item = format_seconds(r["native"] / r["items"])
            rate = format_rate(r["items"] / r["native"])
            detail = f"{format_count(r['items'])} symbols, {r['nodes']:,} nodes"
        rows.append(
            (
                name,
                format_seconds(r["native"]),
                per_item,
                rate,
                format_seconds(r["loop"]),
                format_ratio(ratio),
                f">= {target}x" + ("" if ratio >= target else " MISSED"),
                format_bytes(r["peak"]),
                detail,
            )
        )
    print_table(
        (
            "workload",
            "time",
            "per symbol",
            "rate",
            "baseline",
            "speed-up",
            "target",
            "peak +mem",
            "size",
        ),
        rows,
    )
    print()
    print(
        f"best of {args.repeat}; baseline: the Python loop over predict_proba (sample: with "
        "random.choices) on the same symbols, for pickle a fresh fit of the same data; "
        "peak +mem: the peak resident memory the measured call added."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
