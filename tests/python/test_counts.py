"""Counts: rows counted apart, merged in any order, saved and loaded, fit as the rows."""

import copy
import itertools
import pickle
import random

import numpy as np
import pytest
from conftest import snapshot
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrel
from ostrel import OSTREL, Counts

METHODS = ["bct", "bic", "peres_shield"]


def fit(model_args, data):
    model = OSTREL(*model_args)
    model.fit(data)
    return snapshot(model)


@st.composite
def split_rows(draw):
    """Rows, a split of them into numbered parts (each in one or two calls, as lists or
    arrays), and an order in which to merge the parts."""
    alphabet = draw(st.integers(2, 5))
    depth = draw(st.integers(0, 4))
    rows = draw(
        st.lists(st.lists(st.integers(0, alphabet - 1), max_size=40), min_size=1, max_size=8)
    )
    cuts = sorted(draw(st.lists(st.integers(0, len(rows)), max_size=3)))
    bounds = [0, *cuts, len(rows)]
    parts = [rows[a:b] for a, b in itertools.pairwise(bounds)]
    ids = sorted(draw(st.sets(st.integers(0, 2**64 - 1), min_size=len(parts), max_size=len(parts))))
    seed = draw(st.integers(0, 2**32))
    return alphabet, depth, rows, list(zip(ids, parts, strict=True)), seed


@settings(max_examples=60, deadline=None)
@given(split_rows(), st.sampled_from(METHODS))
def test_any_split_and_merge_order_fits_as_the_rows(case, method):
    alphabet, depth, rows, parts, seed = case
    rng = random.Random(seed)
    pieces = []
    for part, part_rows in parts:
        counts = Counts(alphabet, depth, part=part)
        half = rng.randrange(len(part_rows) + 1)
        counts.add(part_rows[:half])
        counts.add([np.array(row, dtype=np.uint8) for row in part_rows[half:]])
        pieces.append(counts)
    rng.shuffle(pieces)
    while len(pieces) > 1:
        i = rng.randrange(len(pieces) - 1)
        merged = pieces[i] + pieces.pop(i + 1)
        pieces[i] = pickle.loads(pickle.dumps(merged)) if rng.random() < 0.5 else merged
    (counts,) = pieces
    beta = {"beta": 0.75} if method == "bct" else {}
    model = OSTREL(alphabet, depth, method, **beta)
    model.fit(counts)
    expected = OSTREL(alphabet, depth, method, **beta)
    expected.fit(rows)
    assert snapshot(model) == snapshot(expected)
    assert counts.part == parts[-1][0]
    assert counts.sample_size == expected.sample_size


def test_chunks_of_a_long_row_overlapping_by_the_depth_count_it_once(tmp_path):
    rng = random.Random(7)
    row = np.zeros(20_000, dtype=np.uint8)
    for t in range(3, len(row)):  # mostly a function of the symbols 1 and 3 back
        row[t] = (row[t - 1] + row[t - 3] + 1) % 4 if rng.random() < 0.8 else rng.randrange(4)
    path = tmp_path / "row.u8"
    row.tofile(path)
    depth, chunk = 8, 3_001
    mapped = np.memmap(path, dtype=np.uint8, mode="r")
    counts = Counts(4, depth)
    for start in range(0, len(mapped) - depth, chunk):
        counts.add([mapped[start : start + chunk + depth]])
    del mapped
    for method in METHODS:
        expected = fit((4, depth, method), [row])
        assert fit((4, depth, method), counts) == expected
        assert len(expected["contexts"]) > 4 or method == "peres_shield"


def test_counts_take_rows_as_fit_does_and_a_failed_call_counts_nothing():
    counts = Counts(3, 1, part=5)
    counts.add([[0, 1, 2, 1]])
    state = pickle.dumps(counts)
    failures = [
        ("01", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ([[0, 1], "2"], TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (
            [[0, 1.5]],
            TypeError,
            "argument 'data': 'float' object cannot be interpreted as an integer",
        ),
        ([[0, 1], [1, -1]], OverflowError, "can't convert negative int to unsigned"),
        ([[0, 1], [2, 3]], ValueError, "symbol 3 at data[1][1] is outside 0..3"),
        (counts, TypeError, "argument 'data': 'Counts' object cannot be converted to 'Sequence'"),
    ]
    for data, error, message in failures:
        with pytest.raises(error) as raised:
            counts.add(data)
        assert str(raised.value) == message
        assert pickle.dumps(counts) == state
    assert (counts.alphabet_size, counts.max_depth, counts.part, counts.sample_size) == (3, 1, 5, 3)
    with pytest.raises(AttributeError):
        counts.part = 1


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((1, 3), {}, ValueError, "alphabet_size must be at least 2"),
        ((1, 65536), {}, ValueError, "alphabet_size must be at least 2"),
        ((2, 65536), {}, ValueError, "max_depth must be no larger than 65535"),
        (
            (2, 1, 0),
            {},
            TypeError,
            "Counts.__new__() takes 2 positional arguments but 3 were given",
        ),
        (
            (2,),
            {},
            TypeError,
            "Counts.__new__() missing 1 required positional argument: 'max_depth'",
        ),
        ((2, 1), {"part": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((2, 1), {"part": 2**64}, OverflowError, "int too big to convert"),
        (
            (2, 1),
            {"part": "0"},
            TypeError,
            "argument 'part': 'str' object cannot be interpreted as an integer",
        ),
        (
            (2, None),
            {},
            TypeError,
            "argument 'max_depth': 'NoneType' object cannot be interpreted as an integer",
        ),
    ],
)
def test_construction_is_checked_like_the_models(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        Counts(*args, **kwargs)
    assert str(raised.value) == message


def test_what_cannot_be_merged_or_fit_is_refused_and_changes_nothing():
    a, b = Counts(3, 2, part=1), Counts(3, 2, part=1)
    a.add([[0, 1, 2, 0]])
    b.add([[2, 2, 1]])
    for other, message in [
        (b, "both Counts hold rows of part 1, so their order is unknown; give each its own part"),
        (Counts(4, 2), "cannot merge Counts of alphabet_size 3 and 4"),
        (Counts(3, 3), "cannot merge Counts of max_depth 2 and 3"),
    ]:
        with pytest.raises(ValueError) as raised:
            a + other
        assert str(raised.value) == message
    with pytest.raises(TypeError, match="unsupported operand"):
        a + 1
    assert (a + Counts(3, 2, part=1)).part == 1  # a part without rows merges with its namesake
    model = OSTREL(3, 2)
    model.fit([[0, 1, 0, 1, 2]])
    before = snapshot(model)
    for counts, message in [
        (Counts(4, 2), "data holds counts of alphabet_size 4; the model's is 3"),
        (Counts(3, 1), "data holds counts of max_depth 1; the model's is 2"),
    ]:
        with pytest.raises(ValueError) as raised:
            model.fit(counts)
        assert str(raised.value) == message
        assert snapshot(model) == before


def test_copies_and_pickles_at_every_protocol_are_independent_values():
    counts = Counts(4, 3, part=9)
    counts.add([[0, 1, 2, 3, 3, 2, 1, 0, 0, 1]])
    copies = [copy.copy(counts), copy.deepcopy(counts)]
    copies += [
        pickle.loads(pickle.dumps(counts, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ]
    counts.add([[3, 3, 3, 3, 3]])
    for other in copies:
        assert type(other) is Counts and other.part == 9 and other.sample_size == 7
        assert fit((4, 3), other) == fit((4, 3), [[0, 1, 2, 3, 3, 2, 1, 0, 0, 1]])
    assert counts.__reduce__()[0] is ostrel._restore


def test_states_that_are_not_counts_raise_value_error():
    counts = Counts(3, 2, part=4)
    counts.add([[0, 1, 2, 1, 0], [2, 2]])
    state = counts.__reduce__()[1][0]
    assert ostrel._restore(bytearray(state)).sample_size == 3
    for bad in [state[:n] for n in range(len(state))] + [state + b"\0", b"ostrelC\x09" + state[8:]]:
        with pytest.raises(ValueError) as raised:
            ostrel._restore(bad)
        assert str(raised.value).startswith("invalid ostrel state: ")
    with pytest.raises(TypeError) as raised:
        ostrel._restore("ostrel")
    assert str(raised.value) == "argument 'state': 'str' object cannot be converted to 'bytes'"


class Reentrant:
    """A row whose iteration calls back into `target`."""

    def __init__(self, target):
        self.target, self.seen = target, None

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return [0, 1][i]

    def __iter__(self):
        try:
            self.target()
        except RuntimeError as error:
            self.seen = str(error)
        return iter([0, 1])


def test_reentry_while_adding_is_refused():
    counts = Counts(2, 0)
    row = Reentrant(lambda: counts.add([[0]]))
    counts.add([row])
    assert row.seen == "Already borrowed"
    row = Reentrant(lambda: OSTREL(2, 0).fit(counts))
    counts.add([row])
    assert row.seen == "Already mutably borrowed"
    assert counts.sample_size == 4
