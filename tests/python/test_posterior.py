"""Counts.log_evidence and Counts.top_trees: arguments as the constructor checks them, and
the answers a Bayesian reads: a posterior distribution over trees whose best is bct's."""

import math

import pytest

from ostrel import OSTREL, Counts

ROWS = [[0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1], [1, 1, 0, 1, 0]]


def counts_of(rows, alphabet=2, depth=2):
    counts = Counts(alphabet, depth)
    counts.add(rows)
    return counts


def test_every_tree_of_a_small_space_and_their_posteriors_sum_to_one():
    counts = counts_of(ROWS)
    trees = counts.top_trees(100)
    assert len(trees) == 5  # the complete binary trees of depth at most 2
    assert math.fsum(math.exp(p) for _, p in trees) == pytest.approx(1.0, rel=1e-12)
    assert [p for _, p in trees] == sorted((p for _, p in trees), reverse=True)
    for beta in (0.5, 0.9):
        model = OSTREL(2, 2, "bct", beta=beta)
        model.fit(counts)
        assert counts.top_trees(1, beta)[0][0] == model.get_contexts()


def test_no_data_ranks_trees_by_their_prior_alone():
    counts = Counts(3, 2)
    assert counts.log_evidence() == 0.0
    (root, prior), (split, _) = counts.top_trees(2)
    assert root == [[]] and prior == math.log(0.75)  # the default beta of three symbols
    assert split == [[0], [1], [2]]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda c: c.top_trees(0), ValueError, "k must be at least 1"),
        (lambda c: c.top_trees(-(2**70)), ValueError, "k must be at least 1"),
        (
            lambda c: c.top_trees(1.0),
            TypeError,
            "argument 'k': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda c: c.top_trees(),
            TypeError,
            "Counts.top_trees() missing 1 required positional argument: 'k'",
        ),
        (
            lambda c: c.log_evidence(beta=1.0),
            ValueError,
            "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection",
        ),
        (lambda c: c.top_trees(1, "x"), TypeError, "argument 'beta': must be real number, not str"),
        (
            lambda c: Counts(55, 1).log_evidence(),
            ValueError,
            "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly",
        ),
    ],
)
def test_arguments_are_checked_as_the_constructor_checks_them(call, error, message):
    with pytest.raises(error) as raised:
        call(counts_of(ROWS))
    assert str(raised.value) == message


def test_a_huge_k_asks_for_every_tree():
    assert len(counts_of(ROWS, depth=1).top_trees(2**80)) == 2
    assert Counts(55, 1).log_evidence(0.99) == 0.0
