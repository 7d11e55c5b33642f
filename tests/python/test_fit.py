"""fit(): conversion of the training rows, counting rules, replacement and failure atomicity."""

import operator

import pytest
from conftest import BEYOND_WORD, FITTED_PROPERTIES, Index, check_word_overflow, fitted, snapshot

from ostrel import OSTREL

NOT_FITTED = "fit must be called before querying the model"
METHODS = ["bct", "bic", "peres_shield"]
# Rows whose next symbol depends on the previous two: bct and bic keep contexts two deep.
PATTERN = [[1, 0, 0] * 10, [2, 1, 0, 0] * 6, [0, 1]]


class Rows:
    """A sequence that is not a list, with a controllable length and iteration."""

    def __init__(self, items, length=None, iterate=None):
        self.items, self.length, self.iterate = items, length, iterate

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length() if callable(self.length) else len(self.items)

    def __iter__(self):
        return self.iterate() if self.iterate else iter(self.items)


def raiser(error):
    def produce():
        raise error

    return produce


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param([], [0, 0, 0], id="no-rows"),
        pytest.param([[], []], [0, 0, 0], id="empty-rows"),
        pytest.param([(0, 1, 1), [2, 0]], [2, 2, 1], id="tuple-and-list"),
        pytest.param(((0,), [1], range(3)), [2, 2, 1], id="tuple-of-rows-with-range"),
        pytest.param([b"\x00\x01\x01", bytearray(b"\x02\x00")], [2, 2, 1], id="bytes"),
        pytest.param([[True, False, True], [2, Index(lambda: 0)]], [2, 2, 1], id="bool-index"),
        pytest.param(Rows([Rows([0, 1, 2, 1, 0])]), [2, 2, 1], id="custom-sequences"),
    ],
)
def test_accepted_rows_count_their_symbols(data, expected):
    model = fitted(3, data, max_depth=0)
    assert model.get_transition_counts([]) == expected
    assert model.sample_size == sum(expected)


@pytest.mark.parametrize("trailing", [0, 20], ids=["rewritten-last", "rewritten-mid-block"])
def test_a_row_rewritten_while_it_converts_counts_what_iteration_sees(trailing):
    """The ints the rewrite frees come back at the same addresses, holding other values:
    those met before the rewrite, and those after it that were not converted yet."""
    lead = [0] * 300  # long enough that the conversion remembers the ints it met
    before = [300 + k % 4 for k in range(40)]  # new int objects, not the shared small ones
    tail = [700 + k for k in range(trailing)]
    row = lead + before
    after = []

    def rewrite():
        row.clear()
        del before[:]
        del tail[:]
        after.extend(500 + k % 4 for k in range(40))
        row.extend(lead + [0] * 41 + after)
        return 7

    row.append(Index(rewrite))
    row.extend(tail)
    expected = lead + [300 + k % 4 for k in range(40)] + [7]
    model = fitted(800, [row], max_depth=2, method="bic")
    assert snapshot(model) == snapshot(fitted(800, [expected + after], max_depth=2, method="bic"))


def _generator():
    yield [0]


@pytest.mark.parametrize(
    "make_data, inner",
    [
        (lambda: "0101", "Can't extract `str` to `Vec`"),
        (lambda: [[0, 1], "01"], "Can't extract `str` to `Vec`"),
        (_generator, "'generator' object cannot be converted to 'Sequence'"),
        (lambda: [[0], (s for s in [0])], "'generator' object cannot be converted to 'Sequence'"),
        (lambda: {0, 1}, "'set' object cannot be converted to 'Sequence'"),
        (lambda: [{0, 1}], "'set' object cannot be converted to 'Sequence'"),
        (lambda: {0: [0]}, "'dict' object cannot be converted to 'Sequence'"),
        (lambda: [[0], {0: 1}], "'dict' object cannot be converted to 'Sequence'"),
        (lambda: [[0], 3], "'int' object cannot be converted to 'Sequence'"),
        (lambda: [iter([0])], "'list_iterator' object cannot be converted to 'Sequence'"),
    ],
)
def test_data_and_rows_must_be_non_string_sequences(make_data, inner):
    with pytest.raises(TypeError) as excinfo:
        OSTREL(3).fit(make_data())
    assert str(excinfo.value) == f"argument 'data': {inner}"


@pytest.mark.parametrize("symbol", [1.0, "1", None, [1], -1, -(2**70), *BEYOND_WORD, 2**100])
def test_symbol_conversion_errors(symbol):
    error = OverflowError if isinstance(symbol, int) else TypeError
    with pytest.raises(error) as excinfo:
        OSTREL(3).fit(data=[[0, 1], [0, symbol]])
    if error is TypeError:  # prefixed, with the interpreter's own message
        with pytest.raises(TypeError) as expected:
            operator.index(symbol)
        assert str(excinfo.value) == f"argument 'data': {expected.value}"
    else:
        check_word_overflow(excinfo.value, symbol)


BOOM_WITH_CAUSE = TypeError("boom")
BOOM_WITH_CAUSE.__cause__ = KeyError("root cause")


@pytest.mark.parametrize(
    "make_data",
    [
        pytest.param(lambda boom: [[0, Index(boom)]], id="symbol-index"),
        pytest.param(lambda boom: [[0], Rows([0], iterate=boom)], id="row-iter"),
        pytest.param(lambda boom: Rows([[0]], iterate=boom), id="data-iter"),
        pytest.param(lambda boom: [Rows([0], iterate=lambda: _yield_then(boom))], id="row-next"),
    ],
)
@pytest.mark.parametrize("error", [BOOM_WITH_CAUSE, ZeroDivisionError("zero")])
def test_errors_from_the_callers_objects_pass_through(make_data, error):
    with pytest.raises(type(error)) as excinfo:
        OSTREL(3).fit(make_data(raiser(error)))
    if isinstance(error, TypeError):
        assert str(excinfo.value) == "argument 'data': boom"
        assert excinfo.value.__cause__ is error.__cause__
    else:
        assert excinfo.value is error


def _yield_then(boom):
    yield 0
    boom()


@pytest.mark.parametrize(
    "length",
    [raiser(ValueError("no length")), raiser(TypeError("no length")), lambda: 2**62, lambda: 0],
    ids=["raises-value-error", "raises-type-error", "absurd", "too-small"],
)
def test_reported_length_is_only_a_hint(length):
    data = Rows([Rows([0, 1, 1, 0, 2], length=length), [1, 0]], length=length)
    assert fitted(3, data, max_depth=1).get_transition_counts([]) == [2, 2, 1]


@pytest.mark.parametrize(
    "alphabet, max_depth, data, message",
    [
        (3, 1, [[0, 1, 1], [0, 1, 5, 4], [7]], "symbol 5 at data[1][2] is outside 0..3"),
        (3, 2, [[0, 5]], "symbol 5 at data[0][1] is outside 0..3"),
        (3, 5, [[0, 1, 2] * 3, [0, 3], [9]], "symbol 3 at data[1][1] is outside 0..3"),
        (2, 0, [[1], [], [2**32 - 1]], "symbol 4294967295 at data[2][0] is outside 0..2"),
    ],
)
def test_first_out_of_range_symbol_by_row_then_position(alphabet, max_depth, data, message):
    with pytest.raises(ValueError) as excinfo:
        OSTREL(alphabet, max_depth=max_depth).fit(data)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "bad, error",
    [([0, 1.5], TypeError), ("ab", TypeError), (5, TypeError), ([0, -1], OverflowError)],
)
def test_bad_object_beats_earlier_out_of_range_symbol(bad, error):
    with pytest.raises(error):
        OSTREL(3).fit([[9, 9], [0, 1], bad])


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "max_depth, data, expected",
    [
        pytest.param(1, [[0, 1], [1, 0]], [1, 1], id="rows-not-joined"),
        pytest.param(2, [[0, 1]], [0, 0], id="row-no-longer-than-depth"),
        pytest.param(2, [[0, 1], [1, 1, 0], [0], [0, 0, 1, 1]], [1, 2], id="mixed-lengths"),
        pytest.param(0, [[0, 1], [1, 0, 1]], [2, 3], id="depth-zero-counts-all"),
    ],
)
def test_only_positions_after_a_full_context_in_their_own_row_count(
    method, max_depth, data, expected
):
    model = fitted(2, data, max_depth=max_depth, method=method)
    assert model.get_transition_counts([]) == expected
    assert model.sample_size == sum(expected)


@pytest.mark.parametrize("method", METHODS)
def test_second_fit_replaces_the_first(method):
    model = fitted(3, PATTERN, max_depth=2, method=method)
    model.fit([[2, 2, 0, 2, 2, 0, 1]])
    assert snapshot(model) == snapshot(
        fitted(3, [[2, 2, 0, 2, 2, 0, 1]], max_depth=2, method=method)
    )


FAILING_DATA = [
    pytest.param("01", TypeError, id="str-data"),
    pytest.param([[0], {1}], TypeError, id="set-row"),
    pytest.param([[0, 1.5]], TypeError, id="float-symbol"),
    pytest.param([[0, -1]], OverflowError, id="negative-symbol"),
    pytest.param([[0, 2**64]], OverflowError, id="huge-symbol"),
    pytest.param([[0, 1, 0, 0, 3]], ValueError, id="out-of-range"),
    pytest.param([[0, Index(raiser(ZeroDivisionError()))]], ZeroDivisionError, id="callers-error"),
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("data, error", FAILING_DATA)
def test_failed_fit_keeps_previous_model(method, data, error):
    model = fitted(3, PATTERN, max_depth=2, method=method)
    before = snapshot(model)
    with pytest.raises(error):
        model.fit(data)
    assert snapshot(model) == before
    unfitted = OSTREL(3, method=method)
    with pytest.raises(error):
        unfitted.fit(data)
    with pytest.raises(RuntimeError, match=NOT_FITTED):
        unfitted.get_contexts()


REENTRY = [
    pytest.param(lambda m: m.fit([[0]]), "Already borrowed", id="fit"),
    pytest.param(lambda m: m.sample_size, "Already mutably borrowed", id="fitted-property"),
    pytest.param(lambda m: m.max_depth, "Already mutably borrowed", id="config-property"),
    pytest.param(lambda m: m.get_counts([]), "Already mutably borrowed", id="get_counts"),
    pytest.param(lambda m: m.predict_proba([0]), "Already mutably borrowed", id="predict_proba"),
    pytest.param(lambda m: m.get_contexts(), "Already mutably borrowed", id="get_contexts"),
]


@pytest.mark.parametrize("reenter, message", REENTRY)
def test_reentry_during_fit_is_refused(reenter, message):
    model = fitted(3, PATTERN, max_depth=2)
    before = snapshot(model)
    with pytest.raises(RuntimeError) as excinfo:  # the refusal propagates out of fit
        model.fit([[0, 1], [0, Index(lambda: reenter(model))]])
    assert str(excinfo.value) == message
    assert snapshot(model) == before
    seen = []

    def handled():
        try:
            reenter(model)
        except RuntimeError as error:
            seen.append(str(error))
        return 1

    model.fit([[0, Index(handled), 0, 0, 1, 0]])  # the caller handles it: fit goes on
    assert seen == [message]
    assert snapshot(model) == snapshot(fitted(3, [[0, 1, 0, 0, 1, 0]], max_depth=2))


@pytest.mark.parametrize("name", FITTED_PROPERTIES)
def test_fitted_state_properties_need_a_fit(name):
    model = OSTREL(4)
    with pytest.raises(RuntimeError) as excinfo:
        getattr(model, name)
    assert str(excinfo.value) == NOT_FITTED
    assert model.alphabet_size == 4


@pytest.mark.parametrize(
    "max_depth, lengths, expected",
    [
        (5, [], 0),
        (5, [20], 0),  # n = 15
        (5, [21], 1),  # n = 16
        (5, [13, 13, 2, 5], 1),  # 8 + 8: short rows add nothing, never a negative amount
        (5, [13, 12, 4], 0),  # n = 15
        (5, [1623], 1),  # n = 1618
        (5, [1624], 2),  # n = 1619
        (1, [1624], 1),  # never above max_depth
        (0, [100], 0),
    ],
)
def test_peres_shield_stored_depth_follows_sample_size(max_depth, lengths, expected):
    data = [[(i // 3) % 2 for i in range(length)] for length in lengths]
    model = fitted(2, data, max_depth=max_depth, method="peres_shield")
    assert model.effective_max_depth == expected
    assert model.sample_size == sum(max(0, length - max_depth) for length in lengths)
    assert all(len(c) <= expected for c in model.get_contexts())


@pytest.mark.parametrize("method, depth", [("bct", 3), ("bic", 3), ("peres_shield", 0)])
def test_empty_data_fits_the_root_alone(method, depth):
    model = fitted(4, [], max_depth=3, method=method)
    assert (model.sample_size, model.node_count, model.context_count) == (0, 1, 1)
    assert model.effective_max_depth == depth
    assert model.get_contexts() == [[]]
    assert model.get_distribution([]) == [0.25] * 4
    assert model.predict_proba([3, 2, 1]) == [0.25] * 4
