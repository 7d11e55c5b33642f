"""The model-selection example runs text-only and finds models that beat order 0."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CELL = r" +(\d\.\d{4}) +([\d,]+) +\d+\.\d"
ROW = re.compile(rf"^ +(\d+){CELL * 3}$", re.MULTILINE)
BEST = re.compile(
    r"best: (\w+) at depth (\d+), (\d\.\d{4}) bits per symbol with ([\d,]+) contexts"
    r"\s+\(the\s+order-0\s+model\s+needs\s+(\d\.\d{4})"
)


def test_the_best_model_beats_order_0_on_every_series():
    argv = [sys.executable, "examples/model_selection.py", "--no-plot"]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    rows = ROW.findall(out)
    bests = BEST.findall(out)
    assert len(rows) == 2 * 13 and len(bests) == 2
    assert "plot" not in out  # neither drawn nor reported missing

    for table, (method, depth, bits, contexts, order_0) in zip(
        (rows[:13], rows[13:]), bests, strict=True
    ):
        assert [int(r[0]) for r in table] == list(range(13))
        # Depth 0 is the same order-0 model under every selector.
        assert table[0][1:] == (order_0, "1") * 3
        cells = {
            (m, int(r[0])): r[1 + 2 * i : 3 + 2 * i]
            for r in table
            for i, m in enumerate(("bct", "bic", "peres_shield"))
        }
        assert cells[method, int(depth)] == (bits, contexts)
        assert bits == min(b for b, _ in cells.values())
        assert float(bits) < float(order_0)
