"""Shared helpers for the benchmark scripts: a seeded synthetic source, timing,
memory measurement in a fresh interpreter and a plain-text table printer.

Nothing here needs more than the standard library.
"""

from __future__ import annotations

import gc
import json
import os
import random
import resource
import subprocess
import sys
import time
from bisect import bisect
from collections.abc import Callable, Sequence
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent


# --------------------------------------------------------------------------
# Synthetic data: a random variable-length Markov source
# --------------------------------------------------------------------------


class MarkovSource:
    """A random variable-length Markov source over ``alphabet_size`` symbols.

    The states are a set of contexts (tuples, oldest symbol first) that is
    closed under dropping either the oldest or the newest symbol: the empty
    context, every single symbol, and every factor of ``motifs`` random words
    of length ``depth``. Each context has its own next-symbol distribution,
    drawn from a symmetric Dirichlet(``concentration``) law; where the context
    is part of a motif, one symbol that continues a motif gets extra weight
    (``motif_weight`` times the rest) so that the deep contexts are visited.

    The next symbol is drawn from the longest context that is a suffix of the
    history. Because the context set is closed both ways, the longest context
    after emitting ``a`` in context ``c`` is the longest context that is a
    suffix of ``c + (a,)``, so generation is a table-driven walk over context
    ids: one ``random()``, one ``bisect`` and two list lookups per symbol.
    """

    def __init__(
        self,
        alphabet_size: int,
        depth: int,
        seed: int = 0,
        motifs: int | None = None,
        concentration: float = 0.5,
        motif_weight: float = 1.0,
    ) -> None:
        if alphabet_size < 2 or depth < 0:
            raise ValueError("need alphabet_size >= 2 and depth >= 0")
        self.alphabet_size = alphabet_size
        self.depth = depth
        rng = random.Random(seed)
        if motifs is None:
            motifs = max(4, 4 * depth)
        words = [tuple(rng.randrange(alphabet_size) for _ in range(depth)) for _ in range(motifs)]

        contexts: set[tuple[int, ...]] = {()}
        contexts.update((a,) for a in range(alphabet_size))
        # Symbols that continue a motif from a given context.
        continuations: dict[tuple[int, ...], set[int]] = {}
        for word in words:
            for start in range(depth):
                for stop in range(start + 1, depth + 1):
                    contexts.add(word[start:stop])
                for stop in range(start, depth):
                    continuations.setdefault(word[start:stop], set()).add(word[stop])

        ordered = sorted(contexts, key=lambda c: (len(c), c))
        index = {c: i for i, c in enumerate(ordered)}
        self.contexts = ordered

        a_size = alphabet_size
        cumulative: list[list[float]] = []
        for context in ordered:
            weights = [rng.gammavariate(concentration, 1.0) for _ in range(a_size)]
            following = sorted(continuations.get(context, ()))
            if following:
                weights[rng.choice(following)] += motif_weight * sum(weights)
            total = sum(weights)
            running = 0.0
            cum = []
            for w in weights:
                running += w / total
                cum.append(running)
            cum[-1] = 1.0 + 1e-12  # random() < 1 always lands in range
            cumulative.append(cum)
        self._cumulative = cumulative

        # transitions[i][a]: id of the longest context that is a suffix of
        # contexts[i] + (a,).
        transitions: list[list[int]] = []
        for context in ordered:
            row = []
            for a in range(a_size):
                extended = (*context, a)
                while extended not in index:
                    extended = extended[1:]
                row.append(index[extended])
            transitions.append(row)
        self._transitions = transitions
        self._rng = rng

    @property
    def state_count(self) -> int:
        return len(self.contexts)

    def row(self, length: int) -> list[int]:
        """One sequence of ``length`` symbols, starting from an empty history."""
        out = [0] * length
        cumulative = self._cumulative
        transitions = self._transitions
        rnd = self._rng.random
        state = 0
        for i in range(length):
            symbol = bisect(cumulative[state], rnd())
            out[i] = symbol
            state = transitions[state][symbol]
        return out

    def rows(self, count: int, length: int) -> list[list[int]]:
        """``count`` independent sequences of ``length`` symbols each."""
        return [self.row(length) for _ in range(count)]


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


def best_of(fn: Callable[[], object], repeat: int = 3) -> float:
    """The shortest wall time of ``repeat`` calls of ``fn``, in seconds.

    The garbage collector is paused around each call so that a collection
    triggered by earlier allocations is not charged to the call.
    """
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        was_enabled = gc.isenabled()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - start
        finally:
            if was_enabled:
                gc.enable()
        best = min(best, elapsed)
    return best


# --------------------------------------------------------------------------
# Memory
# --------------------------------------------------------------------------


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def current_rss() -> int:
    """Resident set size of this process now, in bytes (0 if unknown)."""
    kib = _status_kib("VmRSS")
    return 0 if kib is None else kib * 1024


def peak_rss() -> int:
    """Peak resident set size of this process so far (or since the last
    ``reset_peak_rss``), in bytes."""
    kib = _status_kib("VmHWM")
    if kib is None:
        kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    return kib * 1024


def reset_peak_rss() -> bool:
    """Restart the peak-RSS watermark at the current RSS (Linux only).

    Returns False where that is not possible; ``peak_rss`` then keeps
    reporting the peak since process start.
    """
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        return False
    return True


def run_child(
    script: Path, payload: dict, timeout: float | None = None, pythonpath: str | None = None
) -> dict:
    """Run ``script --child JSON`` in a fresh interpreter and return the JSON
    object printed on the last line of its standard output.

    A fresh process per workload keeps one workload's heap from inflating the
    next one's memory figures. ``pythonpath``, when given, is put first on the
    child's module path (to measure another build of the extension).
    """
    command = [sys.executable, str(script), "--child", json.dumps(payload)]
    env = os.environ.copy()
    if pythonpath is not None:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (pythonpath, env.get("PYTHONPATH")) if p)
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    if done.returncode != 0:
        raise RuntimeError(
            f"child {payload!r} failed with exit code {done.returncode}:\n{done.stderr.strip()}"
        )
    lines = done.stdout.strip().splitlines()
    if not lines:
        raise RuntimeError(f"child {payload!r} printed nothing:\n{done.stderr.strip()}")
    return json.loads(lines[-1])


def emit_child_result(result: dict) -> None:
    """Print a child's result where ``run_child`` looks for it."""
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()


# --------------------------------------------------------------------------
# Formatting
# --------------------------------------------------------------------------


def format_seconds(seconds: float) -> str:
    if seconds != seconds:  # NaN: not measured
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_bytes(count: float) -> str:
    if count != count:
        return "-"
    sign = "-" if count < 0 else ""
    count = abs(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{sign}{count:.0f} {unit}" if unit == "B" else f"{sign}{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def format_rate(per_second: float) -> str:
    if per_second != per_second or per_second <= 0:
        return "-"
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if per_second >= scale:
            return f"{per_second / scale:.3g}{unit}/s"
    return f"{per_second:.3g}/s"


def format_count(count: int) -> str:
    """``10**6`` as ``1e6``, ``2 * 10**6`` as ``2e6``; other counts in full."""
    exponent = len(str(count)) - 1
    lead, rest = divmod(count, 10**exponent)
    if count >= 1000 and rest == 0:
        return f"{lead}e{exponent}"
    return f"{count:,}"


def format_ratio(ratio: float) -> str:
    if ratio != ratio:
        return "-"
    return f"{ratio:.3g}x"


def print_table(
    headers: Sequence[str], rows: Sequence[Sequence[object]], file=None, title: str = ""
) -> None:
    """Print ``rows`` under ``headers`` as an aligned plain-text table.

    The first column is left-aligned, the others right-aligned.
    """
    out = sys.stdout if file is None else file
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]

    def line(row: Sequence[str]) -> str:
        parts = [
            row[i].ljust(widths[i]) if i == 0 else row[i].rjust(widths[i])
            for i in range(len(headers))
        ]
        return "  ".join(parts).rstrip()

    if title:
        print(title, file=out)
    print(line(cells[0]), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for row in cells[1:]:
        print(line(row), file=out)
    out.flush()


def import_ostrel():
    """Import the extension, with a hint when it is not on the path."""
    try:
        import ostrel
    except ImportError as error:
        raise SystemExit(
            f"cannot import ostrel ({error}); build it and set PYTHONPATH to the build "
            "directory, or pip install the project"
        ) from error
    return ostrel
