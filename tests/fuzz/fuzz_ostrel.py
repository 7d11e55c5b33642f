#!/usr/bin/env python3
"""Coverage-guided fuzzing of the Python surface of ``ostrel`` with atheris: hostile calls on a
pool of models, where a broken invariant raises AssertionError. Run by ``scripts/fuzz.sh``."""

import array
import copy
import math
import operator
import sys
import warnings
from reprlib import repr as short

import answer_calls
import atheris
from answer_calls import DENSE_MAX, EXCLUSIVE
from mixture_calls import plan_mixture

import ostrel

OSTREL, Counts = ostrel.OSTREL, ostrel.Counts
PROPERTIES = ("method", "boundary", "alphabet_size", "max_depth", "sample_size", "node_count")
PROPERTIES += ("context_count", "effective_max_depth")
NAMES = ("alphabet_size", "max_depth", "method", "beta", "penalty", "boundary")  # constructor's
QUERIES = ("get_suffix", "get_counts", "get_transition_counts", "get_distribution", "predict_proba")
HUGE_ALPHABET = 2**63
ADMITTED = (*range(2, 10), 300, HUGE_ALPHABET)  # alphabets of the models kept in the pool
HUGE_INTS = (2**62, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**63), 65536)
FLOATS = (None, 0.5, 0.75, 0.999, 1.0, 0.0, -1.0, 3.0, 1e-300, 5e-324, 1e300, math.inf, math.nan)
ODD = ' \t\n\r\x85\xa0\u2028\u3000\u200b\ufeff\x00\x7f"\\\u0301\u0130\u212a\ud800\udfff\U0010ffff'
METHODS = ("bct", "bic", "peres_shield", "ps", "Peres-Shield", " BIC\t", "\u3000bct\x85", "b c t")
METHODS += ("pérès_shield", "bic\u0301", "\u212abct\U0010ffff", "\U0001f600ps")  # quoted in errors
BOUNDARIES = ("condition", " CONDITION\n", "Condition", "none")


class Escape(BaseException):
    """The caller's own BaseException, raised from a callback; it passes through."""


ERRORS = (ValueError, TypeError, MemoryError, Escape)  # raised by hostile objects


class Hostile:
    """An int, float or sequence through protocol methods that first run callbacks,
    then may return the wrong type, lie about the length, raise or stop midway."""

    def __init__(self, session, value=0, actions=(), items=(), length=None, fail_at=None):
        self.session, self.value, self.actions = session, value, actions
        self.items, self.length, self.fail_at = items, length, fail_at

    def give(self, value):
        self.session.nested(self)
        if isinstance(value, BaseException):
            raise value
        return value

    def __index__(self):
        return self.give(self.value)

    __float__ = __index__

    def __len__(self):
        return self.give(len(self.items) if self.length is None else self.length)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.give(None)
        yield from self.items[: self.fail_at]
        if self.fail_at is not None:
            raise self.value


NoIter = type("NoIter", (Hostile,), {"__iter__": None})  # a sequence that cannot be iterated


class Model:
    """A model of the pool and what the harness remembers of it."""

    def __init__(self, session, model):
        self.model, self.alphabet, self.max_depth = model, model.alphabet_size, model.max_depth
        self.borrow, self.probes = 0, []  # the borrow flag's mirror; histories to predict from
        self.snap = session.snapshot(self)


class Tally:
    """Counts of the pool and the rows they hold, by part, in the order they were added."""

    def __init__(self, counts, rows=None):
        self.counts, self.rows = counts, rows if rows is not None else {}

    def parts(self):
        return {part for part, rows in self.rows.items() if rows}

    def ordered(self):
        return [row for part in sorted(self.rows) for row in self.rows[part]]


def state_of(counts):
    return counts.__reduce__()[1][0]


class Session:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.hostility, self.depth, self.pending = self.below(4), 0, []
        alphabet = self.pick((2, 3, 4, 2, 8, 5, 300, HUGE_ALPHABET))
        method = self.pick(("bct", "bic", "peres_shield"))
        beta = 0.75 if method == "bct" and alphabet > 50 else None  # the default rounds to 1
        huge_bic = method == "bic" and alphabet == HUGE_ALPHABET
        penalty = self.pick((None, 1e-300)) if huge_bic else None  # splitting runs out of room
        self.pool = [Model(self, OSTREL(alphabet, self.below(5), method, beta, penalty))]
        self.tallies = []

    # Choices. Exhausted input gives 0 and so the plain ones.
    def below(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def pick(self, options):
        return options[self.below(len(options))]

    def hostile(self):
        return self.hostility > 0 and self.below((1, 30, 8, 3)[self.hostility]) == 1

    def run(self):
        for _ in range(1 + self.below(8)):
            if not self.fdp.remaining_bytes():
                break
            self.plan()()
            if self.pending:  # from a callback, where it could not propagate
                raise self.pending[0]
        for target in self.pool:
            self.compare(target, "at the end")

    def plan(self):
        """One call, planned now (consuming input) and made later."""
        target, kind = self.pick(self.pool), self.below(16)
        if kind >= 14:
            return self.plan_counts()
        if kind < 8:
            name = "fit" if kind < 4 else self.pick(QUERIES)
            argument = self.data(target) if kind < 4 else self.history(target)
            shape = self.below(6) if self.hostile() else 0
            return lambda: self.invoke(target, name, argument, shape)
        if kind < 9:
            name = self.pick((*PROPERTIES, "get_contexts"))
            read = OSTREL.get_contexts if name == "get_contexts" else OSTREL.__dict__[name].__get__
            return lambda: self.use(target, False, lambda: name, read, target.model)
        if kind < 10:
            args, kwargs = self.constructor_args()
            return lambda: self.construct(args, kwargs)
        if kind < 11:
            return lambda: target.borrow or self.compare(target, "check", deep=True)
        if kind < 13:
            return self.scoring(target)
        return self.keeping(target)

    # ---- scoring, sampling, summaries, pickles and copies -------------------------------

    def scoring(self, target):
        return answer_calls.plan(self, target)

    def keeping(self, target):
        """A pickle of `target` restored as it is, edited or cut; or a copy."""
        mode = self.below(4)
        edits = [(self.below(4096), self.below(256)) for _ in range(1 + self.below(3))]
        cut = self.below(4096) if self.below(2) else None
        return lambda: self.keep(target, mode, edits, cut)

    def keep(self, target, mode, edits, cut):
        m = target.model
        if mode == 3:
            make = self.pick((copy.copy, copy.deepcopy))
            ok, clone = self.use(target, False, lambda: make.__name__, make, m)
            if not ok:  # refused under a conflicting borrow, which use() checked
                return
        else:
            ok, reduced = self.use(target, False, lambda: "__reduce__()", m.__reduce__)
            if not ok:
                return
            restore, (state,) = reduced
            assert restore is ostrel._restore, f"__reduce__ gave {restore!r}"
            if mode == 1:
                state = bytearray(state)
                for at, value in edits:
                    state[at % len(state)] = value
                state = bytes(state)
            if mode == 2:
                state = (
                    state[: cut % len(state)] if cut is not None else state + bytes(edits[0][1:])
                )
            ok, clone = self.call(restore, state)
        if not ok:
            error = type(clone) is ValueError and str(clone).startswith("invalid ostrel state: ")
            assert mode in (1, 2) and error, f"restoring a state ({mode}) raised {clone!r}"
            return
        kept = Model(self, clone)
        kept.probes = target.probes
        kept.snap = self.snapshot(kept)
        if mode in (0, 3) and target.borrow == 0:
            assert kept.snap == target.snap, "a pickle or copy answers otherwise than its model"
        if kept.snap[-1][0]:
            self.invariants(kept)
        if len(self.pool) < 3 and kept.alphabet in ADMITTED:
            self.pool.append(kept)

    def callbacks(self):
        """Calls to make from inside a conversion, into the same or other models."""
        self.depth += 1
        plan = self.depth <= 2 and self.below(2)
        actions = tuple(self.plan() for _ in range(1 + self.below(3))) if plan else ()
        self.depth -= 1
        return actions

    def nested(self, holder):
        """Runs a hostile object's callbacks (once); findings wait for the top."""
        actions, holder.actions = holder.actions, ()
        for action in actions:
            try:
                action()
            except Exception as exc:
                self.pending.append(exc)

    def integer(self, value):
        """`value` as an argument or symbol, or something hostile in its place."""
        if not self.hostile():
            return value
        odd = (True, False, float(value), None, str(value), b"\x01", [value], math.nan, 1j)
        if self.below(3) == 0:
            return self.pick((*odd, *HUGE_INTS))
        wrong = (1.5, "3", True, 2**64, -1, None, self.pick(ERRORS)("index"))
        return Hostile(self, value if self.below(2) else self.pick(wrong), self.callbacks())

    def real(self):
        """beta or penalty: None, a float, or something hostile in its place."""
        value = self.pick(FLOATS) if self.below(2) else None
        if not self.hostile():
            return value
        odd, wrong = (2**2000, True, 3, -(2**70), "0.5", [0.5], 1j), (0.9, value, 1, "0.5")
        if self.below(2):
            return self.pick(odd)
        return Hostile(self, self.pick((*wrong, self.pick(ERRORS)("float"))), self.callbacks())

    def text(self, words):
        """method or boundary: a spelling, odd text, or no text at all."""
        if not self.hostile():
            return self.pick(words) if self.below(4) else words[0]
        word, odd, cut = self.pick(words), [self.pick(ODD) for _ in range(3)], self.below(4)
        odd = odd[0] + word[:cut] + odd[1][: self.below(2)] + word[cut:].upper() + odd[2]
        unicode = self.fdp.ConsumeUnicode(self.below(12))  # lone surrogates too
        return self.pick((odd, unicode, None, 3, b"bct", ["bct"], Hostile(self, "bct"), "\ud800"))

    def constructor_args(self):
        big = (0, 1, 300, 2**32, HUGE_ALPHABET, 2**64 - 1)
        alphabet = 2 + self.below(8) if self.below(4) else self.pick(big)
        depth = self.below(6) if self.below(4) else self.pick((6, 16, 65535, 65536, 2**32))
        values = [self.integer(alphabet), self.integer(depth), self.text(METHODS)]
        values += [self.real(), self.real(), self.text(BOUNDARIES), None]
        split = 1 + self.below(7)  # arguments by position (7: one too many), then some by keyword
        named = zip(NAMES[split:], values[split:], strict=False)
        kwargs = {name: value for name, value in named if self.below(3)}
        if self.hostile():  # an unknown or a repeated keyword
            kwargs[self.pick(("alphabet", "alphabet_size"))] = 3
        return values[:split], kwargs

    def row(self, target, length):
        """One row or history: symbols in a container of some type."""
        a = target.alphabet
        if self.hostile() and self.below(2):
            values = [self.below(min(a, 4)) for _ in range(length)]
            start, step, code = self.below(4), self.pick((1, -1, 2)), self.pick("BQq")
            negative = array.array("q", [-1 - v for v in values])
            odd = (bytes(values), bytearray(values), array.array(code, values), negative)
            return self.pick((*odd, range(start, start + step * length, step)))
        motif, items = [self.below(min(a, 8)) for _ in range(1 + self.below(4))], []
        for i in range(length):  # periodic with noise, even when the input runs out
            value = self.below(min(a, 8)) if self.below(8) == 7 else motif[i % len(motif)]
            if self.hostility and self.below((1, 200, 60, 20)[self.hostility]) == 1:
                value = self.pick((a, a + 1, a - 1, 256, 2**64 - 1))
            items.append(self.integer(value))
        return self.sequence(items)

    def sequence(self, items):
        """A list or tuple of `items`, or a hostile container of them."""
        if not self.hostile():
            return items if self.below(3) else tuple(items)
        kind = self.below(4)
        if kind == 0:  # a length that lies, or fails; a wrong hint must not matter
            length = self.pick((2**62, -1, 2**63, ValueError("len"), Escape("len")))
            return Hostile(self, items=items, length=length, actions=self.callbacks())
        if kind == 1:  # iteration that fails midway
            end = self.below(len(items) + 1) if self.below(2) else None
            return Hostile(self, self.pick(ERRORS)("iter"), self.callbacks(), items, fail_at=end)
        if kind == 2:  # a list that changes while an element converts
            change = self.pick((items.clear, lambda: items.extend(items[:3]), items.reverse))
            items.insert(self.below(len(items) + 1), Hostile(self, 0, (change,)))
            return items
        return self.pick(("01", "\ud800", {0, 1}, iter(items), 5, None, NoIter(self, items=items)))

    def data(self, target):
        rows, depth = [], target.max_depth
        for _ in range(self.pick((1, 2, 1, 3, 0, 5))):
            long = depth <= 16 and self.below(20) == 1
            n = depth + self.below(1500) if long else max(0, min(depth, 16) + self.below(40) - 2)
            rows.append(self.row(target, n))
        return self.sequence(rows)

    def history(self, target):
        if target.probes and self.below(2):
            base = self.pick(target.probes)[self.below(3) :]
            return self.sequence([self.integer(v) for v in [self.below(2), *base]])
        return self.row(target, self.below(8))

    def call(self, function, *args, **kwargs):
        """(True, result) or (False, an ordinary exception or the caller's own)."""
        try:
            return True, function(*args, **kwargs)
        except (Exception, Escape) as exc:
            return False, exc
        except BaseException as exc:
            what = f"{getattr(function, '__name__', function)}{short(args)} {short(kwargs)}"
            kind = f"{type(exc).__module__}.{type(exc).__name__}"
            raise AssertionError(f"{what}: {kind} escaped: {exc}") from exc

    def use(self, target, exclusive, label, function, *args, **kwargs):
        """Calls into `target` under the borrow the call takes: refused exactly while
        the model is borrowed in a conflicting way; a failure changes nothing."""
        before = target.borrow
        conflict = before != 0 if exclusive else before == EXCLUSIVE
        refusal = "Already borrowed" if exclusive else "Already mutably borrowed"
        if not conflict:
            target.borrow = EXCLUSIVE if exclusive else before + 1
        try:
            ok, value = self.call(function, *args, **kwargs)
        finally:
            target.borrow = before
        refused = not ok and type(value) is RuntimeError and str(value).startswith("Already")
        assert refused == conflict, f"{label()}: {value!r} with the borrow flag at {before}"
        assert not conflict or str(value) == refusal, f"{label()}: {value!r}, not {refusal!r}"
        if before == 0 and not ok:
            self.compare(target, label)
        return ok, value

    def construct(self, args, kwargs):
        ok, model = self.call(OSTREL, *args, **kwargs)
        if ok and len(self.pool) < 3 and model.alphabet_size in ADMITTED:
            self.pool.append(Model(self, model))

    def invoke(self, target, name, argument, shape):
        """Calls method `name` of `target` with `argument`, passed in one of a few shapes."""
        if shape == 5:
            return self.call(getattr(OSTREL, name), [0], argument)  # a foreign receiver
        parameter = {"fit": "data", "predict_proba": "history"}.get(name, "sequence")
        args = ((argument,), (), (argument, argument), (), (argument,))[shape]
        kwargs = ({}, {parameter: argument}, {}, {}, {"rows": argument})[shape]
        method, label = getattr(target.model, name), lambda: f"{name}({short(argument)})"
        ok, value = self.use(target, name == "fit", label, method, *args, **kwargs)
        if ok and name == "fit" and target.borrow == 0:
            assert value is None, f"fit returned {value!r}"
            contexts = target.model.get_contexts()
            probes = [[], *contexts[:3], *([0, s, *c] for s in (0, 1) for c in contexts[-2:])]
            target.probes = [p for p in probes if len(p) <= 40]
            self.invariants(target)
            target.snap = self.snapshot(target)

    def must(self, target, function, *args):
        """The answer of a call that must succeed on a fitted model (None when a
        dense answer of a huge alphabet runs out of memory)."""
        ok, value = self.call(function, *args)
        allowed = ok or (type(value) is MemoryError and target.alphabet > DENSE_MAX)
        assert allowed, f"{function.__name__}{short(args)} on a fitted model raised {value!r}"
        return value if ok else None

    def invariants(self, target):
        m = target.model
        props = {name: self.must(target, getattr, m, name) for name in PROPERTIES}
        contexts, where = self.must(target, m.get_contexts), f"model {props}"
        assert props["context_count"] == len(contexts) > 0, f"{where}: {len(contexts)} contexts"
        depth = props["effective_max_depth"]
        assert max(map(len, contexts)) <= depth, f"{where}: too deep: {short(contexts)}"
        root = self.must(target, m.get_counts, [])
        assert root == props["sample_size"], f"{where}: the root's count is {root}"
        for context in contexts[:24]:
            count = self.must(target, m.get_counts, context)
            transitions = self.must(target, m.get_transition_counts, context)
            assert transitions is None or sum(transitions) == count, f"{where}: counts of {context}"
            distribution(self.must(target, m.get_distribution, context), where)
        for history in target.probes:
            suffix = self.must(target, m.get_suffix, history)
            proba = self.must(target, m.predict_proba, history)
            distribution(proba, where)
            expected = self.must(target, m.get_distribution, suffix)
            assert proba == expected, f"{where}: predict_proba({history}) is not that of {suffix}"

    def snapshot(self, target):
        """Everything a model answers about itself, to compare with ==."""
        m, dense = target.model, target.alphabet <= DENSE_MAX
        state = [self.outcome(getattr, m, name) for name in PROPERTIES]
        ok, contexts = self.call(m.get_contexts)
        for context in contexts[:12] if ok else ():
            state += [self.outcome(getattr(m, n), context) for n in QUERIES[: 4 if dense else 2]]
        state += [self.outcome(m.predict_proba, h) for h in target.probes if ok and dense]
        state += [self.outcome(lambda: repr(m.summary())), self.outcome(m.__reduce__)]
        return [*state, (ok, contexts if ok else str(contexts))]

    def outcome(self, function, *args):
        ok, value = self.call(function, *args)
        return (ok, value) if ok else (ok, type(value), str(value))

    def compare(self, target, label, deep=False):
        """Checks that the model answers as before; `deep` also checks its invariants."""
        changed = self.snapshot(target) != target.snap
        assert not changed, f"{label() if callable(label) else label}: the model changed"
        if deep and target.snap[-1][0]:
            self.invariants(target)

    # ---- counts: split, merged, saved and loaded, they fit as their rows in order ----

    def plan_counts(self):
        """A call on counts, planned now and made later."""
        kind = self.below(6)
        if kind == 0 or not self.tallies:
            source = self.pick(self.pool)
            alphabet, depth = source.alphabet, source.max_depth
            if self.hostile():
                alphabet, depth = self.pick(((1, depth), (alphabet, 65535), (alphabet, 65536)))
            part = self.pick((0, 1, 2, 7, 2**64 - 1, 3))
            starts = self.pick((False, True, 1, None) if self.hostile() else (False, True))
            return lambda: self.new_counts(alphabet, depth, part, starts)
        tally = self.pick(self.tallies)
        if kind == 1:
            rows = [self.plain_row(tally.counts) for _ in range(self.pick((1, 2, 0, 3)))]
            return lambda: self.add_rows(tally, rows)
        if kind == 2:
            other = self.pick(self.tallies)
            return lambda: self.merge(tally, other)
        if kind == 3:
            method = self.pick(("bct", "bic", "peres_shield"))
            return lambda: self.fit_counts(tally, method)
        if kind == 5:
            return plan_mixture(self, tally)
        edits = [(self.below(4096), self.below(256), self.below(4)) for _ in range(self.below(4))]
        return lambda: self.reload(tally, edits)

    def plain_row(self, counts):
        """Symbols as a list of ints, now and then one outside the alphabet."""
        a, depth = counts.alphabet_size, counts.max_depth
        length = max(0, min(depth, 16) + self.below(60) - 4)
        motif = [self.below(min(a, 8)) for _ in range(1 + self.below(4))]
        row = [
            motif[i % len(motif)] if self.below(6) else self.below(min(a, 8)) for i in range(length)
        ]
        if row and self.hostile():
            row[self.below(len(row))] = self.pick((a, a + 1, 2**64 - 1))
        return row

    def new_counts(self, alphabet, depth, part, starts):
        ok, counts = self.call(Counts, alphabet, depth, part=part, starts=starts)
        if not isinstance(starts, bool):
            assert not ok and type(counts) is TypeError, f"starts={starts!r}: {counts!r}"
            return
        assert ok == (alphabet >= 2 and depth <= 65535), f"Counts({alphabet}, {depth}): {counts!r}"
        assert not ok or counts.starts is starts
        if ok and len(self.tallies) < 4:
            self.tallies.append(Tally(counts))

    def add_rows(self, tally, rows):
        counts, before = tally.counts, state_of(tally.counts)
        container = self.pick(
            (list, tuple, lambda rs: [bytes(r) if max(r, default=0) < 256 else r for r in rs])
        )
        ok, value = self.call(counts.add, container(rows))
        valid = all(s < counts.alphabet_size for row in rows for s in row)
        assert ok == valid, f"add({short(rows)}): {value!r}"
        if ok:
            tally.rows.setdefault(counts.part, []).extend(rows)
        else:
            assert type(value) is ValueError and state_of(counts) == before, f"add: {value!r}"

    def merge(self, a, b):
        ok, merged = self.call(operator.add, a.counts, b.counts)
        same = (a.counts.alphabet_size, a.counts.max_depth, a.counts.starts) == (
            b.counts.alphabet_size,
            b.counts.max_depth,
            b.counts.starts,
        )
        clash = bool(a.parts() & b.parts())
        assert ok == (same and not clash), f"merge: {merged!r}"
        if not ok:
            assert type(merged) is ValueError, f"merge: {merged!r}"
            return
        rows = {
            part: list(a.rows.get(part, [])) + list(b.rows.get(part, []))
            for part in a.rows | b.rows
        }
        assert merged.part == max(a.counts.part, b.counts.part) and merged.starts == a.counts.starts
        tally = Tally(merged, rows)
        if len(self.tallies) < 4:
            self.tallies.append(tally)
        else:
            self.tallies[self.below(4)] = tally

    def fit_counts(self, tally, method):
        counts = tally.counts
        if counts.starts:
            self.refused_as_trees(counts, method)
            return
        if counts.alphabet_size > DENSE_MAX or counts.max_depth > 16:
            return
        beta = 0.75 if method == "bct" and counts.alphabet_size > 50 else None
        fitted, direct = (
            OSTREL(counts.alphabet_size, counts.max_depth, method, beta) for _ in "ab"
        )
        ok, value = self.call(fitted.fit, counts)
        assert ok, f"fit(counts) raised {value!r}"
        ok, value = self.call(direct.fit, tally.ordered())
        assert ok, f"fit(rows) raised {value!r}"
        a, b = Model(self, fitted), Model(self, direct)
        assert a.snap == b.snap, f"{method}: counts fit otherwise than their rows"
        self.invariants(a)
        if method == "bct" and counts.max_depth <= 6:
            trees = counts.top_trees(1 + self.below(4), beta)
            evidence = counts.log_evidence(beta)
            assert trees[0][0] == fitted.get_contexts(), "the best tree is not bct's"
            posteriors = [p for _, p in trees]
            assert posteriors == sorted(posteriors, reverse=True) and posteriors[0] <= 1e-9
            assert math.isfinite(evidence) and evidence <= 0.0, f"evidence {evidence}"
            stats = counts.tree_statistics(trees[-1][0], beta)
            assert abs(stats["log_posterior"] - trees[-1][1]) <= 1e-9 * max(1.0, -evidence)
        if method != "peres_shield":
            # The selected tree, given, fits the same model; a damaged one is refused whole.
            tree = fitted.get_contexts()
            given = OSTREL(counts.alphabet_size, counts.max_depth, method, beta)
            ok, value = self.call(given.fit_tree, counts, tree)
            assert ok and Model(self, given).snap == a.snap, f"fit_tree: {value!r}"
            damaged = [list(c) for c in tree]
            damaged[self.below(len(damaged))].append(self.below(counts.alphabet_size + 1))
            ok, value = self.call(given.fit_tree, counts, damaged[: 1 + self.below(len(damaged))])
            assert ok or type(value) is ValueError, f"fit_tree of {short(damaged)}: {value!r}"
            if not ok:
                assert Model(self, given).snap == a.snap, "a failed fit_tree changed the model"
        depth = self.below(counts.max_depth + 1)
        ok, value = self.call(counts.context_counts, depth)
        assert ok, f"context_counts({depth}): {value!r}"
        contexts, table = value
        assert sum(map(sum, table.tolist())) == counts.sample_size and len(contexts) == len(table)
        assert counts.max_log_likelihood(depth) <= 1e-9

    def refused_as_trees(self, counts, method):
        """Counts from their rows' start are no tree over the symbols: every reader of one
        refuses them with ValueError."""
        beta = 0.75 if method == "bct" else None
        model = OSTREL(counts.alphabet_size, counts.max_depth, method, beta)
        for call in (
            lambda: model.fit(counts),
            lambda: model.fit_tree(counts, [[]]),
            lambda: counts.top_trees(1),
            lambda: counts.context_counts(0),
            lambda: counts.max_log_likelihood(),
            lambda: counts.tree_statistics([[]]),
        ):
            ok, value = self.call(call)
            assert not ok and type(value) is ValueError, f"a reader of trees: {value!r}"

    def reload(self, tally, edits):
        """Loads the counts' state, edited: a state loads as what was saved, or as a
        state that saves to the same bytes and fits; else it raises ValueError."""
        state = bytearray(state_of(tally.counts))
        for at, value, how in edits:
            at %= len(state) + 1
            if how == 0:
                state[at : at + 1] = bytes([value])
            elif how == 1:
                state.insert(at, value)
            elif how == 2:
                del state[at:]
            else:
                state[at : at + 2] = b""
        ok, loaded = self.call(ostrel._restore, bytes(state))
        if not ok:
            assert edits and type(loaded) is ValueError, f"_restore: {loaded!r}"
            assert str(loaded).startswith("invalid ostrel state: "), f"_restore: {loaded!r}"
            return
        assert type(loaded) is Counts and state_of(loaded) == state, "a state saves otherwise"
        if not edits:
            tally.counts = loaded
            return
        for method in ("bct", "bic", "peres_shield"):
            if loaded.starts:
                self.refused_as_trees(loaded, method)
                break
            if loaded.alphabet_size > DENSE_MAX or loaded.max_depth > 64:
                break
            beta = 0.75 if method == "bct" and loaded.alphabet_size > 50 else None
            model = OSTREL(loaded.alphabet_size, loaded.max_depth, method, beta)
            ok, value = self.call(model.fit, loaded)
            assert ok or type(value) is MemoryError, f"fit of a loaded state: {value!r}"
            if ok:
                self.invariants(Model(self, model))


def distribution(p, where):
    ok = p is None or (abs(math.fsum(p) - 1.0) <= 1e-9 and min(p) > 0.0 and max(p) <= 1.0)
    assert ok, f"{where}: not a distribution: {short(p)}"


def main():
    warnings.simplefilter("ignore")
    # Python coverage of the harness's choices guides too; not of the per-symbol ones (too slow).
    for name in ("plan", "real", "text", "sequence", "invoke", "use", "plan_counts", "merge"):
        function = getattr(Session, name)
        function.__code__ = atheris.patch_code(function.__code__, False)
    atheris.Setup(sys.argv, lambda data: Session(data).run())
    atheris.Fuzz()


if __name__ == "__main__":
    main()
