"""entropy_rate and divergence_rate: against the stationary law of the order-D chain solved
densely with NumPy, exact in their special cases, their arguments checked in order."""

import itertools
import math
import random

import pytest
from conftest import fitted, training_rows

from ostrel import OSTREL

np = pytest.importorskip("numpy")

NOT_FITTED = "fit must be called before querying the model"


def dense_rates(p, q):
    """The entropy rate of p and D(p || q) on the chain of every string of the deeper model's
    depth, whose state fixes both models' contexts; the law from a dense linear solve."""
    depth, alphabet = max(p.effective_max_depth, q.effective_max_depth), p.alphabet_size
    states = list(itertools.product(range(alphabet), repeat=depth))
    index = {w: i for i, w in enumerate(states)}
    step = np.zeros((len(states), len(states)))
    laws = [(p.predict_proba(list(w)), q.predict_proba(list(w))) for w in states]
    for i, w in enumerate(states):
        for s in range(alphabet):
            step[i, index[(*w, s)[1:]]] += laws[i][0][s]
    system = step.T - np.eye(len(states))
    system[-1, :] = 1.0
    law = np.linalg.solve(system, np.eye(len(states))[-1])
    entropy = sum(
        pi * -sum(x * math.log(x) for x in a) for pi, (a, _) in zip(law, laws, strict=True)
    )
    divergence = sum(
        pi * sum(x * math.log(x / y) for x, y in zip(a, b, strict=True))
        for pi, (a, b) in zip(law, laws, strict=True)
    )
    return entropy, divergence


def random_model(rng, alphabet, depth, method):
    options = {"penalty": rng.choice([None, 1e-300])} if method == "bic" else {}
    rows = training_rows(rng, alphabet)
    if rng.random() < 0.5:
        rows.append([rng.randrange(alphabet) for _ in range(3000)])
    return fitted(alphabet, rows, max_depth=depth, method=method, **options)


@pytest.mark.parametrize("seed", range(24))
def test_rates_equal_the_dense_solve_of_the_order_chain(seed):
    rng = random.Random(seed)
    alphabet = rng.choice([2, 3])
    p = random_model(rng, alphabet, rng.randint(0, 4), rng.choice(["bct", "bic", "peres_shield"]))
    q = random_model(rng, alphabet, rng.randint(0, 4), rng.choice(["bct", "bic"]))
    if alphabet ** max(p.effective_max_depth, q.effective_max_depth) > 1000:
        pytest.skip("the dense chain would be too large")
    entropy, divergence = dense_rates(p, q)
    assert math.isclose(p.entropy_rate(), entropy, rel_tol=1e-12, abs_tol=1e-15)
    assert math.isclose(p.divergence_rate(q), divergence, rel_tol=1e-10, abs_tol=1e-14)


def test_a_chain_beyond_the_elimination_size_is_iterated_to_the_same_law():
    # A full tree of depth 7 on three symbols: 2187 states.
    rng = random.Random(3)
    rows = [[rng.randrange(3) for _ in range(60000)]]
    p = fitted(3, rows, max_depth=7, method="bic", penalty=1e-300)
    q = fitted(3, [rows[0][:5000]], max_depth=2, method="bic", penalty=1e-300)
    assert p.context_count == 3**7
    entropy, divergence = dense_rates(p, q)
    assert math.isclose(p.entropy_rate(), entropy, rel_tol=1e-12)
    assert math.isclose(p.divergence_rate(q), divergence, rel_tol=1e-10)


def test_order_0_entropy_and_self_divergence_are_exact():
    model = fitted(3, [[0, 0, 1, 2, 0, 1, 1, 0]], max_depth=0)
    entropy = 0.0
    for x in model.predict_proba([]):
        entropy -= x * math.log(x)
    assert model.entropy_rate() == entropy
    rows = [[(i * i + i // 3) % 3 for i in range(300)]]
    deep, copy = fitted(3, rows, max_depth=4), fitted(3, rows, max_depth=4)
    assert deep.divergence_rate(deep) == 0.0 == deep.divergence_rate(copy)
    assert deep.divergence_rate(model) > 0.0


def test_arguments_are_checked_in_order():
    unfitted, small = OSTREL(2), fitted(2, [[0, 1, 1, 0, 1]])
    with pytest.raises(RuntimeError, match=f"^{NOT_FITTED}$"):
        unfitted.entropy_rate()
    with pytest.raises(TypeError, match=r"^argument 'other': 'list' object cannot be converted "):
        small.divergence_rate([0, 1])
    with pytest.raises(TypeError):
        small.divergence_rate()
    with pytest.raises(ValueError, match=r"^other has alphabet_size 3; the model's is 2$"):
        unfitted.divergence_rate(fitted(3, [[0, 1, 2]]))
    with pytest.raises(RuntimeError, match=f"^{NOT_FITTED}$"):
        unfitted.divergence_rate(small)
    with pytest.raises(RuntimeError, match=r"^fit must be called on other before comparing"):
        small.divergence_rate(unfitted)
    assert small.divergence_rate(other=small) == 0.0


def test_a_chain_too_large_raises_memory_error_before_building():
    model = fitted(2**25 + 1, [[0, 1]], max_depth=0, method="bic")
    with pytest.raises(MemoryError, match="more than 33554432 transitions"):
        model.entropy_rate()
