"""The change-point example runs text-only and finds the three changes it made."""

import ast
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FOUND = re.compile(r"most probable: (\d+) changes, at (\[[\d, ]*\]) \(true: (\[[\d, ]*\])\)")


def test_the_example_finds_the_three_changes():
    argv = [sys.executable, "examples/change_points.py", "--no-plot"]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    [(count, found, true)] = FOUND.findall(out)
    assert count == "3" and "plot" not in out
    for at, change in zip(ast.literal_eval(found), ast.literal_eval(true), strict=True):
        assert abs(at - change) <= 5
