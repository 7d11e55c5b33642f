"""Counts read by context, any tree as a model, and per-tree statistics: what the
binding adds (arrays, conversion, errors, atomicity) and the exact contracts."""

import itertools
import math
import pickle
from pathlib import Path

import numpy as np
import pytest
from conftest import snapshot

from ostrel import OSTREL, Counts

SP500 = Path(__file__).resolve().parents[2] / "examples" / "data" / "SP500.txt"


def sp500():
    return [[int(s) for s in SP500.read_text().split()]]


def counts_of(rows, alphabet, depth):
    counts = Counts(alphabet, depth)
    counts.add(rows)
    return counts


ROWS = [[0, 1, 2, 0, 1, 1, 2, 0, 0, 1, 2, 2, 1, 0, 1, 2, 0, 1], [2, 2, 1, 0, 1]]


@pytest.mark.parametrize(("alphabet", "dtype"), [(3, np.uint8), (300, np.uint16)])
def test_context_counts_are_arrays_in_the_context_lists_order(alphabet, dtype):
    counts = counts_of(ROWS, alphabet, 3)
    for depth in range(4):
        contexts, table = (np.asarray(a) for a in counts.context_counts(depth))
        assert contexts.dtype == dtype and table.dtype == np.uint64
        assert contexts.shape == (len(table), depth) and table.shape[1] == alphabet
        assert table.sum() == counts.sample_size
        if alphabet != 3:
            continue
        # The full order-depth chain lists the same contexts in the same order.
        model = OSTREL(alphabet, 3)
        model.fit_tree(counts, [list(c) for c in itertools.product(range(3), repeat=depth)])
        seen = [c for c in model.get_contexts() if model.get_counts(c) > 0]
        assert contexts.tolist() == seen


def test_context_counts_and_max_log_likelihood_name_depth():
    counts = counts_of(ROWS, 3, 2)
    with pytest.raises(ValueError, match=r"^depth 3 is above the counts' max_depth 2$"):
        counts.context_counts(3)
    with pytest.raises(ValueError, match=r"^depth 3 is above the counts' max_depth 2$"):
        counts.max_log_likelihood(3)
    with pytest.raises(TypeError, match=r"^argument 'depth': "):
        counts.context_counts(1.0)
    with pytest.raises(OverflowError):
        counts.max_log_likelihood(-1)


def test_max_log_likelihood_is_exact_and_the_full_trees_summary():
    rows = sp500()
    counts = counts_of(rows, 7, 4)
    for depth in (0, 2, 4):
        _, table = counts.context_counts(depth)
        terms = [c * math.log(c / sum(row)) for row in table.tolist() for c in row if c]
        reference = math.fsum(terms)
        got = counts.max_log_likelihood(depth)
        assert abs(got - reference) <= 1e-12 * abs(reference)
        model = OSTREL(7, 4)
        model.fit_tree(counts, [list(c) for c in itertools.product(range(7), repeat=depth)])
        assert got == model.summary()["log_likelihood"]
    assert counts.max_log_likelihood() == counts.max_log_likelihood(4)


@pytest.mark.parametrize(("method", "options"), [("bct", {}), ("bic", {"penalty": 0.4})])
def test_fit_tree_of_the_selected_tree_pickles_as_fit(method, options):
    fitted = OSTREL(3, 3, method, **options)
    fitted.fit(ROWS)
    given = OSTREL(3, 3, method, **options)
    given.fit_tree(counts_of(ROWS, 3, 3), fitted.get_contexts())
    assert pickle.dumps(given) == pickle.dumps(fitted)


def test_fit_tree_under_peres_shield_stores_its_depth():
    model = OSTREL(3, 2, "peres_shield")
    model.fit_tree(ROWS, [[0], [1], [0, 2], [1, 2], [2, 2]])
    assert model.effective_max_depth == 2
    assert snapshot(pickle.loads(pickle.dumps(model))) == snapshot(model)


def test_a_wrong_tree_names_its_context_and_changes_nothing():
    model = OSTREL(3, 2)
    model.fit(ROWS)
    before = snapshot(model)
    message = (
        r"^contexts\[1\] = \[1\] lies below the node \[\], which is not a context and has no "
        r"child for symbol 2: such a node needs all 3 children$"
    )
    with pytest.raises(ValueError, match=message):
        model.fit_tree(ROWS, [[0], [1]])
    with pytest.raises(
        ValueError, match=r"^contexts\[0\] = \[0, 0, 0\] is longer than max_depth 2$"
    ):
        model.fit_tree(ROWS, [[0, 0, 0]])
    with pytest.raises(TypeError, match=r"^argument 'contexts': "):
        model.fit_tree(ROWS, "012")
    with pytest.raises(ValueError, match=r"^symbol 3 at data\[0\]\[1\] is outside 0..3$"):
        model.fit_tree([[0, 3]], [[]])
    with pytest.raises(ValueError, match=r"^data holds counts of max_depth 1; the model's is 2$"):
        model.fit_tree(Counts(3, 1), [[]])
    assert snapshot(model) == before


def test_tree_statistics_of_the_ranked_trees():
    counts = counts_of(ROWS, 3, 2)
    trees = counts.top_trees(3, beta=0.7)
    for contexts, log_posterior in trees:
        stats = counts.tree_statistics(contexts, beta=0.7)
        assert abs(stats["log_posterior"] - log_posterior) <= 1e-12 * abs(log_posterior) + 1e-15
        model = OSTREL(3, 2)
        model.fit_tree(counts, contexts)
        summary = model.summary()
        assert {k: stats[k] for k in ("log_likelihood", "parameters", "aic", "bic")} == {
            k: summary[k] for k in ("log_likelihood", "parameters", "aic", "bic")
        }
        assert stats["contexts"] == len(contexts)
        assert stats["depth"] == max(map(len, contexts))
        assert stats["log_prior"] <= 0.0
    assert counts.tree_statistics(trees[0][0], beta=0.7)["log_posterior"] == trees[0][1]
    with pytest.raises(ValueError, match=r"^beta must be"):
        counts.tree_statistics([[]], beta=1.5)
