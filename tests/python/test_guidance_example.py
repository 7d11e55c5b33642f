"""The modelling-guidance example runs and still shows what the modelling guidance says it shows."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_guidance_example_shows_its_cases():
    argv = [sys.executable, "examples/modelling_guidance.py"]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    pairs = re.findall(r"unpadded (\d\.\d+), padded (\d\.\d+)", out)
    assert len(pairs) == 2 and all(float(p) < float(u) for u, p in pairs)
    assert "succeeds with sample_size 0" in out
    assert "supply beta explicitly" in out
    bic = re.findall(r"bic +(\S+) +(\d+\.\d+) bits, +(\d+) contexts", out)
    assert [(options, int(n)) for options, _, n in bic] == [("defaults", 1), ("penalty=0.02", 300)]
