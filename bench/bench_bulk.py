"""Answers in bulk: pointwise_log_likelihood, predict_proba_batch, top_k and sample
against the baselines a user would otherwise write, measured in the same run, and
the pickle round trip of a Counts of about 20 MiB. Each workload runs in a fresh
interpreter, which builds its data and model, then reports best-of-``--repeat``
times and the peak memory the measured call added (its resident high-water mark
over the resident size before it). Loops of scalar calls run once on a slice of
the input and are scaled to the whole.

``--before PATH`` also runs the sample and pickle workloads against the build at
PATH (an older ``sample`` returned a list: its baseline is that list turned into
a ``uint8`` array).

    PYTHONPATH=<build dir> python bench/bench_bulk.py [--quick] [--before PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from _common import (
    MarkovSource,
    best_of,
    current_rss,
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

SCRIPT = Path(__file__).resolve()


def measured(fn, repeat):
    """(best time, peak added bytes of the first call, last result)."""
    before = current_rss()
    reset_peak_rss()
    result = fn()
    added = max(0, peak_rss() - before)
    del result
    return best_of(fn, repeat), added


def looped(fn, items, share):
    """The time of fn over a 1/share slice of items, scaled to all of them."""
    part = items[: max(1, len(items) // share)]
    start = time.perf_counter()
    fn(part)
    return (time.perf_counter() - start) * len(items) / len(part)


def event_sessions(ostrel, rng, count):
    """Sessions of 5 to 40 events over 300 event types, from a depth-4 source."""
    import numpy as np

    source = MarkovSource(300, 4, seed=3)
    stream = np.asarray(source.row(25 * count), dtype=np.int64)
    lengths = rng.integers(5, 41, count)
    ends = np.cumsum(lengths)
    return [stream[e - n : e].tolist() for e, n in zip(ends, lengths, strict=True)]


def child(payload):
    import numpy as np

    ostrel = import_ostrel()
    repeat, work = payload["repeat"], payload["work"]
    rng = np.random.default_rng(1)
    out = {}
    if work in ("pointwise-sessions", "pointwise-genome"):
        if work == "pointwise-sessions":
            rows = event_sessions(ostrel, rng, payload["n"])
            model = ostrel.OSTREL(300, max_depth=4, method="bic", penalty=0.02)
        else:
            rows = [MarkovSource(4, 10, seed=5).row(payload["n"])]
            model = ostrel.OSTREL(4, max_depth=10)
        model.fit(rows)
        out["time"], out["memory"] = measured(lambda: model.pointwise_log_likelihood(rows), repeat)
        out["base"], _ = measured(lambda: model.log_likelihood(rows), repeat)
        depth = model.max_depth

        def loop(part):
            for row in part:
                for i in range(depth, len(row)):
                    model.predict_proba(row[i - depth : i])[row[i]]

        if work == "pointwise-genome":
            row = rows[0]
            windows = [row[i - depth : i + 1] for i in range(depth, depth + 20000)]
            start = time.perf_counter()
            for w in windows:
                model.predict_proba(w[:-1])[w[-1]]
            out["loop"] = (time.perf_counter() - start) * (len(row) - depth) / len(windows)
        else:
            out["loop"] = looped(loop, rows, 20)
    elif work in ("batch", "top_k"):
        rows = event_sessions(ostrel, rng, payload["n"])
        model = ostrel.OSTREL(300, max_depth=4, method="bic", penalty=0.02)
        model.fit(rows)
        histories = [row[-rng.integers(1, 5) :] for row in rows]
        if work == "batch":
            out["time"], out["memory"] = measured(
                lambda: model.predict_proba_batch(histories), repeat
            )
            out["result"] = len(histories) * 300 * 8

            def loop(part):
                table = np.empty((len(part), 300))
                for i, h in enumerate(part):
                    table[i] = model.predict_proba(h)
                return table
        else:
            out["time"], out["memory"] = measured(lambda: model.top_k(histories, 5), repeat)
            out["result"] = len(histories) * 5 * 16

            def loop(part):
                for h in part:
                    p = np.asarray(model.predict_proba(h))
                    top = np.argpartition(-p, 5)[:5]
                    top[np.lexsort((top, -p[top]))]

        out["loop"] = looped(loop, histories, 10)
    elif work == "sample":
        model = ostrel.OSTREL(4, max_depth=10)
        model.fit([MarkovSource(4, 10, seed=5).row(10**6)])
        n = payload["n"]

        def draw():
            drawn = model.sample(n, seed=1)
            return drawn if not isinstance(drawn, list) else np.array(drawn, dtype=np.uint8)

        def draw_array():
            return np.asarray(draw())

        out["time"], out["memory"] = measured(draw_array, repeat)
        out["result"] = n
    elif work == "pickle":
        counts = ostrel.Counts(4, 10)
        counts.add([MarkovSource(4, 10, seed=5).row(payload["n"])])
        state = pickle.dumps(counts)
        out["state"] = len(state)
        out["dumps"] = best_of(lambda: pickle.dumps(counts), repeat)
        out["loads"] = best_of(lambda: pickle.loads(state), repeat)
    emit_child_result(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the sizes")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--before", help="another build's directory, for sample and pickle")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(json.loads(args.child))
        return 0
    scale = 10 if args.quick else 1
    run = lambda work, n, path=None: run_child(  # noqa: E731
        SCRIPT, {"work": work, "n": n, "repeat": args.repeat}, pythonpath=path
    )
    rows = []
    for work, n, label in (
        ("pointwise-sessions", 10**5 // scale, "pointwise, sessions a300 d4"),
        ("pointwise-genome", 10**6 // scale, "pointwise, one row a4 d10"),
    ):
        r = run(work, n)
        rows.append(
            [
                label,
                format_seconds(r["time"]),
                format_ratio(r["time"] / r["base"]) + " log_likelihood",
                format_ratio(r["loop"] / r["time"]) + " faster than the loop",
                format_bytes(r["memory"]),
            ]
        )
    for work, label in (("batch", "predict_proba_batch a300"), ("top_k", "top_k(5) a300")):
        r = run(work, 10**5 // scale)
        rows.append(
            [
                label,
                format_seconds(r["time"]),
                f"result {format_bytes(r['result'])}",
                format_ratio(r["loop"] / r["time"]) + " faster than the loop",
                format_bytes(r["memory"]),
            ]
        )
    n = 2 * 10**7 // scale
    r = run("sample", n)
    old = run("sample", n, args.before) if args.before else None
    rows.append(
        [
            f"sample({n:.0e}) a4 d10 into an array",
            format_seconds(r["time"]),
            f"result {format_bytes(r['result'])}",
            (format_ratio(old["time"] / r["time"]) + " faster than before") if old else "",
            format_bytes(r["memory"]),
        ]
    )
    r = run("pickle", 4 * 10**6 // scale)
    old = run("pickle", 4 * 10**6 // scale, args.before) if args.before else None
    trip = r["dumps"] + r["loads"]
    rows.append(
        [
            f"Counts pickle, state {format_bytes(r['state'])}",
            f"dumps {format_seconds(r['dumps'])} loads {format_seconds(r['loads'])}",
            format_ratio(r["loads"] / r["dumps"]) + " loads/dumps",
            (format_ratio((old["dumps"] + old["loads"]) / trip) + " faster round trip")
            if old
            else "",
            "",
        ]
    )
    print_table(["workload", "time", "against", "speed-up", "peak added"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
