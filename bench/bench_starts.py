"""Rows counted from their start against the padding recipe, on synthetic event-log sessions:
bits per held-out event and the time of each, in the same run on the same rows.

Sessions: 3 to 60 events (uniform), alphabet 150, opening with one of a few openers, then
going on by a rule on the last two events (0.7) or a Zipf-like draw. Every held-out event is
scored by a model of the training sessions (the tables learn nothing from held-out ones):

  recipe tree     OSTREL(151, depth) fitted to rows padded with `depth` start symbols (150):
                  pointwise_log_likelihood of the padded held-out rows, renormalised by
                  1 - p[start] read from a predict_proba_batch table of their histories
  recipe mixture  Counts(151, depth) of the padded rows, mixture(): predict_proba_batch of
                  the padded histories, renormalised by 1 - p[start]
  starts mixture  Counts(150, depth, starts=True) of the rows, mixture(): predict_proba_batch
                  of the histories themselves (shorter than depth at a row's start), nothing
                  renormalised
  starts scored   the same mixture's log_likelihood of the held-out rows: each row's events
                  predicted in turn, the row's earlier events added for the rest of the row
  plain mixture   Counts(150, depth) of the rows as they are (their first `depth` events
                  context only), mixture(): predict_proba_batch of the histories, a short
                  one predicted as far as it reaches

`build` is counting and making the model; `score` is scoring the held-out events. Tables are
read in chunks of --chunk histories. Ratios are of the score time to the recipe tree's.

    PYTHONPATH=<build dir> python bench/bench_starts.py [--rows 20000] [--held-out 4000]
        [--depths 3,5] [--chunk 8192]
"""

from __future__ import annotations

import argparse
import math
import random
import time

from _common import (
    format_bytes,
    format_ratio,
    format_seconds,
    import_ostrel,
    peak_rss,
    print_table,
    reset_peak_rss,
)

ALPHABET = 150
START = ALPHABET
BETA, ALPHA = 0.9, 0.1  # the same hyperparameters for every mixture


# The next event after (a, b) when the rule is followed: one table for every session.
RULE = [random.Random(7 + k).randrange(ALPHABET) for k in range(ALPHABET * ALPHABET)]
WEIGHTS = [1.0 / (k + 1) for k in range(ALPHABET)]


def sessions(rng: random.Random, count: int) -> list[list[int]]:
    """Event-log sessions: an opener, a second event that depends on it, then the rule on the
    last two events (0.7) or a Zipf-like draw."""
    out = []
    for _ in range(count):
        length = rng.randint(3, 60)
        opener = rng.choice((0, 1, 2, 3, 4))
        row = [opener, 10 + 3 * opener + rng.randrange(3)]
        while len(row) < length:
            if rng.random() < 0.7:
                row.append(RULE[row[-2] * ALPHABET + row[-1]])
            else:
                row.append(rng.choices(range(ALPHABET), WEIGHTS)[0])
        out.append(row[:length])
    return out


def histories(rows: list[list[int]], depth: int, pad: bool):
    """(history, event) of every event of `rows`: its last `depth` symbols before it, the
    padded row's when `pad`."""
    for row in rows:
        full = [START] * depth + row if pad else row
        first = depth if pad else 0
        for t in range(first, len(full)):
            yield full[max(0, t - depth) : t], full[t]


def table_bits(mixture_or_model, rows, depth, pad, chunk):
    """Bits per event from predict_proba_batch tables, renormalised without the start
    symbol when `pad`."""
    total, pending = 0.0, []

    def flush():
        nonlocal total
        table = mixture_or_model.predict_proba_batch([h for h, _ in pending]).tolist()
        for p, (_, event) in zip(table, pending, strict=True):
            q = p[event] / (1.0 - p[START]) if pad else p[event]
            total -= math.log2(q)
        pending.clear()

    events = 0
    for item in histories(rows, depth, pad):
        pending.append(item)
        events += 1
        if len(pending) == chunk:
            flush()
    if pending:
        flush()
    return total / events


def recipe_tree_bits(model, rows, depth, chunk):
    """The README's recipe: pointwise scores over 151 symbols, less log(1 - p[start]) from a
    table of the histories."""
    padded = [[START] * depth + row for row in rows]
    terms = model.pointwise_log_likelihood(padded, skip=depth).tolist()
    starts_p, pending = [], []
    for history, _ in histories(rows, depth, True):
        pending.append(history)
        if len(pending) == chunk:
            starts_p += [p[START] for p in model.predict_proba_batch(pending).tolist()]
            pending = []
    if pending:
        starts_p += [p[START] for p in model.predict_proba_batch(pending).tolist()]
    total = sum(t - math.log1p(-s) for t, s in zip(terms, starts_p, strict=True))
    return -total / math.log(2) / len(terms)


def timed(fn):
    reset_peak_rss()
    start = time.perf_counter()
    value = fn()
    return value, time.perf_counter() - start, peak_rss()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--held-out", type=int, default=4000)
    parser.add_argument("--depths", default="3,5")
    parser.add_argument("--chunk", type=int, default=8192)
    args = parser.parse_args()
    ostrel = import_ostrel()
    rng = random.Random(1)
    train, test = sessions(rng, args.rows), sessions(rng, args.held_out)
    events = sum(map(len, test))
    print(
        f"{len(train)} training sessions ({sum(map(len, train))} events), {len(test)} held-out "
        f"({events} events), alphabet {ALPHABET}"
    )
    table = []
    for depth in map(int, args.depths.split(",")):
        padded = [[START] * depth + row for row in train]

        def recipe_tree(depth=depth, padded=padded):
            model = ostrel.OSTREL(ALPHABET + 1, depth, "bct", beta=BETA)
            model.fit(padded)
            return model

        def recipe_mixture(depth=depth, padded=padded):
            counts = ostrel.Counts(ALPHABET + 1, depth)
            counts.add(padded)
            return counts.mixture(BETA, alpha=ALPHA)

        def starts_mixture(depth=depth, starts=True):
            counts = ostrel.Counts(ALPHABET, depth, starts=starts)
            counts.add(train)
            return counts.mixture(BETA, alpha=ALPHA)

        tree, tree_build, _ = timed(recipe_tree)
        tree_bits, tree_score, tree_peak = timed(
            lambda t=tree, d=depth: recipe_tree_bits(t, test, d, args.chunk)
        )
        runs = [("recipe tree", tree_build, tree_bits, tree_score, tree_peak)]
        for name, build, pad in (
            ("recipe mixture", recipe_mixture, True),
            ("plain mixture", lambda d=depth: starts_mixture(d, False), False),
            ("starts mixture", starts_mixture, False),
        ):
            mixture, build_time, _ = timed(build)
            bits, score, peak = timed(
                lambda m=mixture, d=depth, p=pad: table_bits(m, test, d, p, args.chunk)
            )
            runs.append((name, build_time, bits, score, peak))
        scores, score, peak = timed(lambda m=mixture: m.log_likelihood(test))
        bits = -sum(scores) / math.log(2) / events
        runs.append(("starts scored", float("nan"), bits, score, peak))
        for name, build, bits, score, peak in runs:
            table.append(
                [
                    f"{name}, depth {depth}",
                    f"{bits:.5f}",
                    format_seconds(build),
                    format_seconds(score),
                    format_ratio(score / tree_score),
                    format_bytes(peak),
                ]
            )
    headers = ["workload", "bits/event", "build", "score", "score / tree's", "peak RSS"]
    print_table(headers, table)


if __name__ == "__main__":
    main()
