"""Rows counted from their start: the keyword, the counts' kind through merges, copies and
pickles, their mixture's evidence and first predictions, and the readers of trees that refuse
them."""

import copy
import pickle
import random

import numpy as np
import pytest
from conftest import fitted, snapshot

from ostrel import OSTREL, Counts

# Rows of 0 to 8 symbols, many shorter than the depth.
ROWS = [[r.randrange(4) for _ in range(r.randrange(9))] for r in map(random.Random, range(12))]
TREE_READERS = "reads counts as a tree whose contexts are the alphabet's symbols only"


def starting(rows=ROWS, depth=3, part=0):
    counts = Counts(4, depth, part=part, starts=True)
    counts.add(rows)
    return counts


def state(counts):
    return counts.__reduce__()[1][0]


def test_starts_is_a_bool_keyword_shown_only_when_set():
    plain = Counts(4, 3)
    assert plain.starts is False and "starts" not in repr(plain) + repr(plain.mixture())
    counts = starting()
    assert counts.starts is True and counts.sample_size == sum(map(len, ROWS))
    assert repr(counts) == (
        f"<ostrel.Counts alphabet_size=4 max_depth=3 part=0 starts=True "
        f"sample_size={counts.sample_size}>"
    )
    assert counts.mixture().starts is True and "starts=True sample_size" in repr(counts.mixture())
    for value in (1, None, "True", np.bool_(True)):
        with pytest.raises(TypeError) as raised:
            Counts(4, 3, starts=value)
        wanted = f"argument 'starts': '{type(value).__name__}' object cannot be converted to 'bool'"
        assert str(raised.value) == wanted
    with pytest.raises(TypeError):
        Counts(4, 3, 0, True)  # keyword only


def test_the_kind_survives_merges_in_any_order_copies_and_pickles_and_never_mixes():
    whole = starting()
    a, b = starting(ROWS[:5], part=1), starting(ROWS[5:], part=2)
    for merged in (a + b, b + a, sum([b, a])):
        assert merged.starts and merged.sample_size == whole.sample_size
        assert merged.log_evidence(0.6) == whole.log_evidence(0.6)
        assert merged.mixture().predict_proba([1]) == whole.mixture().predict_proba([1])
    for other in [copy.copy(whole), copy.deepcopy(whole), pickle.loads(pickle.dumps(whole))]:
        assert other.starts and state(other) == state(whole)
    plain = Counts(4, 3, part=5)
    plain.add(ROWS)
    before = state(whole)
    for left, right in [(whole, plain), (plain, whole)]:
        with pytest.raises(ValueError, match=r"^cannot merge Counts counted from their rows' sta"):
            left += right
    assert state(whole) == before


def test_readers_of_trees_refuse_such_counts_and_change_nothing():
    counts = starting()
    model = fitted(4, ROWS, max_depth=3)
    before = snapshot(model)
    for name, call in [
        ("Counts.top_trees()", lambda: counts.top_trees(2)),
        ("Counts.context_counts()", lambda: counts.context_counts(1)),
        ("Counts.max_log_likelihood()", lambda: counts.max_log_likelihood()),
        ("Counts.tree_statistics()", lambda: counts.tree_statistics([[]])),
        ("OSTREL.fit()", lambda: model.fit(counts)),
        ("OSTREL.fit_tree()", lambda: model.fit_tree(counts, [[]])),
    ]:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(f"{name} {TREE_READERS}, but these were made with")
        assert str(raised.value).endswith("; Counts.mixture() serves such counts")
    assert snapshot(model) == before
    # Refused before any argument's value is read.
    with pytest.raises(ValueError, match=TREE_READERS):
        counts.context_counts(99)


@pytest.mark.parametrize("alpha", [None, 0.05])
def test_evidence_is_the_mixtures_and_updates_score_every_event(alpha):
    counts = starting()
    evidence = counts.log_evidence(0.7, alpha=alpha)
    assert counts.mixture(0.7, alpha=alpha).log_evidence == evidence
    grown = Counts(4, 3, starts=True).mixture(0.7, alpha=alpha)
    assert len(grown.update(ROWS)) == counts.sample_size
    assert grown.log_evidence == evidence
    assert pickle.loads(pickle.dumps(grown)).predict_proba([]) == grown.predict_proba([])


def test_kneser_ney_mixture_of_the_kind_pickles_as_its_rows():
    mixture = Counts(4, 3, starts=True).mixture(0.6, discount=0.6, concentration=0.5)
    assert sum(mixture.update(ROWS).tolist()) == mixture.log_evidence
    restored = pickle.loads(pickle.dumps(mixture))
    assert restored.starts and restored.log_evidence == mixture.log_evidence
    for history in ([], [2], [2, 1, 0, 3]):
        assert restored.predict_proba(history) == mixture.predict_proba(history)


def test_a_rows_first_event_has_the_recipes_estimate_without_renormalising():
    # Rows of one event each: one context, the row's start. The padding recipe's estimate of
    # it over 4 + 1 symbols, renormalised without the start symbol, is the estimate over 4.
    rows = [[s] for s in [0, 0, 1, 3, 0, 2, 0, 1]]
    mixture = Counts(4, 1, starts=True).mixture(0.6)
    mixture.update(rows)
    recipe = OSTREL(5, max_depth=1)
    recipe.fit([[4, *row] for row in rows])
    padded = recipe.predict_proba([4])
    renormalised = [p / (1.0 - padded[4]) for p in padded[:4]]
    assert mixture.predict_proba([]) == pytest.approx(renormalised, rel=1e-15)
    assert renormalised == pytest.approx([4.5 / 10, 2.5 / 10, 1.5 / 10, 1.5 / 10], rel=1e-15)
