"""The mixture's estimators through the module: the keywords of Counts.mixture, log_evidence
and top_trees, their conversions and refusals, the hyperparameters a mixture gives back,
Kneser-Ney mixtures grown in order and pickled as their rows, and the hyperparameter search."""

import copy
import math
import pickle
import random

import numpy as np
import pytest
from conftest import outcome

import ostrel
from ostrel import Counts

ROWS = [[rng.randrange(4) for _ in range(120)] for rng in map(random.Random, range(3))]
DEPTH = 3
TABLE = [[0.4, 0.6, 0.8], [0.5, 0.7, 0.85], [0.55, 0.75, 0.9], [0.6, 0.8, 0.95]]


def counts_of(rows, alphabet=4, depth=DEPTH):
    counts = Counts(alphabet, depth)
    counts.add(rows)
    return counts


def kneser_ney(rows=ROWS, **keywords):
    mixture = Counts(4, DEPTH).mixture(0.6, **keywords)
    mixture.update(rows)
    return mixture


def test_dirichlet_alpha_is_one_estimate_for_evidence_trees_and_mixture():
    counts = counts_of(ROWS)
    for alpha in (None, 0.5):
        assert counts.log_evidence(0.7, alpha=alpha) == counts.log_evidence(0.7)
        assert counts.top_trees(3, 0.7, alpha=alpha) == counts.top_trees(3, 0.7)
    mixture = counts.mixture(0.7, alpha=0.05)
    assert mixture.log_evidence == counts.log_evidence(0.7, alpha=0.05) != counts.log_evidence(0.7)
    assert mixture.estimator == "dirichlet"
    assert mixture.hyperparameters == {"beta": 0.7, "alpha": 0.05}
    (best, log_posterior), *_ = counts.top_trees(2, 0.7, alpha=0.05)
    assert counts.tree_statistics(best, 0.7)["contexts"] == len(best)
    assert log_posterior <= 0.0
    # The default mixture, its repr and its pickle are what they were.
    assert repr(counts.mixture(0.7)).startswith(
        "<ostrel.Mixture alphabet_size=4 max_depth=3 beta=0.7 s"
    )
    assert "alpha=0.05" in repr(mixture)
    restored = pickle.loads(pickle.dumps(mixture))
    assert restored.hyperparameters == mixture.hyperparameters
    assert restored.predict_proba([1, 2, 3]) == mixture.predict_proba([1, 2, 3])


def test_kneser_ney_evidence_is_the_sum_of_its_updates_and_predictions_are_distributions():
    mixture = Counts(4, DEPTH).mixture(0.6, discount=TABLE, concentration=0.5)
    scores = mixture.update(ROWS)
    assert mixture.estimator == "kneser_ney"
    assert sum(scores.tolist()) == mixture.log_evidence
    p = mixture.predict_proba(ROWS[0][-3:])
    assert math.fsum(p) == pytest.approx(1.0, abs=1e-14) and min(p) > 0.0
    table = mixture.predict_proba_batch([ROWS[0][-3:], [], [1]])
    assert table.tolist()[0] == p
    assert mixture.log_likelihood([ROWS[1][:40]])[0] == pytest.approx(
        sum(copy.copy(mixture).update([ROWS[1][:40]]).tolist()), rel=1e-13
    )
    assert repr(mixture).endswith(f"estimator='kneser_ney' sample_size={mixture.sample_size}>")


@pytest.mark.parametrize(
    "discount",
    [
        0.6,
        [0.6] * (DEPTH + 1),
        [[0.6, 0.6, 0.6]] * (DEPTH + 1),
        np.full((DEPTH + 1, 3), 0.6),
        (np.float64(0.6), 0.6, [0.6, 0.6, 0.6], 0.6),
    ],
)
def test_discount_tables_of_every_form_are_the_same_estimator(discount):
    reference = kneser_ney(discount=0.6, concentration=[0.5] * (DEPTH + 1))
    mixture = kneser_ney(discount=discount, concentration=np.full(DEPTH + 1, 0.5))
    assert mixture.log_evidence == reference.log_evidence
    assert np.asarray(mixture.hyperparameters["discount"]).tolist() == [[0.6] * 3] * (DEPTH + 1)


def test_hyperparameters_make_the_same_mixture_and_pickles_grow_it_again():
    mixture = kneser_ney(discount=TABLE, concentration=[0.1, 0.2, 0.0, 0.4])
    again = Counts(4, DEPTH).mixture(**mixture.hyperparameters)
    again.update(ROWS)
    for other in (again, pickle.loads(pickle.dumps(mixture)), copy.deepcopy(mixture)):
        assert other.log_evidence == mixture.log_evidence
        assert other.predict_proba([3, 2]) == mixture.predict_proba([3, 2])
    restored = pickle.loads(pickle.dumps(mixture))
    restored.update([[0, 1, 2, 3, 0]])
    assert restored.sample_size == mixture.sample_size + 2


def test_keywords_refused_name_their_argument():
    counts = Counts(4, DEPTH)
    cases = [
        ({"alpha": "x"}, TypeError, "^argument 'alpha': "),
        ({"discount": "x"}, TypeError, "^argument 'discount': must be real number, not str$"),
        ({"discount": [[0.5, "x", 0.5]] * 4}, TypeError, "^argument 'discount': "),
        ({"concentration": [0.5, None, 0.5, 0.5]}, TypeError, "^argument 'concentration': "),
        (
            {"alpha": 0.0},
            ValueError,
            r"^alpha must be finite, strictly positive and at most 2\*\*32$",
        ),
        ({"alpha": math.inf}, ValueError, "^alpha must be finite, strictly positive"),
        ({"alpha": 2.0**32 + 1}, ValueError, "^alpha must be finite, strictly positive"),
        (
            {"discount": 1.0},
            ValueError,
            r"^discount must be finite, at least 0, and strictly below 1$",
        ),
        ({"discount": math.nan}, ValueError, "^discount must be finite"),
        ({"concentration": -1}, ValueError, "^concentration must be finite and at least 0$"),
        (
            {"discount": [0.5, 0.0, 0.5, 0.5], "concentration": 0},
            ValueError,
            "^concentration must be strictly positive at a depth where a discount is 0$",
        ),
        (
            {"discount": [0.5] * 3},
            ValueError,
            r"^discount must be a number or have max_depth \+ 1 = 4 entries, one per depth$",
        ),
        (
            {"discount": [[0.5, 0.5]] * 4},
            ValueError,
            r"^discount's entry for depth 0 must be a number or 3 numbers, for counts 1, 2",
        ),
        ({"alpha": 0.5, "discount": 0.5}, ValueError, "^alpha chooses the Dirichlet estimator"),
    ]
    for keywords, error, message in cases:
        with pytest.raises(error, match=message):
            counts.mixture(0.6, **keywords)
    with pytest.raises(TypeError):
        counts.mixture(0.6, 0.5)  # the estimators' keywords are keywords only
    with pytest.raises(TypeError):
        counts.log_evidence(0.6, 0.5)
    # The beta is checked before the estimator, as it always was.
    assert outcome(lambda: counts.mixture(2.0, alpha=0.0)) == outcome(lambda: counts.mixture(2.0))
    # An infinite iterable is read one entry past the depths at most.
    with pytest.raises(ValueError, match=r"^discount must be a number or have"):
        counts.mixture(0.6, discount=iter(lambda: 0.5, None))


def test_kneser_ney_is_refused_where_counts_have_no_order():
    with pytest.raises(ValueError, match=r"depends on the order of the positions, which counts"):
        counts_of(ROWS).mixture(0.6, discount=0.5)


def test_hostile_kneser_ney_states_are_refused():
    mixture = kneser_ney(rows=[ROWS[0][:20]], discount=TABLE, concentration=0.5)
    function, (state,) = mixture.__reduce__()
    assert function is ostrel._restore
    for edit in (
        lambda s: s[:-1],
        lambda s: s + b"\x00",
        lambda s: s[:18] + b"Z" + s[19:],
        lambda s: s[:19] + np.float64(1.5).tobytes() + s[27:],
        lambda s: s[:-1] + b"\x09",
    ):
        with pytest.raises(ValueError, match=r"^invalid ostrel state: "):
            ostrel._restore(edit(state))


def test_choose_hyperparameters_maximises_the_evidence_and_feeds_the_mixture():
    rows = [[(t * t // 3 + (t % 7 == 0)) % 5 for t in range(600)]]
    chosen = ostrel.choose_hyperparameters(rows, 5, 3, passes=6)
    assert set(chosen) == {"beta", "discount", "concentration"}
    assert np.asarray(chosen["discount"]).shape == (4, 3)
    mixture = Counts(5, 3).mixture(**chosen)
    mixture.update(rows)
    start = Counts(5, 3).mixture(0.6, discount=0.75, concentration=0.5)
    start.update(rows)
    assert mixture.log_evidence > start.log_evidence
    dirichlet = ostrel.choose_hyperparameters(rows, 5, 3, estimator="dirichlet", passes=6)
    assert set(dirichlet) == {"beta", "alpha"}
    counts = counts_of(rows, 5, 3)
    assert counts.mixture(**dirichlet).log_evidence == counts.log_evidence(**dirichlet)
    assert counts.log_evidence(**dirichlet) > counts.log_evidence(0.75)
    for call, error, message in [
        (
            lambda: ostrel.choose_hyperparameters(rows, 5, 3, estimator="ppm"),
            ValueError,
            '^unknown estimator "ppm"; expected',
        ),
        (lambda: ostrel.choose_hyperparameters(rows, 4, 3), ValueError, r"^symbol 4 at data\[0\]"),
        (
            lambda: ostrel.choose_hyperparameters(rows, 1, 3),
            ValueError,
            "^alphabet_size must be at least 2$",
        ),
        (
            lambda: ostrel.choose_hyperparameters(rows, 5, 3, passes=0),
            ValueError,
            "^passes must be at least 1$",
        ),
        (
            lambda: ostrel.choose_hyperparameters(rows, 5, 3, max_positions=-1),
            ValueError,
            "^max_positions must be at least 1$",
        ),
        (lambda: ostrel.choose_hyperparameters("abc", 5, 3), TypeError, "^argument 'data': "),
    ]:
        with pytest.raises(error, match=message):
            call()
    # No positions at all: the search's starting point, still a valid estimator.
    assert Counts(5, 3).mixture(**ostrel.choose_hyperparameters([[0, 1]], 5, 3)).sample_size == 0
