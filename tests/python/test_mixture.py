"""The mixture over every tree and the change-point functions, through the module: answers
against Counts.log_evidence differences, updates against mixtures built from all the rows,
errors, atomicity, pickling and copies."""

import copy
import math
import pickle
import random

import numpy as np
import pytest
from conftest import Index, outcome

import ostrel
from ostrel import OSTREL, Counts

ROWS = [[random.Random(r).randrange(4) for _ in range(150)] for r in range(3)]
MORE = [[random.Random(10 + r).randrange(4) for _ in range(40)] for r in range(2)]


def counts_of(rows, alphabet=4, depth=3):
    counts = Counts(alphabet, depth)
    counts.add(rows)
    return counts


def close(a, b, relative):
    return abs(a - b) <= relative * abs(b)


@pytest.mark.parametrize("beta", [None, 0.6, 0.95])
def test_evidence_and_prediction_are_the_counts_evidence(beta):
    counts = counts_of(ROWS)
    mixture = counts.mixture(beta)
    assert mixture.log_evidence == counts.log_evidence(beta)
    assert mixture.sample_size == counts.sample_size
    history = ROWS[0][-3:]
    p = mixture.predict_proba(history)
    for a in range(4):
        with_position = copy.copy(counts)
        with_position.add([[*history, a]])
        ratio = math.exp(with_position.log_evidence(beta) - counts.log_evidence(beta))
        assert close(p[a], ratio, 1e-12)
    histories = [history, [], [1], ROWS[1][:10]]
    table = mixture.predict_proba_batch(histories)
    assert (table.dtype, table.shape) == ("float64", (4, 4))
    assert table.tolist() == [mixture.predict_proba(h) for h in histories]
    assert np.asarray(table).sum(axis=1) == pytest.approx(1.0, abs=1e-14)


def test_update_answers_as_a_mixture_built_from_all_the_rows():
    mixture = counts_of(ROWS).mixture(0.7)
    scores, distributions = mixture.update(MORE, distributions=True)
    assert (scores.shape, distributions.shape) == ((2 * 37,), (2 * 37, 4))
    symbols = [s for row in MORE for s in row[3:]]
    assert [
        math.log(d[s]) for d, s in zip(distributions.tolist(), symbols, strict=True)
    ] == scores.tolist()
    rebuilt = counts_of(ROWS + MORE).mixture(0.7)
    assert mixture.log_evidence == rebuilt.log_evidence
    assert mixture.sample_size == rebuilt.sample_size
    assert mixture.predict_proba(MORE[1][-3:]) == rebuilt.predict_proba(MORE[1][-3:])
    # The log losses of sequential prediction add up to the evidence gained.
    gained = rebuilt.log_evidence - counts_of(ROWS).log_evidence(0.7)
    assert close(float(np.sum(scores)), gained, 1e-11)
    assert mixture.update([[0, 1, 2]]).tolist() == []


def test_failed_update_changes_nothing():
    mixture = counts_of(ROWS).mixture()
    before = (mixture.log_evidence, mixture.sample_size, pickle.dumps(mixture))
    with pytest.raises(ValueError, match=r"^symbol 4 at data\[1\]\[2\] is outside 0..4$"):
        mixture.update([[0, 1, 2, 3, 1], [0, 1, 4]])
    with pytest.raises(TypeError, match=r"^argument 'data': "):
        mixture.update([[0, 1, 2, 3], [0, "x"]])
    assert (mixture.log_evidence, mixture.sample_size, pickle.dumps(mixture)) == before


def test_log_likelihood_scores_each_row_alone_and_keeps_the_mixture():
    mixture = counts_of(ROWS).mixture()
    scores = mixture.log_likelihood([*MORE, [1, 2]])
    assert scores[2] == 0.0
    for row, score in zip(MORE, scores, strict=False):
        alone = copy.copy(mixture)
        assert score == math.fsum([]) + sum(alone.update([row]).tolist())
    assert mixture.log_evidence == counts_of(ROWS).log_evidence()
    model = OSTREL(4, 3)
    model.fit(ROWS)
    assert isinstance(scores, list) and isinstance(model.log_likelihood(MORE), list)


def test_errors_are_those_of_the_queries_and_the_constructor():
    mixture = counts_of(ROWS).mixture()
    model = OSTREL(4, 3)
    model.fit(ROWS)
    for history in ([0, 9], [0, "x"], Index(lambda: 0)):
        ours = outcome(lambda h=history: mixture.predict_proba(h))
        assert ours == outcome(lambda h=history: model.predict_proba(h))
        assert ours[0] in (ValueError, TypeError)
    with pytest.raises(ValueError, match=r"^symbol 9 at histories\[1\]\[0\] is outside 0..4$"):
        mixture.predict_proba_batch([[0], [9]])
    assert outcome(lambda: counts_of(ROWS).mixture(beta=1.0)) == outcome(
        lambda: counts_of(ROWS).log_evidence(beta=1.0)
    )
    with pytest.raises(TypeError, match="cannot create"):
        type(mixture)()


def test_pickles_as_its_rows_and_beta_and_copies_are_independent():
    mixture = counts_of(ROWS).mixture(0.8)
    mixture.update(MORE[:1])
    restored = pickle.loads(pickle.dumps(mixture))
    assert (restored.beta, restored.log_evidence) == (0.8, mixture.log_evidence)
    assert restored.predict_proba([1, 2]) == mixture.predict_proba([1, 2])
    duplicate = copy.deepcopy(mixture)
    duplicate.update(MORE[1:])
    assert mixture.log_evidence == restored.log_evidence != duplicate.log_evidence
    text = (
        f"<ostrel.Mixture alphabet_size=4 max_depth=3 beta=0.8 sample_size={mixture.sample_size}>"
    )
    assert repr(mixture) == text


def three_changes(seed=3, length=600):
    """A row whose rule changes at 150, 300 and 450."""
    rng = random.Random(seed)
    row = [0]
    for t in range(1, length):
        step = (1, 2, 1, 0)[t // 150]
        row.append((row[-1] + step) % 3 if rng.random() < 0.85 else rng.randrange(3))
    return row


def test_change_point_posterior_and_segment_agree_on_one_change():
    row = three_changes()[:300]
    log_posterior = np.asarray(ostrel.change_point_posterior(row, 3, 2, beta=0.6))
    assert log_posterior.shape == (300,) and np.all(log_posterior[:3] == -np.inf)
    assert math.fsum(np.exp(log_posterior)) == pytest.approx(1.0, abs=1e-12)
    assert abs(int(np.argmax(log_posterior)) - 150) <= 3
    found = ostrel.segment(row, 3, 2, max_changes=1, beta=0.6)
    marginal = np.asarray(found["marginal"])
    assert found["map"][1] == [int(np.argmax(log_posterior))]
    assert marginal == pytest.approx(found["posterior"][1] * np.exp(log_posterior), abs=1e-12)


def test_segment_finds_three_changes():
    found = ostrel.segment(three_changes(), 3, 2, max_changes=4, stride=5)
    assert int(np.argmax(found["posterior"])) == 3
    assert [abs(c - t) <= 10 for c, t in zip(found["map"][3], (150, 300, 450), strict=True)] == [
        True
    ] * 3
    assert len(found["log_evidence"]) == len(found["map"]) == 5


def test_segment_refusals_and_a_row_too_short():
    row = three_changes()[:50]
    for kwargs, message in [
        ({"max_changes": -1}, "^max_changes must be at least 0$"),
        ({"max_changes": 1, "stride": 0}, "^stride must be at least 1$"),
    ]:
        with pytest.raises(ValueError, match=message):
            ostrel.segment(row, 3, 2, **kwargs)
    with pytest.raises(ValueError, match=r"^symbol 3 at row\[1\] is outside 0..3$"):
        ostrel.change_point_posterior([0, 3], 3, 2)
    with pytest.raises(MemoryError):
        ostrel.segment([0] * 20_000, 3, 1, max_changes=1)
    short = ostrel.segment([0, 1, 2], 3, 2, max_changes=2)
    assert short["posterior"] == [1.0, 0.0, 0.0] and short["map"] == [[], None, None]
    assert ostrel.change_point_posterior([0, 1, 2], 3, 2).tolist() == [-math.inf] * 3
