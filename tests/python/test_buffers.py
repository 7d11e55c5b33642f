"""Arrays and other integer buffers read directly give exactly what reading their
elements one by one gives: the same models, answers and errors."""

import array

import pytest
from conftest import WORD_BITS, Index, fitted, outcome
from hypothesis import given, settings
from hypothesis import strategies as st
from memory_probe import assert_flat

from ostrel import OSTREL

np = pytest.importorskip("numpy")

ALPHABET = 5
BASE = [0, 1, 2, 3, 4, 4, 1, 0, 2, 2, 3, 1, 0, 0, 4, 2, 1, 3]


def fit_outcome(data, method="bct"):
    """Everything a fit of `data` leaves observable, or its error."""

    def fit():
        model = fitted(ALPHABET, data, max_depth=2, method=method)
        return (model.sample_size, model.node_count, model.get_contexts(), model.predict_proba([]))

    return outcome(fit)


MODEL = OSTREL(ALPHABET, max_depth=2)
MODEL.fit([BASE])


def queried(sequence):
    calls = (MODEL.predict_proba, MODEL.get_suffix, MODEL.get_counts, MODEL.get_distribution)
    return [outcome(lambda call=call: call(sequence)) for call in calls]


class Elements:
    """A plain sequence that the module can only read by iterating `items`, so that it
    reads exactly their elements, errors of iteration included (NumPy's own scalars,
    not Python ints)."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        raise AssertionError("read by iteration only")


elements = Elements


INTEGER_TYPES = [f"{order}{kind}{size}" for order in "<>" for kind in "ui" for size in (1, 2, 4, 8)]
VALUES = {
    "valid": BASE,
    "negative": [*BASE[:5], -1, *BASE[5:]],
    "outside the alphabet": [*BASE[:7], ALPHABET, 1],
    "beyond the word": [0, 1, 2**32 + 1, 2] if WORD_BITS == 32 else [0, 1, 2**62, 2],
    "empty": [],
}


def arrays():
    """(label, array) for integer items of every width, sign and byte order, laid out
    packed, strided and reversed, and for items that are not integers."""
    for dtype in INTEGER_TYPES:
        for name, values in VALUES.items():
            info = np.iinfo(dtype)
            if any(v < info.min or v > info.max for v in values):
                continue
            packed = np.array(values, dtype=dtype)
            yield f"{dtype} {name}", packed
            spread = np.zeros(2 * len(values), dtype=dtype)
            spread[::2] = values
            yield f"{dtype} {name} strided", spread[::2]
            yield f"{dtype} {name} reversed", packed[::-1]
    for dtype in ("?", "f8", "c16", "O", "i4,i4", "datetime64[s]"):
        yield dtype, np.zeros(4, dtype=dtype)


ARRAYS = list(arrays())


# Older NumPy warns when a bool scalar is used as an index, on either path alike.
@pytest.mark.filterwarnings("ignore:In future, it will be an error:DeprecationWarning")
@pytest.mark.parametrize("array_", [a for _, a in ARRAYS], ids=[label for label, _ in ARRAYS])
def test_arrays_read_as_their_elements(array_):
    assert fit_outcome([array_]) == fit_outcome([elements(array_)])
    assert queried(array_) == queried(elements(array_))


BUILTINS = [
    *(array.array(code, BASE) for code in "bBhHiIlLqQ"),
    array.array("q", [0, -1, 2]),
    array.array("d", [0.0, 1.0]),
    bytearray(BASE),
    bytes(BASE),
    memoryview(bytes(BASE)),
    memoryview(array.array("H", BASE))[::2],
    memoryview(bytes(BASE)).cast("c"),
    memoryview(bytes(range(6))).cast("B", (2, 3)),
]


@pytest.mark.parametrize("buffer", BUILTINS, ids=lambda b: f"{type(b).__name__}")
def test_builtin_buffers_read_as_their_elements(buffer):
    assert fit_outcome([buffer]) == fit_outcome([elements(buffer)])
    assert queried(buffer) == queried(elements(buffer))


@pytest.mark.parametrize(
    "data",
    [
        np.array([BASE, BASE[::-1]], dtype="i8"),
        np.array([BASE, BASE[::-1]], dtype=">u2")[:, ::2],
        np.array([BASE, BASE[::-1]], dtype="i4").T,
        np.array([BASE, [*BASE[:-1], -3]], dtype="i8"),
        np.array([BASE, [*BASE[:-1], 7]], dtype="u1"),
        np.zeros((0, 3), dtype="u1"),
        np.zeros((3, 0), dtype="u1"),
        np.array(BASE),  # one dimension: its items are not rows
        np.zeros((2, 2, 2), dtype="u1"),
        np.array([[0.0, 1.0]]),
    ],
    ids=lambda a: f"{a.dtype} {a.shape}",
)
@pytest.mark.parametrize("method", ["bct", "peres_shield"])
def test_arrays_as_data_read_as_their_rows(data, method):
    # Iterating the array gives its rows as arrays, each read as its elements above.
    assert fit_outcome(data, method) == fit_outcome(elements(data), method)


class Reversed(bytearray):
    """A buffer whose iteration disagrees with its memory."""

    def __iter__(self):
        return iter(list(bytes(self))[::-1])


class ShiftedArray(np.ndarray):
    def __iter__(self):
        return (int(v) % ALPHABET for v in np.asarray(self)[::-1])


@pytest.mark.parametrize(
    "sequence",
    [Reversed(BASE), np.array(BASE).view(ShiftedArray), np.ma.masked_array(BASE)],
    ids=type,
)
def test_other_exporters_are_read_by_iteration(sequence):
    assert fit_outcome([sequence]) == fit_outcome([elements(sequence)])
    assert queried(sequence) == queried(elements(sequence))


def test_array_reads_do_not_leak():
    good = np.array(BASE * 50, dtype=">i4")
    bad = np.array([*BASE, -1], dtype="i2")
    matrix = np.array([BASE, BASE])
    model = OSTREL(ALPHABET, max_depth=2)

    def run(count):
        for i in range(count):
            outcome(lambda i=i: model.fit([good] if i % 3 else matrix))
            outcome(lambda: model.fit([bad]))
            outcome(lambda: model.predict_proba(good[:9]))
            outcome(lambda: model.get_counts(bad[:4]))

    assert_flat(run, 300, 3000, [good, bad, matrix, model])


def test_memory_maps_read_as_their_elements(tmp_path):
    np.save(tmp_path / "rows.npy", np.array([BASE, BASE[::-1]], dtype=">u2"))
    mapped = np.load(tmp_path / "rows.npy", mmap_mode="r")
    assert type(mapped) is np.memmap
    for data in (mapped, [mapped[0]], [mapped[1, ::2]]):
        assert fit_outcome(data) == fit_outcome(elements(data))
    assert queried(mapped[0]) == queried(elements(mapped[0]))


SYMBOL_LIKE = st.one_of(
    st.integers(0, 700),  # the interpreter's shared ints below 257, new objects above
    st.builds(Index, st.integers(0, 700)),
    st.sampled_from([-1, 2**70, 1.5, True]),
)


@settings(max_examples=60, deadline=None)
@given(st.lists(SYMBOL_LIKE, max_size=400), st.booleans())
def test_list_rows_read_as_iteration_reads_them(items, as_tuple):
    def counts(row):
        def fit():
            model = fitted(701, [[1, 2], row], max_depth=1, method="bic")
            return model.get_transition_counts([]), model.get_contexts()

        return outcome(fit)

    row = tuple(items) if as_tuple else list(items)
    assert counts(row) == counts(Elements(items))
