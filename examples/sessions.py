"""From a DataFrame of user sessions to per-event surprisal, an anomaly ranking and the next
event's top 5, with the mixture over context trees counting every event from its session's
start.

Run from the project root after `pip install .` (needs pandas):

    python examples/sessions.py [--sessions 20000] [--depth 3]

The events are synthetic and seeded: 150 event types, sessions of 3 to 60 events whose next
event mostly follows the two before it (and how a session begins depends on nothing before
it), and 100 anomalous sessions of events in random order. The mixture is trained on the
first 80 % of the sessions and scores the rest.
"""

import argparse
import time

import numpy as np
import pandas as pd

import ostrel


def event_log(sessions: int, seed: int = 5) -> tuple[pd.DataFrame, set[int]]:
    """A frame of (session, event) in time order, and the ids of the anomalous sessions."""
    rng = np.random.default_rng(seed)
    types = np.array([f"event_{i:03d}" for i in range(150)])
    follow = rng.integers(150, size=(150, 150, 3))  # three likely next events per pair
    opening = rng.integers(150, size=8)  # the few ways a session starts
    anomalous = set(rng.choice(sessions, size=100, replace=False).tolist())
    ids, events = [], []
    for s in range(sessions):
        n = int(np.clip(rng.geometric(0.1), 3, 60))
        if s in anomalous:
            row = rng.integers(150, size=n)
        else:
            row = [opening[rng.integers(8)], opening[rng.integers(8)]]
            for _ in range(n - 2):
                if rng.random() < 0.85:
                    row.append(follow[row[-2], row[-1], rng.integers(3)])
                else:
                    row.append(rng.integers(150))
            row = row[:n]
        ids.extend([s] * n)
        events.extend(types[row])
    return pd.DataFrame({"session": ids, "event": events}), anomalous


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=int, default=20000)
    parser.add_argument("--depth", type=int, default=3)
    args = parser.parse_args()
    frame, anomalous = event_log(args.sessions)

    # The frame as rows of codes: one row per session, in time order.
    start = time.perf_counter()
    codes, labels = pd.factorize(frame["event"], sort=True)
    sessions = frame["session"].to_numpy()
    bounds = np.flatnonzero(np.diff(sessions)) + 1
    rows = np.split(codes.astype(np.uint8), bounds)
    session_ids = sessions[np.r_[0, bounds]]
    print(
        f"{len(frame):,} events in {len(rows):,} sessions to rows in "
        f"{time.perf_counter() - start:.3f} s"
    )

    cut = int(len(rows) * 0.8)
    train, test = rows[:cut], rows[cut:]
    start = time.perf_counter()
    counts = ostrel.Counts(len(labels), args.depth, starts=True)
    counts.add(train)
    mixture = counts.mixture(0.9, alpha=0.05)
    print(f"counted from each session's start and mixed in {time.perf_counter() - start:.3f} s")

    # Per-event surprisal, row by row through the offsets.
    start = time.perf_counter()
    terms, offsets = mixture.pointwise_log_likelihood(test, offsets=True)
    bits = -np.asarray(terms) / np.log(2)
    offsets = np.asarray(offsets)
    seconds = time.perf_counter() - start
    print(
        f"held-out: {bits.mean():.3f} bits per event over {len(bits):,} events in {seconds:.3f} s"
    )

    # Sessions ranked by their mean surprisal per event.
    start = time.perf_counter()
    per_session = np.add.reduceat(bits, offsets[:-1]) / np.diff(offsets)
    ranked = session_ids[cut:][np.argsort(-per_session)]
    planted = [s for s in session_ids[cut:] if s in anomalous]
    found = len(set(ranked[: len(planted)].tolist()) & anomalous)
    print(
        f"anomaly ranking: {found} of the {len(planted)} anomalous held-out sessions "
        f"ranked first, in {time.perf_counter() - start:.3f} s"
    )

    # The next event's top 5 after every held-out prefix (each a row's beginning).
    start = time.perf_counter()
    prefixes = [row[:t] for row in test for t in range(len(row))]
    nexts = np.concatenate(test)
    symbols, _ = mixture.top_k(prefixes, 5)
    hit = (np.asarray(symbols) == nexts[:, None]).any(axis=1).mean()
    print(
        f"next event in the top 5: {hit:.1%} of {len(nexts):,} in "
        f"{time.perf_counter() - start:.3f} s; e.g. after {labels[test[0][0]]}: "
        f"{', '.join(labels[np.asarray(symbols)[1][:3]])}, ..."
    )


if __name__ == "__main__":
    main()
