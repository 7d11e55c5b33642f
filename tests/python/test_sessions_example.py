"""The sessions example runs from a DataFrame to its four answers."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pandas")  # a test requirement; the emulated 32-bit root has none

ROOT = Path(__file__).resolve().parents[2]


def test_sessions_example_ranks_the_anomalies_first():
    argv = [sys.executable, "examples/sessions.py", "--sessions", "2000"]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    found = re.search(r"anomaly ranking: (\d+) of the (\d+) anomalous", out)
    assert found is not None and found.group(1) == found.group(2) != "0", out
    bits = float(re.search(r"held-out: (\d+\.\d+) bits per event", out).group(1))
    hit = float(re.search(r"top 5: (\d+\.\d)%", out).group(1))
    assert bits < 7.0 and hit > 20.0, out
