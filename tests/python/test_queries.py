"""Query methods: argument handling, check order, exact answers, backoff and consistency."""

import operator
import random

import pytest
from conftest import BEYOND_WORD, Index, check_word_overflow, training_rows
from hypothesis import given, settings
from hypothesis import strategies as st

from ostrel import OSTREL

NOT_FITTED = "fit must be called before querying the model"
NOT_IN_TREE = "context is not in the fitted tree; use get_suffix(sequence) for model backoff"
QUERIES = ["get_counts", "get_transition_counts", "get_distribution", "get_suffix", "predict_proba"]
EXACT_QUERIES = QUERIES[:3]
METHODS = ["bct", "bic", "peres_shield"]
# After a 1 comes a 0; after 0 the symbol before decides. Fitted with max_depth 2 the
# contexts are [1], [0, 0] and [1, 0], and the root and [0] are internal nodes.
ORDER_TWO_ROW = [1, 0, 0] * 20


def index_error(value):
    """The interpreter's own message for a failed index conversion."""
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(value)


def argument_name(query):
    return "history" if query == "predict_proba" else "sequence"


def counts_after(data, max_depth, alphabet, context):
    """Next-symbol counts after `context`, over the positions that fit() counts."""
    counts = [0] * alphabet
    for row in data:
        for t in range(max_depth, len(row)):
            if list(row[t - len(context) : t]) == list(context):
                counts[row[t]] += 1
    return counts


def jeffreys(counts):
    denominator = float(sum(counts)) + float(len(counts)) * 0.5
    return [(float(c) + 0.5) / denominator for c in counts]


@pytest.fixture
def order_two():
    model = OSTREL(2, max_depth=2, method="bic")
    model.fit([ORDER_TWO_ROW])
    return model


def test_root_answers_are_exact():
    model = OSTREL(2, max_depth=1)
    model.fit([[0, 1, 1]])
    assert model.get_counts([]) == 2 == model.sample_size
    assert model.get_transition_counts([]) == [0, 2]
    assert model.get_distribution([]) == [0.5 / 3, 2.5 / 3]
    # Two observations cannot pay for a split: the root alone is the context.
    assert model.get_contexts() == [[]]
    assert model.context_count == 1
    assert model.get_suffix([1, 0]) == []
    assert model.predict_proba([1, 0]) == [0.5 / 3, 2.5 / 3]
    with pytest.raises(KeyError) as excinfo:
        model.get_counts([0])
    assert excinfo.value.args == (NOT_IN_TREE,)


@pytest.mark.parametrize("fit_first", [True, False], ids=["fitted", "unfitted"])
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize(
    "argument, inner",
    [
        ("01", "Can't extract `str` to `Vec`"),
        (iter([0]), "'list_iterator' object cannot be converted to 'Sequence'"),
        ({0}, "'set' object cannot be converted to 'Sequence'"),
        ({0: 0}, "'dict' object cannot be converted to 'Sequence'"),
        (0, "'int' object cannot be converted to 'Sequence'"),
        ([7, 1.0], index_error(1.0)),
        ([None], index_error(None)),
    ],
)
def test_conversion_errors_come_first_and_name_the_argument(fit_first, query, argument, inner):
    model = OSTREL(4)
    if fit_first:
        model.fit([[0, 1, 2, 3]])
    with pytest.raises(TypeError) as excinfo:
        getattr(model, query)(argument)
    assert str(excinfo.value) == f"argument '{argument_name(query)}': {inner}"


@pytest.mark.parametrize("query", QUERIES)
def test_caller_type_errors_are_prefixed_and_overflow_is_not(query):
    cause = KeyError("cause")

    def type_error():
        raise TypeError("boom") from cause

    with pytest.raises(TypeError) as excinfo:
        getattr(OSTREL(4), query)([0, Index(type_error)])
    assert str(excinfo.value) == f"argument '{argument_name(query)}': boom"
    assert excinfo.value.__cause__ is cause
    for symbol in [-1, *BEYOND_WORD]:
        with pytest.raises(OverflowError) as excinfo:
            getattr(OSTREL(4), query)([9, symbol])
        check_word_overflow(excinfo.value, symbol)


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("fit_first", [True, False], ids=["fitted", "unfitted"])
def test_symbol_range_is_checked_before_fit_and_tree(query, fit_first):
    model = OSTREL(4, max_depth=1)
    if fit_first:
        model.fit([[0, 1, 2, 3]])
    with pytest.raises(ValueError) as excinfo:
        getattr(model, query)([3, 7, 2, 9] + [0] * 10)
    assert str(excinfo.value) == "symbol 7 at sequence[1] is outside 0..4"


@pytest.mark.parametrize("query", [*QUERIES, "get_contexts"])
def test_queries_need_a_fit(query):
    arguments = () if query == "get_contexts" else ([3, 0],)
    with pytest.raises(RuntimeError) as excinfo:
        getattr(OSTREL(4), query)(*arguments)
    assert str(excinfo.value) == NOT_FITTED


@pytest.mark.parametrize("query", EXACT_QUERIES)
@pytest.mark.parametrize(
    "sequence",
    [[0, 1], [1, 1], [0, 0, 0], [1, 1, 0], [0] * 40],
    ids=["edge-missing-below-leaf", "edge-missing", "too-long", "too-long-tail-is-context", "long"],
)
def test_exact_queries_refuse_contexts_outside_the_tree(order_two, query, sequence):
    with pytest.raises(KeyError) as excinfo:
        getattr(order_two, query)(sequence)
    assert excinfo.value.args == (NOT_IN_TREE,)


@pytest.mark.parametrize(
    "history, suffix",
    [
        ([], []),
        ([0], [0]),  # too short to reach a context: the internal node aggregates it
        ([1], [1]),
        ([0, 1], [1]),
        ([1, 1, 0, 0], [0, 0]),
        ([1, 1, 1, 0], [1, 0]),
        ([0] * 40 + [1], [1]),
    ],
)
def test_backoff_picks_the_deepest_context_on_the_path(order_two, history, suffix):
    assert order_two.get_suffix(history) == suffix
    counts = counts_after([ORDER_TWO_ROW], 2, 2, suffix)
    assert order_two.predict_proba(history) == jeffreys(counts)
    assert order_two.get_distribution(suffix) == jeffreys(counts)
    assert order_two.get_transition_counts(suffix) == counts
    assert order_two.get_counts(suffix) == sum(counts)


def test_contexts_are_sorted_by_length_then_symbols(order_two):
    # Node order is [1, 0], [0, 0], [1] (order of first occurrence); sorting reorders it.
    assert order_two.get_contexts() == [[1], [0, 0], [1, 0]]
    assert order_two.context_count == 3
    assert order_two.node_count == 5


@pytest.mark.parametrize("alphabet", [3, 4])
def test_zero_count_node_from_expansion_is_uniform(alphabet):
    model = OSTREL(alphabet, max_depth=1, method="bic")
    model.fit([[0, 1] * 20 + [0]])
    unseen = [alphabet - 1]
    assert model.get_contexts() == [[s] for s in range(alphabet)]
    assert model.get_counts(unseen) == 0
    assert model.get_transition_counts(unseen) == [0] * alphabet
    assert model.get_distribution(unseen) == [1 / alphabet] * alphabet
    assert model.predict_proba([0, alphabet - 1]) == [1 / alphabet] * alphabet


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize(
    "same, sequence",
    [((), []), (range(1, 2), [1]), ((1, 0), [1, 0]), (b"\x01\x00", [1, 0]), (bytearray(2), [0, 0])],
)
def test_any_sequence_type_gives_the_same_answer(order_two, query, same, sequence):
    assert getattr(order_two, query)(same) == getattr(order_two, query)(sequence)


@pytest.mark.parametrize(
    "inner",
    [
        lambda m: m.get_counts([1]) - 18,  # 19 counted positions follow a 1
        lambda m: m.sample_size - 57,
        lambda m: len(m.get_contexts()) - 2,
        lambda m: m.get_suffix([0, 1])[0],
    ],
)
@pytest.mark.parametrize("query", QUERIES)
def test_nested_queries_share_the_borrow(order_two, query, inner):
    method = getattr(order_two, query)
    assert method([Index(lambda: inner(order_two)), 0]) == method([1, 0])


def test_fit_inside_a_query_is_refused(order_two):
    with pytest.raises(RuntimeError) as excinfo:
        order_two.get_suffix([Index(lambda: order_two.fit([[0]]) or 0)])
    assert str(excinfo.value) == "Already borrowed"
    assert order_two.get_contexts() == [[1], [0, 0], [1, 0]]


@settings(max_examples=80, deadline=None, derandomize=True)
@given(
    seed=st.integers(0, 2**32 - 1),
    alphabet=st.integers(2, 5),
    max_depth=st.integers(0, 4),
    method=st.sampled_from(METHODS),
)
def test_fitted_model_is_consistent(seed, alphabet, max_depth, method):
    rng = random.Random(seed)
    data = training_rows(rng, alphabet)
    model = OSTREL(alphabet, max_depth=max_depth, method=method)
    model.fit(data)

    assert model.sample_size == sum(max(0, len(row) - max_depth) for row in data)
    assert model.get_counts([]) == model.sample_size
    assert model.effective_max_depth <= max_depth
    contexts = model.get_contexts()
    assert contexts == sorted(contexts, key=lambda c: (len(c), c))
    assert len(contexts) == model.context_count <= model.node_count
    for context in contexts:
        assert len(context) <= model.effective_max_depth
        counts = model.get_transition_counts(context)
        assert counts == counts_after(data, max_depth, alphabet, context)
        assert sum(counts) == model.get_counts(context)
        distribution = model.get_distribution(context)
        assert distribution == jeffreys(counts)
        assert abs(sum(distribution) - 1.0) <= 1e-12

    for _ in range(12):
        history = [rng.randrange(alphabet) for _ in range(rng.randint(0, 6))]
        suffix = model.get_suffix(history)
        assert suffix == history[len(history) - len(suffix) :]
        probabilities = model.predict_proba(history)
        assert probabilities == model.get_distribution(suffix)
        assert abs(sum(probabilities) - 1.0) <= 1e-12
        if method != "peres_shield" and len(history) >= model.effective_max_depth:
            # Under bct and bic the contexts are the leaves of a complete tree.
            assert suffix in contexts
