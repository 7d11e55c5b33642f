"""to_dot read back against the queries, and the tree-drawing example run on real data."""

import random
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import fitted, training_rows

from ostrel import OSTREL

ROOT = Path(__file__).resolve().parents[2]
NODE = re.compile(
    r'^  n(\d+) \[(shape=box, )?label="\[([\d, ]*)\]\\ncount (\d+)(?:\\np ([^"]*))?"\];$'
)
EDGE = re.compile(r'^  n(\d+) -> n(\d+) \[label="(\d+)"\];$')


def read_dot(text):
    """{node: (context, count, probabilities or None)} and [(parent, child, symbol)]."""
    lines = text.splitlines()
    assert lines[:2] == ["digraph ostrel {", "  node [shape=ellipse];"] and lines[-1] == "}"
    nodes, edges = {}, []
    for line in lines[2:-1]:
        if match := NODE.match(line):
            number, box, context, count, laws = match.groups()
            assert (box is None) == (laws is None), line
            symbols = [int(s) for s in context.split(", ")] if context else []
            law = [float(p) for p in laws.split(" ")] if laws else None
            nodes[int(number)] = (symbols, int(count), law)
        else:
            match = EDGE.match(line)
            assert match, line
            edges.append(tuple(int(x) for x in match.groups()))
    return nodes, edges


@pytest.mark.parametrize("seed", range(8))
def test_dot_text_reads_back_as_the_fitted_tree(seed):
    rng = random.Random(seed)
    alphabet = rng.choice([2, 3, 5])
    method = ["bct", "bic", "peres_shield"][seed % 3]
    rows = training_rows(rng, alphabet)
    model = fitted(alphabet, rows, max_depth=rng.randint(0, 4), method=method)
    nodes, edges = read_dot(model.to_dot())
    assert sorted(nodes) == list(range(model.node_count))
    assert sorted(c for c, _, law in nodes.values() if law is not None) == sorted(
        model.get_contexts()
    )
    for context, count, law in nodes.values():
        assert count == model.get_counts(context)
        if law is not None:
            assert law == model.get_distribution(context)
    assert len(edges) == model.node_count - 1
    for parent, child, symbol in edges:
        assert nodes[child][0] == [symbol, *nodes[parent][0]]


def test_dot_needs_a_fit():
    with pytest.raises(RuntimeError, match=r"^fit must be called before querying the model$"):
        OSTREL(2).to_dot()


def test_draw_tree_example_writes_its_figure(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "tree.png"
    argv = [sys.executable, str(ROOT / "examples" / "draw_tree.py"), "--out", str(out)]
    printed = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True)
    assert out.stat().st_size > 10_000
    assert "contexts" in printed.stdout
