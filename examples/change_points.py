"""Find where a sequence changes its rules: the exact posterior over change points.

Run from the project root after `pip install .` (needs NumPy; draws the plot when
matplotlib is installed):

    python examples/change_points.py            # summary, and change_points.png
    python examples/change_points.py --no-plot  # summary only

The sequence is made here: 2,000 symbols over {0, 1, 2} from four second-order
Markov rules in turn, switching at positions 500, 1,100 and 1,500. ostrel.segment
weighs every segmentation with up to six change points on a grid of every fifth
position, each segment under its own context tree, and prints the posterior of
the number of changes, the most probable positions and where the marginal
posterior of a change is highest.
"""

import argparse
import random
from pathlib import Path

import numpy as np

import ostrel

EXAMPLES = Path(__file__).resolve().parent
CHANGES = (500, 1100, 1500)
LENGTH, DEPTH, STRIDE, MOST = 2000, 3, 5, 6


def make_sequence(seed=7):
    """Symbols whose next one follows the current rule with probability 0.9."""
    rng = random.Random(seed)
    rules = [[rng.randrange(3) for _ in range(9)] for _ in range(len(CHANGES) + 1)]
    row = [0, 0]
    for t in range(2, LENGTH):
        rule = rules[sum(t >= c for c in CHANGES)]
        row.append(rule[3 * row[-1] + row[-2]] if rng.random() < 0.9 else rng.randrange(3))
    return row


def plot(marginal, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(9, 3.2))
    ax.plot(np.arange(len(marginal)), marginal, lw=1.2, label="posterior of a change")
    for c in CHANGES:
        ax.axvline(c, color="k", ls=":", lw=1)
    ax.set_xlabel("position")
    ax.set_ylabel("probability")
    ax.set_title("Change points of a sequence made with changes at 500, 1,100 and 1,500")
    ax.legend(loc="upper left")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", type=Path, default=EXAMPLES / "change_points.png")
    parser.add_argument("--no-plot", action="store_true", help="print the summary only")
    args = parser.parse_args()

    row = make_sequence()
    found = ostrel.segment(row, 3, DEPTH, max_changes=MOST, stride=STRIDE)
    posterior = found["posterior"]
    best = int(np.argmax(posterior))
    print("posterior of the number of change points:")
    for k, p in enumerate(posterior):
        print(f"  {k}: {p:.4f}")
    print(f"most probable: {best} changes, at {found['map'][best]} (true: {list(CHANGES)})")
    marginal = np.asarray(found["marginal"])
    peaks = sorted(int(i) for i in np.argsort(marginal)[::-1] if marginal[i] > 0.1)
    print("positions where a change has posterior above 0.1:", peaks)
    if args.no_plot:
        return
    try:
        plot(marginal, args.plot)
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    print(f"plot: {args.plot}")


if __name__ == "__main__":
    main()
