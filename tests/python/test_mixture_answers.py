"""The mixture answering as a fitted model does: log_likelihood and its pointwise terms from
any `skip`, row offsets, and top_k, each against its scalar form."""

import copy
import math
import random

import numpy as np
import pytest
from conftest import fitted, outcome

from ostrel import Counts

DEPTH = 3


def mixtures(alphabet=4):
    """A Dirichlet mixture from counts, one of another alpha, and a Kneser-Ney one grown in
    order, all of the same rows."""
    rng = random.Random(7)
    rows = [[rng.randrange(alphabet) for _ in range(rng.choice([2, 40, 200]))] for _ in range(6)]
    counts = Counts(alphabet, DEPTH)
    counts.add(rows)
    kneser_ney = Counts(alphabet, DEPTH).mixture(0.7, discount=0.6, concentration=0.5)
    kneser_ney.update(rows)
    return [counts.mixture(0.9), counts.mixture(0.8, alpha=0.05), kneser_ney]


def scored(mixture, row, skip):
    """A row's terms one by one from their definition: before max_depth symbols, as
    predict_proba predicts the short history; after, as update would score the row."""
    updated = list(copy.copy(mixture).update([row]))
    terms = []
    for t in range(skip, len(row)):
        if t < mixture.max_depth:
            terms.append(math.log(mixture.predict_proba(row[:t])[row[t]]))
        else:
            terms.append(updated[t - mixture.max_depth])
    return terms


@pytest.mark.parametrize("skip", [None, 0, 1, DEPTH, DEPTH + 2])
def test_pointwise_terms_are_the_row_scores_terms(skip):
    rng = random.Random(3)
    rows = [[rng.randrange(4) for _ in range(n)] for n in (0, 1, 2, 3, 4, 9, 30)]
    for mixture in mixtures():
        before = (mixture.log_evidence, mixture.predict_proba([1, 2]))
        terms, offsets = mixture.pointwise_log_likelihood(rows, skip, offsets=True)
        terms, offsets = np.asarray(terms), np.asarray(offsets)
        first = DEPTH if skip is None else skip
        lengths = [max(0, len(row) - first) for row in rows]
        assert offsets.dtype == np.int64 and list(offsets) == [0, *np.cumsum(lengths)]
        assert list(terms) == list(np.asarray(mixture.pointwise_log_likelihood(rows, skip)))
        totals = mixture.log_likelihood(rows, skip=skip)
        for r, row in enumerate(rows):
            mine = list(terms[offsets[r] : offsets[r + 1]])
            assert mine == scored(mixture, row, first)
            assert totals[r] == sum(mine, 0.0) or (not mine and totals[r] == 0.0)
        assert (mixture.log_evidence, mixture.predict_proba([1, 2])) == before


def test_fitted_model_pointwise_offsets_split_its_terms():
    rows = [[0, 1, 2, 1, 0, 1], [], [2, 2], [1, 0, 1, 1, 2, 0, 0]]
    model = fitted(3, rows, max_depth=2)
    for skip in (None, 0, 5):
        terms, offsets = model.pointwise_log_likelihood(rows, skip, offsets=True)
        assert list(np.asarray(terms)) == list(
            np.asarray(model.pointwise_log_likelihood(rows, skip))
        )
        parts = np.split(np.asarray(terms), np.asarray(offsets)[1:-1])
        assert [sum(p, 0.0) for p in parts] == model.log_likelihood(rows, skip)


def expected_top(p, k):
    order = sorted(range(len(p)), key=lambda s: (-p[s], s))[:k]
    return order, [p[s] for s in order]


@pytest.mark.parametrize("alphabet", [4, 40, 3000])
def test_top_k_is_predict_proba_sorted(alphabet):
    rng = random.Random(alphabet)
    histories = [[rng.randrange(alphabet) for _ in range(rng.randrange(6))] for _ in range(60)]
    histories += [[], [0] * DEPTH]
    sparse = Counts(alphabet, DEPTH)
    sparse.add([[rng.randrange(3) for _ in range(50)]])  # most symbols never seen: ties
    empty = Counts(alphabet, DEPTH).mixture(0.9)
    for mixture in [*mixtures(alphabet), sparse.mixture(0.9), empty]:
        for k in (1, 3, alphabet, alphabet + 5):
            symbols, probabilities = mixture.top_k(histories, k)
            assert np.asarray(symbols).dtype == np.int64
            for h, history in enumerate(histories):
                want = expected_top(mixture.predict_proba(history), k)
                got = (list(np.asarray(symbols)[h]), list(np.asarray(probabilities)[h]))
                assert got == want


def test_new_arguments_are_checked_as_the_fitted_models_are():
    mixture = mixtures()[0]
    model = fitted(4, [[0, 1, 2, 3] * 5], max_depth=DEPTH)
    for name, call in [
        ("log_likelihood", lambda f: f([[0, 1]], skip=-1)),
        ("log_likelihood", lambda f: f([[0, 1]], skip="1")),
        ("pointwise_log_likelihood", lambda f: f([[0, 1]], 1, 2)),
        ("pointwise_log_likelihood", lambda f: f([[0, 9]], 0)),
        ("top_k", lambda f: f([[0]], 0)),
        ("top_k", lambda f: f([[0]], 1.5)),
        ("top_k", lambda f: f([[7]], 2)),
    ]:
        theirs = outcome(lambda: call(getattr(model, name)))  # noqa: B023
        mine = outcome(lambda: call(getattr(mixture, name)))  # noqa: B023
        assert mine[0] is theirs[0] and mine[1] == theirs[1].replace("OSTREL.", "Mixture.")


def test_rows_counted_from_their_start_score_and_rank_every_position():
    rng = random.Random(11)
    rows = [[rng.randrange(5) for _ in range(n)] for n in (0, 1, 2, 5, 12)]
    counts = Counts(5, DEPTH, starts=True)
    counts.add([[rng.randrange(5) for _ in range(rng.randrange(9))] for _ in range(30)])
    kneser_ney = Counts(5, DEPTH, starts=True).mixture(0.7, discount=0.5, concentration=1.0)
    kneser_ney.update(rows)
    for mixture in (counts.mixture(0.8, alpha=0.2), kneser_ney):
        terms, offsets = mixture.pointwise_log_likelihood(rows, offsets=True)
        assert list(np.asarray(offsets)) == [0, *np.cumsum([len(row) for row in rows])]
        for r, row in enumerate(rows):
            mine = list(np.asarray(terms)[offsets[r] : offsets[r + 1]])
            assert mine == list(copy.copy(mixture).update([row]))
        histories = [row[:t] for row in rows for t in range(len(row) + 1)]
        symbols, probabilities = mixture.top_k(histories, 3)
        for h, history in enumerate(histories):
            want = expected_top(mixture.predict_proba(history), 3)
            assert (list(np.asarray(symbols)[h]), list(np.asarray(probabilities)[h])) == want


@pytest.mark.parametrize("alphabet", [3, 2**20])  # outcomes summed in a table, or inserted
def test_mixture_of_counts_is_the_mixture_grown_by_its_rows(alphabet):
    rng = random.Random(alphabet)
    rows = [[rng.choice([0, 1, alphabet - 1]) for _ in range(n)] for n in (0, 2, 30, 70)]
    counts = Counts(alphabet, DEPTH)
    counts.add(rows)
    grown = Counts(alphabet, DEPTH).mixture(0.8)
    grown.update(rows)
    built = counts.mixture(0.8)
    assert built.log_evidence == grown.log_evidence == counts.log_evidence(0.8)
    for history in ([], [1], [alphabet - 1, 0, 1], rows[2][:9]):
        assert built.top_k([history], 3) == grown.top_k([history], 3)
