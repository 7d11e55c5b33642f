"""Predict any file's bytes with the mixture over context trees, as a compressor would.

Run from the project root after `pip install .`:

    python examples/predict_bytes.py FILE [--train-fraction 0.9] [--max-depth 8]

The symbols are the distinct bytes present in the file, in byte order. The
hyperparameters of the hierarchical Kneser-Ney estimator (and bct's beta) are
chosen from the evidence of the training part alone (the first
`--train-fraction` of the file). The script prints two lines:

    sequential: ... bits/symbol in ... s   the whole file, each symbol predicted from
                                           the ones before it by a mixture that starts
                                           empty (the first max_depth symbols charged
                                           log2 of the alphabet each); the time of
                                           that pass alone
    held-out: ... bits/symbol in ... s     the mixture grown by the training part, the
                                           rest scored as it is read, each symbol after
                                           the ones before it; the time of the scoring
"""

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

import ostrel


def symbols_of(data: bytes) -> tuple[np.ndarray, int]:
    """The file's bytes as symbols 0..m-1 (its distinct bytes in byte order), and m
    (at least 2: a mixture needs two symbols)."""
    raw = np.frombuffer(data, dtype=np.uint8)
    present = np.unique(raw)
    codes = np.zeros(256, dtype=np.uint8)
    codes[present] = np.arange(len(present), dtype=np.uint8)
    return codes[raw], max(2, len(present))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", type=Path)
    parser.add_argument("--train-fraction", type=float, default=0.9)
    parser.add_argument("--max-depth", type=int, default=8)
    args = parser.parse_args()
    if not 0.0 < args.train_fraction < 1.0:
        parser.error("--train-fraction must be between 0 and 1")
    if args.max_depth < 0:
        parser.error("--max-depth must be at least 0")
    x, m = symbols_of(args.file.read_bytes())
    depth = args.max_depth
    split = int(len(x) * args.train_fraction)
    if split >= len(x):
        sys.exit(f"{args.file}: too short to hold out anything")
    train, rest = x[:split], x[split:]

    chosen = ostrel.choose_hyperparameters([train], m, depth)

    # The whole file, from an empty mixture.
    mixture = ostrel.Counts(m, depth).mixture(**chosen)
    start = time.perf_counter()
    log_p = np.asarray(mixture.update([x]))
    seconds = time.perf_counter() - start
    bits = (min(depth, len(x)) * math.log2(m) - log_p.sum() / math.log(2)) / len(x)
    print(f"sequential: {bits:.4f} bits/symbol in {seconds:.3f} s")

    # Trained on the first part, the rest scored as it is read: its first
    # symbols have the training part's last ones as history.
    mixture = ostrel.Counts(m, depth).mixture(**chosen)
    mixture.update([train])
    history = train[max(0, len(train) - depth) :]
    start = time.perf_counter()
    log_p = np.asarray(mixture.update([np.concatenate([history, rest])]))
    seconds = time.perf_counter() - start
    # Symbols without max_depth before them in the file (a training part
    # shorter than max_depth) are charged log2 of the alphabet each.
    unscored = len(rest) - len(log_p)
    bits = (unscored * math.log2(m) - log_p.sum() / math.log(2)) / len(rest)
    print(f"held-out: {bits:.4f} bits/symbol in {seconds:.3f} s")


if __name__ == "__main__":
    main()
