"""The quickstart example runs and reports what a direct fit of its data gives."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import ostrel

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "examples" / "data"
HEADER = re.compile(
    r"━━ (\w+) ━+\ncontexts (\d+), nodes (\d+), sample size ([\d,]+), effective depth (\d+)"
)
NODE = re.compile(r"  ([│ ]   )*(├── |└── )?(\(root\)|\S+)(?: +([\d,]+)   (?:(\S) [\d.]+|-))?")
ROW = re.compile(r" +…(\S+)  (\S+?)\*? +((?:\d\.\d{3} *)+)")


@pytest.mark.parametrize(
    ("args", "data", "depth"),
    [([], DATA / "sars_cov_2.txt", 6), (["--max-depth", "4"], DATA / "pewee.txt", 4)],
)
def test_output_matches_a_direct_fit(args, data, depth):
    argv = [sys.executable, "examples/quickstart.py", "--data", str(data), *args]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    labels = re.search(r"alphabet (\S+)", out)[1]
    rows = [[int(s) for s in line.split()] for line in data.read_text().splitlines()]
    sections = HEADER.split(out)[1:]
    assert sections[::6] == ["bct", "bic", "peres_shield"]

    for method, contexts, nodes, size, eff, body in zip(*[iter(sections)] * 6, strict=True):
        model = ostrel.OSTREL(len(labels), max_depth=depth, method=method)
        model.fit(rows)
        printed = [int(n.replace(",", "")) for n in (contexts, nodes, size, eff)]
        fitted = [model.context_count, model.node_count, model.sample_size]
        assert printed == [*fitted, model.effective_max_depth]
        tree, table = body.split("\n\n")[1:3]

        # Each node extends the node above it at one level less by one older symbol.
        path, drawn = [], {}
        for line in tree.splitlines()[1:]:
            m = NODE.fullmatch(line)
            assert m, line
            label = "" if m[3] == "(root)" else m[3]
            assert len(line) - len(line.lstrip(" │├└─")) == 4 * len(label) + 2
            path[len(label) :] = [label]
            assert label[1:] == (path[-2] if label else "")
            if m[4]:
                drawn[label] = int(m[4].replace(",", ""))
            if m[5]:
                probs = model.get_distribution([labels.index(a) for a in label])
                assert m[5] == labels[probs.index(max(probs))]
        assert len(tree.splitlines()) - 1 == model.node_count
        expected = {
            "".join(labels[s] for s in c): model.get_counts(c) for c in model.get_contexts()
        }
        assert drawn == expected

        for line in table.splitlines()[1:]:
            if line.lstrip().startswith("*"):
                continue
            m = ROW.fullmatch(line)
            assert m, line
            history = [labels.index(a) for a in m[1]]
            probs = [float(p) for p in m[3].split()]
            suffix = "".join(labels[s] for s in model.get_suffix(history)) or "(root)"
            assert m[2] == suffix
            assert sum(probs) == pytest.approx(1.0, abs=3e-3)
            assert probs == pytest.approx(model.predict_proba(history), abs=6e-4)
