"""The three tree selectors, observed through fit(): worked cases, spellings, large alphabets."""

import math
import random

import pytest
from conftest import fitted

ALTERNATING = [0, 1] * 5


def context_counts(data, alphabet, max_depth):
    """Next-symbol counts after every context of up to max_depth symbols, oldest first."""
    counts = {}
    for row in data:
        for t in range(max_depth, len(row)):
            for d in range(max_depth + 1):
                counts.setdefault(tuple(row[t - d : t]), [0] * alphabet)[row[t]] += 1
    return counts


@pytest.mark.parametrize(
    "alphabet, data, options, contexts, nodes",
    [
        pytest.param(2, [ALTERNATING], {"beta": 0.5}, [[0], [1]], 3, id="bct"),
        pytest.param(2, [ALTERNATING], {"method": "bic"}, [[0], [1]], 3, id="bic"),
        pytest.param(3, [ALTERNATING], {"method": "bic"}, [[0], [1], [2]], 4, id="bic-expands"),
        pytest.param(2, [[0, 1] * 128 + [0]], {"method": "ps"}, [[0], [1]], 3, id="ps-257"),
        pytest.param(2, [[0, 1] * 128], {"method": "ps"}, [[]], 1, id="ps-256"),
        pytest.param(3, [([0, 1, 0, 2] * 101)[:401]], {"method": "ps"}, [[], [0]], 2, id="ps-0102"),
    ],
)
def test_worked_examples(alphabet, data, options, contexts, nodes):
    model = fitted(alphabet, data, max_depth=1, **options)
    assert model.get_contexts() == contexts
    assert [model.node_count, model.context_count, model.effective_max_depth] == [
        nodes,
        len(contexts),
        1,
    ]
    counts = context_counts(data, alphabet, 1)
    for context in contexts:
        expected = counts.get(tuple(context), [0] * alphabet)
        assert model.get_transition_counts(context) == expected


def test_peres_shield_keeps_only_flagged_children():
    model = fitted(3, [([0, 1, 0, 2] * 101)[:401]], max_depth=1, method="peres_shield")
    assert model.get_suffix([2, 1]) == []
    assert model.get_suffix([1, 0]) == [0]
    with pytest.raises(KeyError):
        model.get_counts([1])


@pytest.mark.parametrize(
    "penalty, split", [(1.0, True), (5.6, True), (5.7, False), (1e6, False), (1e-300, True)]
)
def test_bic_splits_only_while_children_score_higher(penalty, split):
    node_penalty = math.log(9.0) * ((penalty * 0.5) * 1)
    root_leaf = (0.0 + math.log(4 / 9) * 4 + math.log(5 / 9) * 5) - node_penalty
    assert (-node_penalty - node_penalty > root_leaf) is split  # 0 log-likelihood per child
    model = fitted(2, [ALTERNATING], max_depth=1, method="bic", penalty=penalty)
    assert model.get_contexts() == ([[0], [1]] if split else [[]])
    assert model.node_count == (3 if split else 1)


CANONICAL_ROW = [int(c) for c in "01111111001001111111110000111000111111011"]


@pytest.mark.parametrize(
    "spelling, canonical",
    [
        (" BCT\t", "bct"),
        ("Bct", "bct"),
        ("BIC", "bic"),
        ("\u3000bic\n", "bic"),
        ("peres-shield", "peres_shield"),
        ("Peres_Shield", "peres_shield"),
        ("PS", "peres_shield"),
        ("ps", "peres_shield"),
    ],
)
def test_every_method_spelling_fits_its_selector(spelling, canonical):
    def answers(method):
        model = fitted(2, [CANONICAL_ROW], max_depth=2, method=method)
        contexts = model.get_contexts()
        return [
            model.method,
            model.node_count,
            model.effective_max_depth,
            contexts,
            [model.get_distribution(c) for c in contexts],
            [model.predict_proba(h) for h in ([], [1], [0, 0], [1, 0, 1])],
        ]

    results = {method: answers(method) for method in ["bct", "bic", "peres_shield"]}
    # On this row the three selectors choose three different models.
    assert len({str(result) for result in results.values()}) == 3
    assert answers(spelling) == results[canonical]


@pytest.mark.parametrize(
    "method, options, shape",
    [
        ("bct", {"beta": 0.9}, "first-order"),
        ("bic", {"penalty": 0.001}, "first-order"),
        # 299 more leaves at a penalty of 149.5 ln(2039) each outweigh any gain in likelihood.
        ("bic", {}, "root"),
        # A context deviates from its ancestors by at most its own count.
        ("peres_shield", {}, "frequent"),
    ],
)
@pytest.mark.parametrize("alphabet, as_row", [(300, list), (256, bytes)])
def test_large_alphabets(method, options, shape, alphabet, as_row):
    rng = random.Random(alphabet)
    cycle = [0, alphabet - 1, 150]  # a first-order source: mostly 0, last, 150, 0, ...
    data = []
    for length in [2000, 40, 1]:
        row = [rng.randrange(alphabet)]
        while len(row) < length:
            likely = cycle[(cycle.index(row[-1]) + 1) % 3] if row[-1] in cycle else 0
            row.append(likely if rng.random() < 0.9 else rng.randrange(alphabet))
        data.append(as_row(row))
    model = fitted(alphabet, data, max_depth=2, method=method, **options)
    contexts = model.get_contexts()
    if shape == "first-order":
        assert contexts == [[s] for s in range(alphabet)]
        assert model.node_count == alphabet + 1
    elif shape == "root":
        assert (contexts, model.node_count) == ([[]], 1)
    else:
        assert contexts[0] == [] and len(contexts) > 1
        assert all(model.get_counts(c) >= model.sample_size**0.75 for c in contexts[1:])
    counts = context_counts(data, alphabet, 2)
    for context in contexts:
        expected = counts.get(tuple(context), [0] * alphabet)
        assert model.get_transition_counts(context) == expected
        denominator = float(sum(expected)) + alphabet * 0.5
        assert model.get_distribution(context) == [(c + 0.5) / denominator for c in expected]
    for history in ([], [5], [alphabet - 1, 17], list(data[1][:7])):
        assert model.predict_proba(history) == model.get_distribution(model.get_suffix(history))
