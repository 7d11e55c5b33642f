"""N-gram baseline: interpolated Kneser-Ney symbol models of orders 3-6, held-out bits per
symbol on the files of /work/shared/data (first 90 % trained on, the rest scored statically).

The model (Chen & Goodman 1998, interpolated form). For an order-n model and a context h of
the n-1 symbols before w, with h' its last n-2 symbols:

    P_k(w | h) = max(c_k(hw) - D_k(c_k(hw)), 0) / c_k(h.) + gamma_k(h) P_{k-1}(w | h')
    gamma_k(h) = sum over the w' seen after h of D_k(c_k(hw')) / c_k(h.)

with c_k(h.) = sum over w' of c_k(hw'); a context with c_k(h.) = 0 passes P_{k-1} on
unchanged, and P_0(w) = 1/m (the alphabet's m symbols, seen or not). At the top order
c_n is the raw count of the n-gram in the training symbols; at every lower order k it is the
continuation count N1+(.g), the number of distinct symbols v such that vg occurs in them.

Discounts, per order, from that order's counts of counts n_r (the number of k-grams whose
count is r), with Y = n1 / (n1 + 2 n2):
  single ("KN"):    D(c) = Y for every c >= 1;
  modified ("mKN"): D(1) = 1 - 2Y n2/n1, D(2) = 2 - 3Y n3/n2, D(c >= 3) = 3 - 4Y n4/n3.
Small samples can leave these undefined: Y is 1/2 where n1 = n2 = 0, and a discount whose
n_r is 0 takes the one before it. Each D(r) is then kept within [D_MIN, r] (single: [D_MIN,
1]), so that no count goes negative, every distribution sums to 1 and every order keeps some
mass for the shorter context, hence every probability is positive.

Everything is NumPy over arrays: a k-gram is the int64 x_1 m^(k-1) + ... + x_k (oldest
symbol first), counts come from np.unique of sorted codes and look-ups from searchsorted;
there is no Python loop over symbols or n-grams. `--check` compares the vectorised model
with a plain pure-Python rendering of the same formulas on small random data.

    python bench/ngram_baseline.py [--data DIR] [--orders 3,4,5,6] [--fraction 0.9]
    python bench/ngram_baseline.py --check

From another bench script: `from ngram_baseline import kneser_ney_bits, KneserNey, load`.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import random
import sys
import time
from collections import Counter
from fractions import Fraction
from pathlib import Path

import numpy as np
from _common import (
    current_rss,
    emit_child_result,
    format_bytes,
    format_seconds,
    peak_rss,
    print_table,
    reset_peak_rss,
    run_child,
)

DATA = Path("/work/shared/data")
RAW_BYTES = frozenset({"shakespeare.txt"})
D_MIN = 0.05


# --------------------------------------------------------------------------
# Discounts
# --------------------------------------------------------------------------


def discounts(counts_of_counts: tuple[int, int, int, int], modified: bool) -> list[float]:
    """[D(0), D(1), D(2), D(3+)] from (n1, n2, n3, n4), with D(0) = 0."""
    n1, n2, n3, n4 = counts_of_counts
    y = n1 / (n1 + 2 * n2) if n1 + 2 * n2 else 0.5
    if not modified:
        return [0.0] + [min(max(y, D_MIN), 1.0)] * 3
    d1 = 1 - 2 * y * n2 / n1 if n1 else y
    d2 = 2 - 3 * y * n3 / n2 if n2 else d1
    d3 = 3 - 4 * y * n4 / n3 if n3 else d2
    return [0.0] + [min(max(d, D_MIN), float(r)) for r, d in enumerate((d1, d2, d3), 1)]


# --------------------------------------------------------------------------
# The model
# --------------------------------------------------------------------------


def _symbols(row, alphabet_size: int) -> np.ndarray:
    x = np.asarray(row, dtype=np.int64).ravel()
    if x.size and (x.min() < 0 or x.max() >= alphabet_size):
        raise ValueError(f"symbols must lie in 0..{alphabet_size - 1}")
    return x


def _windows(x: np.ndarray, m: int, k: int) -> np.ndarray:
    """Codes of the len(x) - k + 1 windows of k symbols of x."""
    count = max(len(x) - k + 1, 0)
    code = np.zeros(count, dtype=np.int64)
    for j in range(k):
        code = code * m + x[j : j + count]
    return code


class _Level:
    """One order k: its k-grams (sorted codes) with their counts, their contexts (the first
    k-1 symbols, sorted codes) with c_k(h.) and gamma_k(h), and per gram the discounted
    share max(c - D(c), 0) / c_k(h.)."""

    def __init__(self, grams: np.ndarray, counts: np.ndarray, m: int, modified: bool):
        self.m = m
        n_r = tuple(int(np.count_nonzero(counts == r)) for r in (1, 2, 3, 4))
        self.discount = discounts(n_r, modified)
        self.grams = grams
        parents = grams // m
        first = np.ones(grams.size, dtype=bool)
        first[1:] = parents[1:] != parents[:-1]
        starts = np.flatnonzero(first)
        self.contexts = parents[starts]
        d = np.asarray(self.discount)[np.minimum(counts, 3)]
        if grams.size:
            total = np.add.reduceat(counts, starts).astype(np.float64)
            self.gamma = np.add.reduceat(d, starts) / total
            of_gram = np.repeat(total, np.diff(np.r_[starts, grams.size]))
            self.share = np.maximum(counts - d, 0.0) / of_gram
        else:
            self.gamma = self.share = np.zeros(0)

    def step(self, context: np.ndarray, symbol: np.ndarray, lower: np.ndarray) -> np.ndarray:
        """P_k(symbol | context) from P_{k-1} (`lower`), elementwise over equal shapes."""
        if not self.grams.size:
            return lower
        j = np.minimum(np.searchsorted(self.contexts, context), self.contexts.size - 1)
        seen = self.contexts[j] == context
        gram = context * self.m + symbol
        i = np.minimum(np.searchsorted(self.grams, gram), self.grams.size - 1)
        share = np.where(self.grams[i] == gram, self.share[i], 0.0)
        return np.where(seen, share + self.gamma[j] * lower, lower)


class KneserNey:
    """Interpolated Kneser-Ney model of order `order` (contexts of order-1 symbols) over
    the symbols 0..alphabet_size-1; `modified` picks three discounts per order over one."""

    def __init__(self, alphabet_size: int, order: int, modified: bool = True):
        if alphabet_size < 1 or order < 1:
            raise ValueError("need alphabet_size >= 1 and order >= 1")
        if alphabet_size**order >= 2**62:
            raise ValueError(f"{alphabet_size}^{order} n-gram codes do not fit in int64")
        self.m, self.order, self.modified = alphabet_size, order, modified
        self.levels: list[_Level] = []

    def fit(self, train) -> KneserNey:
        m, n = self.m, self.order
        x = _symbols(train, m)
        # Top order: raw counts. Order k < n: N1+(.g) = how many distinct (k+1)-grams end in g.
        grams, counts = np.unique(_windows(x, m, n), return_counts=True)
        levels = [_Level(grams, counts, m, self.modified)]
        for k in range(n - 1, 0, -1):
            longer = grams if k == n - 1 else np.unique(_windows(x, m, k + 1))
            grams, counts = np.unique(longer % m**k, return_counts=True)
            levels.append(_Level(grams, counts, m, self.modified))
        self.levels = levels[::-1]
        return self

    def _chain(self, history: np.ndarray, symbol: np.ndarray) -> np.ndarray:
        """P(symbol | history) for history codes of order-1 symbols, elementwise."""
        p = np.full(symbol.shape, 1.0 / self.m)
        for k, level in enumerate(self.levels, 1):
            p = level.step(history % self.m ** (k - 1), symbol, p)
        return p

    def distribution(self, contexts) -> np.ndarray:
        """Predictive distributions, shape (B, m), for B contexts given as an array of shape
        (B, order-1), each row oldest symbol first."""
        c = np.asarray(contexts, dtype=np.int64)
        if c.ndim != 2 or c.shape[1] != self.order - 1:
            raise ValueError(f"contexts must have shape (B, {self.order - 1})")
        _symbols(c, self.m)
        code = np.zeros(len(c), dtype=np.int64)
        for j in range(self.order - 1):
            code = code * self.m + c[:, j]
        symbols = np.arange(self.m, dtype=np.int64)
        return self._chain(code[:, None], symbols[None, :])

    def log2_probs(self, test, history=()) -> np.ndarray:
        """log2 P(test[i] | last order-1 symbols of history + test[:i]) for every i."""
        test = _symbols(test, self.m)
        history = _symbols(history, self.m)
        need = self.order - 1
        if len(history) < need:
            raise ValueError(f"need at least {need} symbols of history before the test")
        seq = np.concatenate([history[len(history) - need :], test]) if need else test
        return np.log2(self._chain(_windows(seq, self.m, need)[: len(test)], test))


def kneser_ney_bits(train, test, alphabet_size: int, order: int, modified: bool = True) -> float:
    """Mean bits per symbol of `test` under the model fitted on `train`, each test symbol
    predicted from the symbols before it in train + test (the model does not learn from
    test)."""
    if not len(test):
        raise ValueError("test is empty")
    model = KneserNey(alphabet_size, order, modified).fit(train)
    return float(-model.log2_probs(test, history=train).mean())


# --------------------------------------------------------------------------
# Pure-Python rendering of the same formulas, for --check only
# --------------------------------------------------------------------------


class ReferenceKneserNey:
    def __init__(self, train: list[int], alphabet_size: int, order: int, modified: bool):
        self.m, self.n = alphabet_size, order
        self.count, self.total, self.mass, self.discount = {}, {}, {}, {}
        for k in range(1, order + 1):
            if k == order:
                count = Counter(tuple(train[i : i + k]) for i in range(len(train) - k + 1))
            else:
                seen = {tuple(train[i : i + k + 1]) for i in range(len(train) - k)}
                count = Counter(g[1:] for g in seen)
            of_count = Counter(count.values())
            d = discounts(tuple(of_count[r] for r in (1, 2, 3, 4)), modified)
            total, mass = Counter(), Counter()
            for gram, c in count.items():
                total[gram[:-1]] += c
                mass[gram[:-1]] += d[min(c, 3)]
            self.count[k], self.total[k], self.mass[k], self.discount[k] = count, total, mass, d

    def prob(self, context: tuple[int, ...], w: int, k: int | None = None) -> float:
        k = self.n if k is None else k
        if k == 0:
            return 1.0 / self.m
        h = context[len(context) - (k - 1) :] if k > 1 else ()
        lower = self.prob(context, w, k - 1)
        total = self.total[k].get(h, 0)
        if total == 0:
            return lower
        c = self.count[k].get((*h, w), 0)
        share = max(c - self.discount[k][min(c, 3)], 0.0) / total
        return share + self.mass[k][h] / total * lower


# (alphabet, order, training length, skew) of the --check cases. Skewed rows (a few symbols
# far likelier, the last never drawn) give counts of every size, unseen symbols and contexts;
# long rows over few symbols saturate the low orders, where the counts of counts vanish.
CHECK_CASES = [
    (2, 1, 40, 0),
    (2, 3, 60, 2),
    (2, 3, 400, 0),
    (3, 3, 200, 0),
    (3, 4, 300, 3),
    (4, 2, 25, 1),
    (5, 3, 150, 2),
    (6, 4, 80, 0),
    (3, 6, 500, 3),
]


def check(seed: int = 1) -> int:
    """Compare the vectorised model with the reference on small random data; 0 if all agree."""
    rng = random.Random(seed)
    failures, cases = [], 1
    # The closed forms, worked by hand for n1..n4 = 10, 4, 2, 1: Y = 5/9.
    for modified, want in ((False, [5 / 9] * 3), (True, [5 / 9, 7 / 6, 17 / 9])):
        got = discounts((10, 4, 2, 1), modified)[1:]
        if max(abs(a - b) for a, b in zip(got, want, strict=True)) > 1e-15:
            failures.append(f"discounts(10, 4, 2, 1, modified={modified}) = {got}")
    for m, order, length, skew in CHECK_CASES:
        weights = [(i + 1) ** skew for i in range(m - 1)] + [0 if skew else 1]
        train = rng.choices(range(m), weights, k=length)
        test = rng.choices(range(m), k=30)
        contexts = [tuple(rng.choices(range(m), k=order - 1)) for _ in range(20)]
        contexts += [tuple(train[i : i + order - 1]) for i in range(10)]
        for modified in (False, True):
            cases += 1
            name = f"m={m} order={order} n={length} {'mKN' if modified else 'KN'}"
            model = KneserNey(m, order, modified).fit(train)
            ref = ReferenceKneserNey(train, m, order, modified)
            dist = model.distribution(np.array(contexts, dtype=np.int64).reshape(30, order - 1))
            want = np.array([[ref.prob(h, w) for w in range(m)] for h in contexts])
            if np.abs(dist - want).max() > 1e-12:
                failures.append(f"{name}: distribution differs by {np.abs(dist - want).max():.3g}")
            if abs(dist.sum(axis=1) - 1).max() > 1e-12 or not (dist > 0).all():
                failures.append(f"{name}: a distribution is not positive summing to 1")
            bits = kneser_ney_bits(train, test, m, order, modified)
            seq = train + test
            want_bits = -sum(
                math.log2(ref.prob(tuple(seq[i - order + 1 : i]), seq[i]))
                for i in range(length, len(seq))
            ) / len(test)
            if abs(bits - want_bits) > 1e-12:
                failures.append(f"{name}: {bits!r} bits, reference {want_bits!r}")
    # A large alphabet and order, where codes need int64: normalisation only. A motif
    # repeated with random changes gives long contexts seen several times.
    generator = np.random.default_rng(seed)
    x = np.tile(generator.integers(0, 65, 2000), 10)
    changed = generator.random(x.size) < 0.1
    x[changed] = generator.integers(0, 65, int(changed.sum()))
    for modified in (False, True):
        cases += 1
        model = KneserNey(65, 6, modified).fit(x)
        contexts = np.concatenate([x[:5000], generator.integers(0, 65, 5000)]).reshape(-1, 5)
        dist = model.distribution(contexts)
        if abs(dist.sum(axis=1) - 1).max() > 1e-12 or not (dist > 0).all():
            failures.append("m=65 order=6: a distribution is not positive summing to 1")
    for failure in failures:
        print("FAIL", failure)
    print(f"{cases} cases, {len(failures)} failures")
    return 1 if failures else 0


# --------------------------------------------------------------------------
# Data and the table
# --------------------------------------------------------------------------


def load(path: Path) -> tuple[np.ndarray, int]:
    """(symbols, alphabet size): one row of integers, or raw bytes mapped in byte order."""
    if path.name in RAW_BYTES:
        raw = np.frombuffer(path.read_bytes(), dtype=np.uint8)
        present, symbols = np.unique(raw, return_inverse=True)
        return symbols.astype(np.int64), len(present)
    symbols = np.array(path.read_text().split(), dtype=np.int64)
    return symbols, int(symbols.max()) + 1


def run_file(path: str, orders: list[int], fraction: str, repeat: int, modified: bool) -> dict:
    """One form at every order on one file: bits, best-of-`repeat` fit + score times and the
    peak resident memory (whole, and added over the size before the fits)."""
    x, m = load(Path(path))
    cut = math.floor(Fraction(fraction) * len(x))
    kneser_ney_bits(x[:300], x[:100], m, 3, modified)  # first-call costs, not charged
    gc.collect()
    before = current_rss()
    reset_peak_rss()
    bits, seconds = [], []
    for order in orders:
        best = math.inf
        for _ in range(repeat):
            started = time.perf_counter()
            value = kneser_ney_bits(x[:cut], x[cut:], m, order, modified)
            best = min(best, time.perf_counter() - started)
        bits.append(value)
        seconds.append(best)
    peak = peak_rss()
    return {
        "m": m,
        "length": len(x),
        "bits": bits,
        "seconds": seconds,
        "peak": peak,
        "added": peak - before,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--orders", default="3,4,5,6")
    parser.add_argument("--fraction", default="0.9", help="share of each file trained on")
    parser.add_argument("--repeat", type=int, default=1, help="best of this many fits")
    parser.add_argument("--check", action="store_true", help="check against the reference")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.check:
        return check()
    if args.child:
        emit_child_result(run_file(**json.loads(args.child)))
        return 0
    orders = [int(s) for s in args.orders.split(",")]
    started = time.perf_counter()
    rows = []
    for path in sorted(args.data.glob("*.txt"), key=lambda p: p.name.lower()):
        for form, modified in (("KN", False), ("mKN", True)):
            job = dict(path=str(path), orders=orders, fraction=args.fraction, modified=modified)
            run = run_child(Path(__file__), {**job, "repeat": args.repeat})
            rows.append(
                [path.stem, run["m"], f"{run['length']:,}", form]
                + [f"{b:.4f}" for b in run["bits"]]
                + [orders[int(np.argmin(run["bits"]))]]
                + [format_seconds(s) for s in run["seconds"]]
                + [format_bytes(run["peak"]), format_bytes(run["added"])]
            )
    headers = (
        ["file", "m", "length", "form"]
        + [f"bits o{k}" for k in orders]
        + ["best"]
        + [f"time o{k}" for k in orders]
        + ["peak RSS", "added"]
    )
    print_table(
        headers,
        rows,
        title="Held-out bits per symbol (log2) of interpolated Kneser-Ney, KN: one discount "
        f"per order, mKN: three;\ntrained on the first {args.fraction} of each file, the rest "
        "scored statically; time = fit + score; each row in a fresh interpreter",
    )
    print(f"total {format_seconds(time.perf_counter() - started)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
