"""The byte-prediction example runs on a small file and prints its two lines."""

import math
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_predict_bytes_prints_both_lines(tmp_path):
    text = (ROOT / "README.md").read_bytes()[:20000]
    path = tmp_path / "sample.txt"
    path.write_bytes(text)
    argv = [sys.executable, "examples/predict_bytes.py", str(path), "--max-depth", "4"]
    out = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert [line.split(":")[0] for line in lines] == ["sequential", "held-out"]
    bound = math.log2(len(set(text)))
    for line in lines:
        found = re.fullmatch(r"[a-z-]+: (\d+\.\d{4}) bits/symbol in (\d+\.\d{3}) s", line)
        assert found is not None, line
        assert 0.5 < float(found.group(1)) < bound
