"""Run a benchmark script against two builds of the extension and compare them.

    python bench/compare.py --before PATH [--rounds 2] -- bench_score.py --quick

runs the script (any of bench/*.py) alternately with the extension found on the
current module path (after) and with the one in PATH (before), ``--rounds``
times each, reads back every table it prints, and prints each time cell of
every row as the best after, the best before and their ratio (after/before:
below 1 is faster). Cells that are not times (counts, memory, ratios) are left
out; a row is matched by its place in its table and its first cell.
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

from _common import print_table

HERE = Path(__file__).resolve().parent
TIME = re.compile(r"^([0-9.]+(?:e[+-]?[0-9]+)?) (s|ms|us|ns)$")
SCALE = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}


def tables(text):
    """The tables that print_table printed in `text`: (headers, rows) of cell strings."""
    lines = text.splitlines()
    found = []
    for i in range(1, len(lines)):
        dashes = lines[i]
        if not dashes or set(dashes) - {"-", " "} or "--" not in dashes:
            continue
        spans = [(m.start(), m.end()) for m in re.finditer(r"-+", dashes)]
        if len(spans) < 2:
            continue

        # Column k's text lies between the end of column k - 1 and its own
        # end: the first column is left-aligned, the others right-aligned.
        def cells(line, spans=spans):
            return [
                line[(spans[k - 1][1] if k else 0) : end].strip()
                for k, (_, end) in enumerate(spans)
            ]

        headers = cells(lines[i - 1])
        rows = []
        for line in lines[i + 1 :]:
            if not line.strip():
                break
            rows.append(cells(line))
        found.append((headers, rows))
    return found


def seconds(cell):
    match = TIME.match(cell)
    return float(match.group(1)) * SCALE[match.group(2)] if match else None


def run(script_args, pythonpath):
    env = os.environ.copy()
    if pythonpath is not None:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (pythonpath, env.get("PYTHONPATH")) if p)
    done = subprocess.run(
        [sys.executable, str(HERE / script_args[0]), *script_args[1:]],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    if done.returncode != 0:
        raise SystemExit(f"{script_args[0]} failed:\n{done.stderr.strip()}")
    return tables(done.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, metavar="PATH", help="the earlier build")
    parser.add_argument("--rounds", type=int, default=2, help="runs of each build, alternating")
    parser.add_argument("script", nargs=argparse.REMAINDER, help="-- SCRIPT [ARGS]")
    args = parser.parse_args(argv)
    script = args.script[1:] if args.script[:1] == ["--"] else args.script
    if not script:
        parser.error("give the benchmark script after --")

    best = {}  # (table, row, column) -> [after, before]
    labels = {}
    for _ in range(args.rounds):
        for side, path in ((0, None), (1, args.before)):
            for t, (headers, rows) in enumerate(run(script, path)):
                for r, row in enumerate(rows):
                    for c, cell in enumerate(row[1:], start=1):
                        value = seconds(cell)
                        if value is None:
                            continue
                        key = (t, r, c)
                        labels[key] = (row[0], headers[c] if c < len(headers) else str(c))
                        pair = best.setdefault(key, [float("inf"), float("inf")])
                        pair[side] = min(pair[side], value)
    table = []
    for key in sorted(best):
        after, before = best[key]
        if after == float("inf") or before == float("inf"):
            continue
        row, column = labels[key]
        table.append([row, column, f"{after:.4g} s", f"{before:.4g} s", f"{after / before:.3f}x"])
    print_table(["row", "figure", "after", "before", "after/before"], table)
    print(
        f"\nbest of {args.rounds} alternating runs of each build; after: the extension on "
        f"the module path; before: {args.before}."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
