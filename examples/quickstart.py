"""Fit a variable-length Markov chain to a real sequence with each tree selector.

Run from the project root after `pip install .`:

    python examples/quickstart.py                       # SARS-CoV-2 genome
    python examples/quickstart.py --data examples/data/pewee.txt --max-depth 5

A data file holds one row per line: symbols 0..m-1 separated by spaces, oldest
first. For each selector the script prints the selected contexts as a tree, the
model's size, and next-symbol probabilities for a few histories.
"""

import argparse
import string
import time
from collections import Counter, defaultdict
from pathlib import Path

import ostrel

DATA_DIR = Path(__file__).resolve().parent / "data"
METHODS = ("bct", "bic", "peres_shield")

# Known files: a description, the label of each symbol 0..m-1 and a few
# histories worth asking about (oldest symbol first).
KNOWN = {
    "sars_cov_2": (
        "SARS-CoV-2 genome, GenBank MN908947.3",
        "ACGT",
        ["TACGT", "GGTGT", "CCTTG", "GATTA", "T"],
    ),
    "pewee": (
        "wood pewee twilight song, three phrase types",
        "012",
        ["21010", "1020", "0011", "2", "0"],
    ),
}


def load(path):
    """Rows of integer symbols, one per non-empty line."""
    with open(path, encoding="ascii") as f:
        return [[int(s) for s in line.split()] for line in f if line.strip()]


def word(symbols, labels):
    """A context or history in the data's own alphabet, oldest symbol first."""
    return "".join(labels[s] for s in symbols)


def draw_tree(model, labels, max_nodes=None):
    """Lines drawing the selected contexts as a tree grown back in time.

    The root is the empty context; a node's children extend it by the symbol one
    step further back, so a node labelled "TG" is reached from "G" via "T".
    Selected contexts show how often they occurred and their most likely next
    symbol. A node can be both selected and a parent when a selector keeps only
    some of its children (the others fall back to it).

    With `max_nodes`, a large tree is drawn only down to the deepest level that
    keeps it within that many nodes (the root at least); a node whose children
    are not drawn ends in "…", and a last line says how many nodes are left out.
    One pass over the contexts finds every node's children.
    """
    contexts = {tuple(c) for c in model.get_contexts()}
    children = defaultdict(list)
    levels = Counter({0: 1})  # nodes per depth
    seen = {()}
    for node in contexts:
        while node not in seen:  # up to the first node already met
            seen.add(node)
            levels[len(node)] += 1
            children[node[1:]].append(node)
            node = node[1:]
    depth, drawn = 0, 1
    while max_nodes is None or drawn + levels[depth + 1] <= max_nodes:
        if levels[depth + 1] == 0:
            break
        depth += 1
        drawn += levels[depth]
    cut = drawn < len(seen)  # some nodes end in " …"
    width = max(5 * depth + 2 * cut, len("context")) + 2

    def line(prefix, node):
        head = prefix + (word(node, labels) if node else "(root)")
        if len(node) == depth and children[node]:
            head += " …"
        if node not in contexts:
            return head
        count = model.get_counts(list(node))
        if count == 0:  # kept to complete its parent, never seen
            return f"{head:<{width}}{count:>7,}   -"
        probs = model.get_distribution(list(node))
        best = max(range(len(probs)), key=probs.__getitem__)
        return f"{head:<{width}}{count:>7,}   {labels[best]} {probs[best]:.3f}"

    def walk(node, indent):
        if len(node) == depth:
            return
        below = sorted(children[node])
        for i, child in enumerate(below):
            last = i == len(below) - 1
            yield line(indent + ("└── " if last else "├── "), child)
            yield from walk(child, indent + ("    " if last else "│   "))

    header = f"{'context':<{width}}{'count':>7}   most likely next"
    lines = [header, line("", ()), *walk((), "")]
    if cut:
        lines.append(
            f"… {len(seen) - drawn:,} deeper nodes of {len(seen):,} not drawn "
            f"(drawn to depth {depth} of {max(levels)})"
        )
    return lines


def show_predictions(model, histories, labels):
    """A table of next-symbol probabilities and the context each history used."""
    width = max(len("history"), *(len(h) + 1 for h in histories))
    columns = "".join(f"{'P(' + a + ')':>8}" for a in labels)
    print(f"  {'history':>{width}}  {'context':<10}{columns}")
    short = False
    for history in histories:
        context = model.get_suffix(history)
        probs = model.predict_proba(history)
        # A history shorter than the selected context stops at an inner node,
        # whose counts pool all of its longer contexts.
        inner = context not in model.get_contexts()
        short |= inner
        shown = (word(context, labels) or "(root)") + ("*" if inner else "")
        print(f"  {'…' + word(history, labels):>{width}}  {shown:<10}", end="")
        print("".join(f"{p:>8.3f}" for p in probs))
    if short:
        print("  * history too short to reach a selected context; an inner node answered")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA_DIR / "sars_cov_2.txt")
    parser.add_argument("--max-depth", type=int, default=6)
    args = parser.parse_args()

    rows = load(args.data)
    description, labels, asked = KNOWN.get(args.data.stem, (args.data.name, "", []))
    m = max(max(row) for row in rows if row) + 1
    if len(labels) < m:
        labels, asked = (string.digits + string.ascii_letters)[:m], []
    total = sum(len(row) for row in rows)
    print(f"data: {description}")
    print(f"      {args.data.name}: {len(rows)} row(s), {total:,} symbols, alphabet {labels}")
    depth = args.max_depth
    print(f"max depth {depth}: the first {depth} symbols of a row are context only")
    print("trees: the root is the empty context; each level looks one symbol further back,")
    x, y = labels[-1], labels[len(labels) // 2]
    print(f"       and a context reads oldest symbol first ({x}{y}: {x}, then {y}, then the next)")

    histories = [[labels.index(a) for a in h] for h in asked]
    if not histories:
        # Other data: windows of the data itself, plus a one-symbol history
        # that may stop short of the selected contexts.
        row = max(rows, key=len)
        histories = [row[k * len(row) // 4 - 6 : k * len(row) // 4] for k in (1, 2, 3, 4)]
        histories = [list(h) for h in dict.fromkeys(tuple(h) for h in histories if h)]
        histories.append(row[-1:])

    for method in METHODS:
        model = ostrel.OSTREL(len(labels), max_depth=args.max_depth, method=method)
        start = time.perf_counter()
        model.fit(rows)
        elapsed = time.perf_counter() - start
        print()
        print(f"━━ {method} " + "━" * (76 - len(method)))
        print(
            f"contexts {model.context_count}, nodes {model.node_count}, "
            f"sample size {model.sample_size:,}, effective depth {model.effective_max_depth}, "
            f"fitted in {elapsed * 1000:.1f} ms"
        )
        if model.effective_max_depth < args.max_depth:
            print(f"(this selector caps the depth at floor(ln ln n) = {model.effective_max_depth})")
        print()
        for text in draw_tree(model, labels):
            print("  " + text)
        print()
        show_predictions(model, histories, labels)


if __name__ == "__main__":
    main()
