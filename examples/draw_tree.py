"""Draw a fitted context tree as a paper would show it.

Run from the project root after `pip install .` (needs matplotlib):

    python examples/draw_tree.py                       # the pewee song, draw_tree.png
    python examples/draw_tree.py --data SP500 --depth 3 --out sp500_tree.png

The tree is read from `to_dot()` in one pass: every node with its context and
count, every context with its next-symbol law, every edge with its symbol. The
root is at the top; each edge is labelled with the symbol one step further back
in time, so a context reads from its box up to the root, oldest symbol first.
Each context shows a bar per symbol of its next-symbol law and its count; the
corner holds the summary's statistics and the entropy rate. Trees of more than
`--max-nodes` nodes are cut at the deepest level that keeps them within it
(cut nodes are marked "+"), so the figure and its cost stay bounded.
"""

import argparse
import math
import re
from pathlib import Path

import ostrel

EXAMPLES = Path(__file__).resolve().parent
DATASETS = {
    "pewee": (3, "Twilight song of a wood pewee (3 phrase types)"),
    "SP500": (7, "S&P 500 daily changes 1928-2016, in 7 classes"),
    "sars_cov_2": (4, "SARS-CoV-2 genome, GenBank MN908947.3"),
}
NODE = re.compile(
    r'^  n(\d+) \[(?:shape=box, )?label="\[([\d, ]*)\]\\ncount (\d+)(?:\\np ([^"]*))?"'
)
EDGE = re.compile(r'^  n(\d+) -> n(\d+) \[label="(\d+)"\];$')


def read_tree(dot):
    """Nodes as {index: (context, count, law or None)} and children as {index: [(symbol,
    child)]}, from to_dot's text in one pass."""
    nodes, children = {}, {}
    for line in dot.splitlines():
        if match := NODE.match(line):
            number, context, count, law = match.groups()
            symbols = [int(s) for s in context.split(", ")] if context else []
            nodes[int(number)] = (
                symbols,
                int(count),
                [float(p) for p in law.split()] if law else None,
            )
        elif match := EDGE.match(line):
            parent, child, symbol = (int(x) for x in match.groups())
            children.setdefault(parent, []).append((symbol, child))
    for edges in children.values():
        edges.sort()
    return nodes, children


def cut(nodes, children, max_nodes):
    """The deepest depth whose nodes, with all shallower ones, number at most max_nodes."""
    per_depth = {}
    for context, _, _ in nodes.values():
        per_depth[len(context)] = per_depth.get(len(context), 0) + 1
    kept, depth = 0, -1
    for d in sorted(per_depth):
        if kept + per_depth[d] > max_nodes:
            break
        kept, depth = kept + per_depth[d], d
    return depth


def layout(children, depth_limit):
    """x of every drawn node: leaves one apart in depth-first order, parents centred over
    their children. Iterative, each node visited once."""
    x, next_leaf = {}, 0
    stack = [(0, 0, False)]
    while stack:
        node, depth, done = stack.pop()
        below = children.get(node, []) if depth < depth_limit else []
        if not below:
            x[node], next_leaf = float(next_leaf), next_leaf + 1
        elif done:
            x[node] = (x[below[0][1]] + x[below[-1][1]]) / 2
        else:
            stack.append((node, depth, True))
            stack.extend((child, depth + 1, False) for _, child in reversed(below))
    return x


def draw(model, title, out, max_nodes):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch, Rectangle

    nodes, children = read_tree(model.to_dot())
    depth_limit = cut(nodes, children, max_nodes)
    if depth_limit < 0:
        raise SystemExit(f"--max-nodes {max_nodes} leaves not even the root to draw")
    x = layout(children, depth_limit)
    leaves = sum(1 for n in x if not (children.get(n) and len(nodes[n][0]) < depth_limit))
    alphabet = model.alphabet_size
    colours = plt.get_cmap("tab10" if alphabet <= 10 else "viridis")
    width = min(max(6.0, 0.9 * leaves + 2.5), 40.0)  # inches; wider trees draw smaller
    fig, ax = plt.subplots(figsize=(width, 1.7 * (depth_limit + 1) + 1.8))
    bar = 0.7 / alphabet  # the bars of one context span 0.7 of a leaf's width

    for node, nx in x.items():
        context, count, law = nodes[node]
        y = -len(context)
        below = children.get(node, []) if len(context) < depth_limit else []
        for symbol, child in below:
            ax.plot([nx, x[child]], [y, y + -1], color="0.55", lw=1, zorder=1)
            ax.text(
                (nx + x[child]) / 2,
                y - 0.5,
                str(symbol),
                ha="center",
                va="center",
                fontsize=9,
                bbox={"boxstyle": "circle,pad=0.15", "fc": "white", "ec": "0.7"},
            )
        truncated = children.get(node) and not below
        if law is None:
            ax.plot([nx], [y], "o", ms=7, color="0.35", zorder=2)
            label = f"{count}{' +' if truncated else ''}"
            ax.text(nx + 0.12, y + 0.08, label, fontsize=7, color="0.35", va="bottom")
            continue
        left = nx - bar * alphabet / 2
        ax.add_patch(
            Rectangle(
                (left - 0.04, y - 0.42),
                bar * alphabet + 0.08,
                0.46,
                fc="white",
                ec="0.3",
                lw=0.8,
                zorder=2,
            )
        )
        for s, p in enumerate(law):
            ax.add_patch(
                Rectangle(
                    (left + s * bar, y - 0.4),
                    bar * 0.9,
                    0.42 * p,
                    fc=colours(s % 10 if alphabet <= 10 else s / alphabet),
                    zorder=3,
                )
            )
        ax.text(
            nx, y - 0.47, f"n={count}{' +' if truncated else ''}", ha="center", va="top", fontsize=7
        )

    summary = model.summary()
    stats = [
        f"contexts {summary['contexts']}",
        f"sample size {summary['sample_size']:,}",
        f"parameters {summary['parameters']}",
        f"log-likelihood {summary['log_likelihood']:.1f}",
        f"AIC {summary['aic']:.1f}",
        f"BIC {summary['bic']:.1f}",
        f"entropy rate {model.entropy_rate() / math.log(2):.3f} bits/symbol",
    ]
    ax.text(
        0.01,
        0.99,
        "\n".join(stats),
        transform=ax.transAxes,
        fontsize=8,
        va="top",
        family="monospace",
        bbox={"fc": "0.96", "ec": "0.8"},
    )
    handles = [
        Patch(color=colours(s % 10 if alphabet <= 10 else s / alphabet), label=str(s))
        for s in range(min(alphabet, 10))
    ]
    ax.legend(
        handles=handles,
        title="next symbol",
        loc="upper right",
        fontsize=7,
        title_fontsize=7,
        frameon=False,
    )
    ax.set_title(f"{title}: {model.method} tree, max_depth {model.max_depth}", fontsize=10)
    ax.set_xlim(-0.8, leaves - 0.2)
    ax.set_ylim(-depth_limit - 1.0, 0.5)
    ax.axis("off")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)
    return len(x), len(nodes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=sorted(DATASETS), default="pewee")
    parser.add_argument("--depth", type=int, default=5)
    parser.add_argument("--method", default="bct")
    parser.add_argument("--max-nodes", type=int, default=200)
    parser.add_argument("--out", type=Path, default=EXAMPLES / "draw_tree.png")
    args = parser.parse_args()

    alphabet, title = DATASETS[args.data]
    row = [int(s) for s in (EXAMPLES / "data" / f"{args.data}.txt").read_text().split()]
    model = ostrel.OSTREL(alphabet, max_depth=args.depth, method=args.method)
    model.fit([row])
    drawn, total = draw(model, title, args.out, args.max_nodes)
    print(f"{args.data}: {model.context_count} contexts, {total} nodes ({drawn} drawn)")
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
