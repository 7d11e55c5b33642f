"""Measured cases behind the modelling guidance of the documentation (docs/guide/guidance.md).

Run from the project root after `pip install .` (standard library only):

    python examples/modelling_guidance.py

1. Short rows. The first max_depth symbols of every row are context only, so
   sessions of about 10 events lose many of theirs to the fit, silently. Padding
   each row with max_depth copies of an extra start symbol (alphabet_size + 1
   symbols; its entry of every prediction dropped) keeps every event and lets
   the model learn how sessions begin.
2. Alphabets in the hundreds. bct's default beta rounds to 1 (give one), bic's
   default penalty is too strong for so many parameters per context, and
   peres_shield's storage depth floor(ln ln n) keeps the root at this size.
3. Comparing depths. The default skip (max_depth) scores different positions
   at each depth; score the same ones with skip at the deepest depth compared.

Every figure is held-out bits per scored symbol, from seeded synthetic data.
"""

import math
import random

import ostrel


def session_source(rng, alphabet=8):
    """A rule on the last two events, drawn once: training and held-out sessions share it."""
    return {(a, b): rng.randrange(alphabet) for a in range(alphabet) for b in range(alphabet)}


def sessions(rng, rule, count, alphabet=8):
    """Event-log sessions: geometric lengths of median about 10, a session opening
    with one of a few openers and going on by `rule` on the last two events."""
    out = []
    for _ in range(count):
        length = 1 + int(math.log(1 - rng.random()) / math.log(1 - 0.07))
        row = [rng.choice((0, 1)), rng.choice((2, 3))]
        while len(row) < length:
            follow = rng.random() < 0.7
            row.append(rule[row[-2], row[-1]] if follow else rng.randrange(alphabet))
        out.append(row[:length])
    return out


def bits(model, rows, skip):
    """Held-out bits per scored symbol, and the number scored."""
    scored = sum(max(0, len(r) - skip) for r in rows)
    return -sum(model.log_likelihood(rows, skip=skip)) / math.log(2) / scored, scored


def padded_bits(model, rows, start):
    """Bits per event of rows scored after max_depth start symbols, each prediction
    renormalised without the start symbol's entry."""
    depth, total, scored = model.max_depth, 0.0, 0
    for row in rows:
        history = [start] * depth
        for symbol in row:
            p = model.predict_proba(history[-depth:] if depth else [])
            total -= math.log2(p[symbol] / (1.0 - p[start]))
            history.append(symbol)
            scored += 1
    return total / scored


def short_rows():
    rng = random.Random(1)
    rule = session_source(rng)
    train, test = sessions(rng, rule, 4000), sessions(rng, rule, 1000)
    events = sum(map(len, train))
    lengths = sorted(map(len, train))
    print(f"1. Short rows: {len(train)} sessions, median length {lengths[len(lengths) // 2]}")
    print("   depth  events counted  held-out bits/event (all events scored)")
    for depth in (4, 10):
        plain = ostrel.OSTREL(8, max_depth=depth)
        plain.fit(train)
        lost = 1 - plain.sample_size / events
        start = 8
        padded = ostrel.OSTREL(9, max_depth=depth)
        padded.fit([[start] * depth + row for row in train])
        unpadded, _ = bits(plain, test, 0)
        with_start = padded_bits(padded, test, start)
        print(
            f"   {depth:>5}  {1 - lost:>13.0%}  unpadded {unpadded:.3f}, padded {with_start:.3f}"
            f" ({1 - with_start / unpadded:.1%} fewer; padded counts every event)"
        )
    only_short = ostrel.OSTREL(8, max_depth=10)
    only_short.fit([row for row in train if len(row) <= 10])
    print(f"   a fit where every row is short succeeds with sample_size {only_short.sample_size}")


def large_alphabet():
    rng = random.Random(2)
    alphabet, n = 300, 60000
    likely = {a: rng.sample(range(alphabet), 3) for a in range(alphabet)}
    row = [0]
    for _ in range(n + 20000 - 1):
        row.append(rng.choice(likely[row[-1]]) if rng.random() < 0.8 else rng.randrange(alphabet))
    train, test = [row[:n]], [row[n:]]
    print(f"2. {alphabet} symbols, {n:,} training symbols, max_depth 2:")
    try:
        ostrel.OSTREL(alphabet, max_depth=2)
    except ValueError as error:
        print(f"   bct with the default beta: ValueError: {error}")
    cases = [
        ("bct", {"beta": 0.9}),
        ("bct", {"beta": 0.999}),
        ("bic", {}),
        ("bic", {"penalty": 0.02}),
        ("peres_shield", {}),
    ]
    for method, options in cases:
        model = ostrel.OSTREL(alphabet, max_depth=2, method=method, **options)
        model.fit(train)
        held_out, _ = bits(model, test, 2)
        shown = ", ".join(f"{k}={v}" for k, v in options.items()) or "defaults"
        print(
            f"   {method:<12} {shown:<13} {held_out:.2f} bits, {model.context_count:>3} contexts,"
            f" stored depth {model.effective_max_depth}"
        )


def comparing_depths():
    rng = random.Random(3)
    rule = session_source(rng)
    train, test = sessions(rng, rule, 4000), sessions(rng, rule, 1000)
    deepest = 6
    print(f"3. Comparing depths 0-{deepest} on sessions (held-out bits/event):")
    print("   depth  default skip (events scored)  skip=6 (events scored)")
    for depth in range(deepest + 1):
        model = ostrel.OSTREL(8, max_depth=depth)
        model.fit(train)
        own, own_scored = bits(model, test, depth)
        common, common_scored = bits(model, test, deepest)
        print(f"   {depth:>5}  {own:.3f} ({own_scored:>6,})  {common:.3f} ({common_scored:>5,})")


if __name__ == "__main__":
    short_rows()
    large_alphabet()
    comparing_depths()
