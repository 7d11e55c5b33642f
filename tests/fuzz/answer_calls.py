"""Calls the fuzzing session plans on what a fitted model answers: scores, bulk answers,
samples, summaries, its DOT text and rates; a broken invariant raises AssertionError. Each
answer that batches a scalar method is held to that method, bit for bit, when the arguments are
plain."""

import math
from reprlib import repr as short

DENSE_MAX = 300  # beyond this, answers with alphabet_size entries may raise MemoryError
EXCLUSIVE = -1  # mirror of the borrow flag while fit holds a model


def plan(session, target):
    """log_likelihood, sample, summary, a bulk answer, to_dot or a rate, with arguments
    planned now."""
    which = session.below(6)
    if which == 3:
        return bulk(session, target)
    if which == 4:
        return lambda: describe(session, target)
    if which == 5:
        other = session.pick(session.pool)
        return lambda: rates(session, target, other)
    if which == 0:
        data, skip = session.data(target), session.pick((None, 0, 1, 2, 40, -1, 2**64))
        kwargs = (
            {"skip": skip if skip is None else session.integer(skip)} if session.below(2) else {}
        )
        return lambda: score(session, target, data, kwargs)
    if which == 1:
        n = (
            session.pick((0, 1, 7, 300, 2000))
            if session.below(8)
            else session.pick((-1, 2**62, 2**64))
        )
        seed = session.pick((None, 0, 1, 2**64 - 1, -1, 2**64)) if session.below(4) else None
        kwargs = {"seed": session.integer(seed) if seed is not None else None}
        if session.below(3):
            kwargs["history"] = session.history(target)
        n = session.integer(n)
        return lambda: draw(session, target, n, kwargs)
    return lambda: summarise(session, target)


def score(session, target, data, kwargs):
    m = target.model
    label = lambda: f"log_likelihood({short(data)}, {short(kwargs)})"  # noqa: E731
    ok, totals = session.use(target, False, label, m.log_likelihood, data, **kwargs)
    if not ok:
        return
    assert all(type(t) is float and t <= 0.0 for t in totals), f"{label()}: {short(totals)}"
    plain = type(data) is list and all(type(r) is list for r in data)
    skip = target.max_depth if kwargs.get("skip") is None else kwargs["skip"]
    if plain and type(skip) is int and target.alphabet <= DENSE_MAX and len(data) == len(totals):
        for row, total in zip(data, totals, strict=True):  # the loop it stands for
            loop = 0.0
            for i in range(skip, len(row)):
                history = row[max(0, i - target.max_depth) : i]
                loop += math.log(session.must(target, m.predict_proba, history)[row[i]])
            assert loop == total, f"{label()}: {total} is not the loop's {loop}"


def bulk(session, target):
    """pointwise_log_likelihood, predict_proba_batch or top_k: what the scalar
    methods give, bit for bit, when the arguments are plain."""
    which = session.below(3)
    if which == 0:
        data, skip = session.data(target), session.pick((None, 0, 1, 3))
        return lambda: pointwise(session, target, data, skip)
    histories = session.sequence([session.history(target) for _ in range(session.below(5))])
    if which == 1:
        return lambda: batch(session, target, histories)
    k = session.integer(session.pick((1, 2, 5, 0, -1, 2**64, 2**70)))
    return lambda: top(session, target, histories, k)


def pointwise(session, target, data, skip):
    m = target.model
    label = lambda: f"pointwise_log_likelihood({short(data)}, {skip})"  # noqa: E731
    plain = plain_histories(session, target, data)  # before: the call may run callbacks
    ok, terms = session.use(target, False, label, m.pointwise_log_likelihood, data, skip=skip)
    if not ok or not plain:
        return
    totals, terms = [], terms.tolist()
    start = target.max_depth if skip is None else skip
    for row in data:
        n = max(0, len(row) - start)
        total = 0.0
        for t in terms[:n]:
            total += t
        totals.append(total)
        terms = terms[n:]
    expected = session.must(target, lambda: m.log_likelihood(data, skip=skip))
    assert not terms and totals == expected, f"{label()}: {totals} is not {expected}"


def plain_histories(session, target, histories):
    """Lists of ints, which no callback can change while the call reads them."""
    return (
        type(histories) is list
        and all(type(h) is list and all(type(s) is int for s in h) for h in histories)
        and target.alphabet <= DENSE_MAX
    )


def batch(session, target, histories):
    m = target.model
    out = table_to_write(session, target) if session.below(2) else None
    kept = None if out is None or not isinstance(out, memoryview) else out.tobytes()
    label = lambda: f"predict_proba_batch({short(histories)}, out={short(out)})"  # noqa: E731
    plain = plain_histories(session, target, histories)  # before: the call may run callbacks
    ok, table = session.use(target, False, label, m.predict_proba_batch, histories, out=out)
    if not ok and kept is not None:
        assert out.tobytes() == kept, f"{label()}: a failed call wrote into out"
    if ok and out is not None:
        assert table is out, f"{label()}: did not return out"
        table = out
    if ok and plain:
        rows = [session.must(target, m.predict_proba, h) for h in histories]
        assert table.tolist() == rows, f"{label()}: not predict_proba's rows"


def table_to_write(session, target):
    """A float64 table of a few rows, of the alphabet's width or not, or
    something that is no such table."""
    if target.alphabet > 64 or session.below(4) == 0:
        return session.pick((b"", bytearray(16), [[0.0]], memoryview(bytes(16)).cast("d")))
    rows = 1 + session.below(4)
    columns = target.alphabet if session.below(4) else 1 + session.below(8)
    return memoryview(bytearray(8 * rows * columns)).cast("d", (rows, columns))


def top(session, target, histories, k):
    m = target.model
    label = lambda: f"top_k({short(histories)}, {short(k)})"  # noqa: E731
    plain = plain_histories(session, target, histories)  # before: the call may run callbacks
    ok, pair = session.use(target, False, label, m.top_k, histories, k)
    if ok and plain and type(k) is int:
        answers = zip(histories, *(a.tolist() for a in pair), strict=True)
        for h, symbols, probabilities in answers:
            p = session.must(target, m.predict_proba, h)
            ranked = sorted(range(len(p)), key=lambda s: (-p[s], s))[:k]
            assert symbols == ranked and probabilities == [p[s] for s in ranked], label()


def draw(session, target, n, kwargs):
    m = target.model
    label = lambda: f"sample({short(n)}, {short(kwargs)})"  # noqa: E731
    ok, drawn = session.use(target, False, label, m.sample, n, **kwargs)
    if not ok:
        return
    assert all(0 <= s < target.alphabet for s in drawn), f"{label()}: {short(drawn)}"
    assert type(n) is not int or len(drawn) == n, f"{label()}: {len(drawn)} symbols"
    history = kwargs.get("history", [])
    if type(n) is int and type(kwargs["seed"]) is int and type(history) in (list, tuple):
        again = session.must(target, lambda: m.sample(n, seed=kwargs["seed"], history=history))
        assert again == drawn, f"{label()}: not reproducible"


def summarise(session, target):
    m = target.model
    ok, summary = session.use(target, False, lambda: "summary()", m.summary)
    if not ok:
        return
    where = f"summary {summary}"
    assert summary["contexts"] == m.context_count and summary["sample_size"] == m.sample_size
    parameters = summary["contexts"] * (target.alphabet - 1)
    assert summary["parameters"] == parameters and summary["log_likelihood"] <= 0.0, where
    expected = -2.0 * summary["log_likelihood"] + 2.0 * float(parameters)
    assert summary["aic"] == expected, where
    assert math.isnan(summary["bic"]) == (m.sample_size == 0), where


def describe(session, target):
    m = target.model
    ok, text = session.use(target, False, lambda: "to_dot()", m.to_dot)
    if ok:
        assert text.startswith("digraph ostrel {\n") and text.endswith("}\n"), short(text)
        assert text.count(" -> ") == m.node_count - 1, short(text)


def rates(session, target, other):
    m = target.model
    ok, entropy = session.use(target, False, lambda: "entropy_rate()", m.entropy_rate)
    if ok:
        bound = math.log(target.alphabet) * (1 + 1e-12)
        assert 0.0 <= entropy <= bound, f"entropy_rate() {entropy} beyond [0, {bound}]"
    if other.borrow == EXCLUSIVE:
        return
    label = lambda: "divergence_rate(other)"  # noqa: E731
    ok, divergence = session.use(target, False, label, m.divergence_rate, other.model)
    if ok:
        assert divergence >= -1e-12, f"divergence_rate(other) {divergence} below 0"
        assert other is not target or divergence == 0.0, f"D(p || p) is {divergence}"
