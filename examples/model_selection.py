"""Choose a tree selector and a depth by how well each model predicts unseen data.

Run from the project root after `pip install .` (needs NumPy; draws the plot when
matplotlib is installed):

    python examples/model_selection.py            # table, and model_selection.png
    python examples/model_selection.py --no-plot  # table only

Each series is split in time: the first four fifths train a model for every
selector at every depth from 0 to 12, and the model scores each symbol of the
last fifth by its predicted probability, giving the held-out log-loss in bits
per symbol (lower is better). Depth 0 is the order-0 model, the symbol
frequencies alone, under every selector.
"""

import argparse
import math
import textwrap
import time
from pathlib import Path
from typing import NamedTuple

import numpy as np

import ostrel

EXAMPLES = Path(__file__).resolve().parent
METHODS = ("bct", "bic", "peres_shield")
DEPTHS = range(13)
DATASETS = (
    ("sars_cov_2.txt", "SARS-CoV-2 genome, GenBank MN908947.3"),
    ("SP500.txt", "S&P 500 daily changes 1928-2016, in 7 classes"),
)


def load(name):
    """The one row of a data file as an array of symbols, oldest first."""
    return np.loadtxt(EXAMPLES / "data" / name, dtype=np.uint8, ndmin=1)


def held_out_loss(model, series, start):
    """Mean -log2 of the probability given to each symbol of series[start:].

    log_likelihood scores the row series[start - max_depth:] from position
    max_depth on: each held-out symbol with the max_depth symbols before it, so
    the first ones are predicted from the end of the training part. A model
    looks back at most max_depth symbols, so a longer history would change
    nothing.
    """
    depth = model.max_depth
    [nats] = model.log_likelihood([series[start - depth :]], skip=depth)
    return -nats / math.log(2) / (len(series) - start)


class Score(NamedTuple):
    method: str
    depth: int
    bits: float  # held-out log-loss per symbol
    contexts: tuple[tuple[int, ...], ...]
    seconds: float  # fit time


def evaluate(series, alphabet_size):
    """The first held-out position and a Score per selector and depth."""
    start = len(series) - len(series) // 5
    scores = []
    for method in METHODS:
        for depth in DEPTHS:
            model = ostrel.OSTREL(alphabet_size, max_depth=depth, method=method)
            began = time.perf_counter()
            model.fit([series[:start]])
            seconds = time.perf_counter() - began
            bits = held_out_loss(model, series, start)
            contexts = tuple(tuple(c) for c in model.get_contexts())
            scores.append(Score(method, depth, bits, contexts, seconds))
    return start, scores


def print_table(scores):
    print("      " + "".join(f"  {'── ' + m + ' ':─<25}" for m in METHODS))
    print("depth " + f"{'bits':>9}{'contexts':>10}{'ms':>8}" * len(METHODS))
    by_setting = {(s.method, s.depth): s for s in scores}
    for depth in DEPTHS:
        cells = (by_setting[m, depth] for m in METHODS)
        row = (f"{s.bits:>9.4f}{len(s.contexts):>10,}{s.seconds * 1000:>8.1f}" for s in cells)
        print(f"{depth:>5} " + "".join(row))


def runs(depths):
    """Depths as runs: [2, 3, 4, 7] gives "depths 2-4, 7"."""
    spans = []
    for depth in depths:
        if spans and depth == spans[-1][1] + 1:
            spans[-1][1] = depth
        else:
            spans.append([depth, depth])
    text = ", ".join(f"{a}-{b}" if a < b else f"{a}" for a, b in spans)
    return ("depths " if len(depths) > 1 else "depth ") + text


def sign(x):
    return (x > 0) - (x < 0)


def verdict(scores):
    """Lines naming the best model and saying why the other trees score worse.

    Settings that select the same contexts are one tree: their scores differ only
    because a deeper setting keeps the first max_depth symbols of the training
    part as context. Each other tree counts once, at its best score.
    """
    best = min(scores, key=lambda s: s.bits)
    order_0 = next(s.bits for s in scores if s.depth == 0)
    size = len(best.contexts)
    lines = [
        f"best: {best.method} at depth {best.depth}, {best.bits:.4f} bits per symbol with "
        f"{size:,} contexts (the order-0 model needs {order_0:.4f}, "
        f"{100 * (order_0 - best.bits) / best.bits:.1f}% more)"
    ]
    alike = [s for s in scores if s.contexts == best.contexts]
    if len(alike) > 1:
        settings = (
            f"{m} at {runs([s.depth for s in alike if s.method == m])}"
            for m in METHODS
            if any(s.method == m for s in alike)
        )
        lines.append(
            "      the same contexts are selected by " + ", ".join(settings) + " (their scores "
            "differ a little: the first max_depth training symbols are context only)"
        )

    trees = {}  # every other tree once, at its best score: the last one written
    for s in sorted(scores, key=lambda s: s.bits, reverse=True):
        trees[s.contexts] = s
    del trees[best.contexts]
    reasons = []
    for side, kind, why in (
        (-1, "smaller trees", "underfit, missing dependence that holds in new data"),
        (1, "larger trees", "overfit, following chance patterns of the training part"),
        (0, "other trees of that size", "choose contexts that predict worse"),
    ):
        group = [s for s in trees.values() if sign(len(s.contexts) - size) == side]
        if group:
            top = min(group, key=lambda s: s.bits)
            reasons.append(
                f"the {kind} ({len(group)}, best {top.bits:.4f} bits: {len(top.contexts):,} "
                f"contexts from {top.method} at depth {top.depth}) {why}"
            )
    if reasons:
        lines.append("why the others lose: " + "; ".join(reasons) + ".")
    return lines


def plot(evaluated, path):
    """One panel per series: held-out log-loss against depth, one line per selector."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, len(evaluated), figsize=(5.5 * len(evaluated), 4.2))
    for ax, (title, scores) in zip(axes, evaluated, strict=True):
        for method in METHODS:
            bits = [s.bits for s in scores if s.method == method]
            ax.plot(list(DEPTHS), bits, marker="o", markersize=3, label=method)
        best = min(scores, key=lambda s: s.bits)
        ax.plot([best.depth], [best.bits], "k*", markersize=12)
        ax.annotate(
            f"best: {best.method}, depth {best.depth}",
            (best.depth, best.bits),
            xytext=(0, 12),
            textcoords="offset points",
            ha="center",
            fontsize=8,
        )
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("max_depth")
        ax.set_ylabel("held-out log-loss (bits per symbol)")
        ax.set_xticks(list(DEPTHS))
        ax.grid(alpha=0.3)
    figure.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=len(METHODS))
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", type=Path, default=EXAMPLES / "model_selection.png")
    parser.add_argument("--no-plot", action="store_true", help="print the table only")
    args = parser.parse_args()

    print("Held-out log-loss in bits per symbol (lower is better), number of contexts and")
    print("fit time of every selector at every depth. Each model is fitted to the first four")
    print("fifths of a series and scores each symbol of the last fifth with log_likelihood,")
    print("given the max_depth symbols before it taken from the whole series: the first")
    print("held-out symbols are predicted from the end of the training part.")
    evaluated = []
    for name, description in DATASETS:
        series = load(name)
        alphabet_size = int(series.max()) + 1
        start, scores = evaluate(series, alphabet_size)
        print()
        print(f"{description} ({name}): {len(series):,} symbols, alphabet size {alphabet_size}")
        print(f"trained on the first {start:,}, scored on the last {len(series) - start:,}")
        print()
        print_table(scores)
        print()
        for line in verdict(scores):
            print(textwrap.fill(line, 88, subsequent_indent="      "))
        evaluated.append((f"{description}\n({name})", scores))

    if args.no_plot:
        return
    try:
        plot(evaluated, args.plot)
    except ImportError:
        print("\n(matplotlib is not installed: no plot)")
        return
    print(f"\nplot: {args.plot}")


if __name__ == "__main__":
    main()
