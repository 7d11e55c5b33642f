"""Calls the fuzzing session plans on the mixture over every tree of its counts and on the
change-point functions; a broken invariant raises AssertionError."""

import copy
import math
import pickle
from reprlib import repr as short

import ostrel

BETAS = (None, 0.6, 0.75, 0.99, 1.0, 0.3, math.nan)
DENSE_MAX = 300  # beyond this, answers with alphabet_size entries may raise MemoryError
ALPHAS = (0.5, 0.01, 3.0, 0.0, -1.0, math.nan, math.inf, 2.0**33, "x")
DISCOUNTS = (0.5, 0.0, 0.99, 1.0, -0.1, math.nan, "x", [0.5, 0.7], [[0.2, 0.9, 0.5]] * 3)
CONCENTRATIONS = (None, 0.0, 0.5, 40.0, -1.0, math.nan, [0.5] * 3)


def plan_mixture(session, tally):
    """One call on the mixture of `tally`'s counts, planned now and made later."""
    counts = tally.counts
    beta = session.pick(BETAS)
    rows = [session.plain_row(counts) for _ in range(session.pick((1, 0, 2)))]
    history = session.plain_row(counts)[: session.below(8)]
    which, flag = session.below(5), session.below(2) == 1
    if session.below(3) == 0:
        keywords = {"discount": session.pick(DISCOUNTS)}
        if session.below(2):
            keywords["concentration"] = session.pick(CONCENTRATIONS)
        return lambda: kneser_ney(session, counts, beta, keywords, rows, history, which, flag)
    if session.below(3) == 0:
        alpha = session.pick(ALPHAS)
        return lambda: dirichlet(session, counts, beta, alpha, rows)
    return lambda: run(session, counts, beta, rows, history, which, flag)


def dirichlet(session, counts, beta, alpha, rows):
    """Dirichlet leaves of any concentration: the mixture's evidence is the counts'."""
    ok, mixture = session.call(counts.mixture, beta, alpha=alpha)
    ok_evidence, evidence = session.call(counts.log_evidence, beta, alpha=alpha)
    assert ok == ok_evidence, f"mixture {mixture!r}, evidence {evidence!r}"
    if not ok:
        assert type(mixture) is type(evidence) and str(mixture) == str(evidence), f"{mixture!r}"
        return
    assert mixture.log_evidence == evidence, "alpha mixture != evidence"
    restored = pickle.loads(pickle.dumps(mixture))
    assert restored.log_evidence == evidence and restored.hyperparameters == mixture.hyperparameters
    session.call(counts.top_trees, 1 + session.below(3), beta, alpha=alpha)
    session.call(mixture.update, rows)


def kneser_ney(session, counts, beta, keywords, rows, history, which, flag):
    """A Kneser-Ney mixture grown from empty counts: its evidence is the sum of its updates,
    it predicts distributions, and its state loads into the same mixture or is refused."""
    empty = ostrel.Counts(counts.alphabet_size, counts.max_depth, starts=counts.starts)
    ok, mixture = session.call(empty.mixture, beta, **keywords)
    if not ok:
        assert type(mixture) in (ValueError, TypeError), f"{mixture!r}"
        # the arguments are read before the counts are asked whether they can serve them
        refused = session.call(counts.mixture, beta, **keywords)[1]
        assert type(refused) is type(mixture) and str(refused) == str(mixture), f"{refused!r}"
        return
    a = counts.alphabet_size
    valid = all(s < a for row in rows for s in row)
    ok, value = session.call(mixture.update, rows, distributions=flag)
    if not ok:
        assert type(value) is (ValueError if not valid else MemoryError), f"{value!r}"
        assert mixture.sample_size == 0 and mixture.log_evidence == 0.0, "failed update changed it"
        return
    scores = (value[0] if flag else value).tolist()
    assert sum(scores) == mixture.log_evidence, "evidence != the sum of the updates"
    assert all(s <= 0.0 for s in scores), f"{short(scores)}"
    if which == 3 and a <= DENSE_MAX:
        ok, top = session.call(mixture.top_k, [history], 2)
        if ok:
            assert top[1].tolist()[0][0] == max(mixture.predict_proba(history)), "top_k"
        return
    if which == 1 or a > DENSE_MAX:
        ok, p = session.call(mixture.predict_proba, history)
        assert not ok or (abs(math.fsum(p) - 1.0) <= 1e-9 and min(p) > 0.0), f"{short(p)}"
        return
    _, (state,) = mixture.__reduce__()
    if session.below(2):
        at = session.below(len(state))
        state = state[:at] + bytes([session.below(256)]) + state[at + session.below(2) :]
    ok, restored = session.call(ostrel._restore, state)
    if ok:
        session.call(restored.predict_proba, history[: session.below(4)])
    else:
        assert type(restored) is ValueError, f"{restored!r}"
    if which == 2:
        hyper = session.call(
            ostrel.choose_hyperparameters, rows, a, counts.max_depth, passes=1 + session.below(2)
        )
        if hyper[0]:
            assert ostrel.Counts(a, counts.max_depth).mixture(**hyper[1]).sample_size == 0


def run(session, counts, beta, rows, history, which, flag):
    ok, mixture = session.call(counts.mixture, beta)
    if not ok:
        refused = session.call(counts.log_evidence, beta)[1]
        assert type(mixture) is type(refused) and str(mixture) == str(refused), f"{mixture!r}"
        return
    evidence, a = counts.log_evidence(beta), counts.alphabet_size
    assert mixture.log_evidence == evidence, f"mixture evidence {mixture.log_evidence}"
    valid = all(s < a for row in rows for s in row)
    if which == 0:
        before = pickle.dumps(mixture)
        ok, value = session.call(mixture.update, rows, distributions=flag)
        if not ok:
            expected = ValueError if not valid else MemoryError
            assert type(value) is expected, f"update({short(rows)}): {value!r}"
            assert pickle.dumps(mixture) == before, "a failed update changed the mixture"
            return
        grown = copy.copy(counts)
        grown.add(rows)
        gained = math.fsum((value[0] if flag else value).tolist())
        target = grown.log_evidence(beta)
        assert abs(mixture.log_evidence - target) <= 1e-12 * abs(target), "update != rebuild"
        # Beyond 2**52 symbols the evidence's closed form cannot tell n + A/2 from A/2
        # (a double's spacing there exceeds 1), so only the sequential sum is exact.
        exact = a <= 2**52
        assert not exact or abs(evidence + gained - target) <= 1e-9 * max(1.0, abs(target)), (
            "log losses"
        )
    elif which == 1:
        ok, p = session.call(mixture.predict_proba, history)
        if ok:
            assert abs(math.fsum(p) - 1.0) <= 1e-9 and min(p) > 0.0, f"{short(p)}"
        else:
            bad = any(s >= a for s in history)
            allowed = ValueError if bad else MemoryError
            assert type(p) is allowed and (bad or a > DENSE_MAX), f"predict_proba: {p!r}"
    elif which == 2:
        skip = None if flag else 0
        ok, scores = session.call(mixture.log_likelihood, rows, skip)
        assert ok == valid, f"log_likelihood({short(rows)}): {scores!r}"
        assert mixture.log_evidence == evidence, "log_likelihood changed the mixture"
        assert not ok or all(s <= 0.0 for s in scores), f"{short(scores)}"
        if ok:
            terms, offsets = mixture.pointwise_log_likelihood(rows, skip, offsets=True)
            terms, offsets = terms.tolist(), offsets.tolist()
            for r, total in enumerate(scores):
                assert sum(terms[offsets[r] : offsets[r + 1]], 0.0) == total, "terms != score"
    elif which == 3:
        ok, top = session.call(mixture.top_k, [history], 1 + len(rows))
        if ok and a <= DENSE_MAX:
            p = mixture.predict_proba(history)
            assert top[1].tolist()[0][0] == max(p), f"top_k {short(top[1].tolist())}"
        elif not ok:
            bad = any(s >= a for s in history)
            allowed = ValueError if bad else MemoryError
            assert type(top) is allowed and (bad or a > DENSE_MAX), f"top_k: {top!r}"
    elif rows and len(rows[0]) <= 80:
        changes(session, rows[0], a, counts.max_depth, beta, flag)


def changes(session, row, a, depth, beta, segment):
    if segment:
        ok, found = session.call(ostrel.segment, row, a, depth, max_changes=3, beta=beta)
        if ok:
            assert abs(math.fsum(found["posterior"]) - 1.0) <= 1e-9, f"{found['posterior']}"
        return
    ok, log_p = session.call(ostrel.change_point_posterior, row, a, depth, beta=beta)
    if ok and len(row) > depth + 1:
        assert abs(math.fsum(math.exp(x) for x in log_p.tolist()) - 1.0) <= 1e-9
