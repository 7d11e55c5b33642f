"""Alphabets near the native word, fits that run out of memory and contexts of the deepest
depth: each is refused or answered without a crash, and never corrupts the model."""

import math
import os
import pickle
import random
import subprocess
import sys
import textwrap

import pytest
from conftest import WORD_MAX

from ostrel import OSTREL, Counts

DEEP = 65535  # the deepest context a node can record


def answers(model, histories):
    """Every answer of a fitted model that does not need alphabet-sized lists."""
    contexts = model.get_contexts()
    return [
        contexts,
        [model.get_counts(c) for c in contexts],
        [model.get_suffix(h) for h in histories],
        [getattr(model, name) for name in ("sample_size", "node_count", "context_count")],
        [model.effective_max_depth, model.alphabet_size, model.max_depth, model.method],
    ]


@pytest.mark.parametrize("alphabet", [WORD_MAX, WORD_MAX // 2 + 1])
@pytest.mark.parametrize(
    ("method", "options", "must_fit"),
    [
        ("bic", {}, True),
        ("peres_shield", {}, True),
        # A split needs one child per symbol: these may refuse the fit instead.
        ("bct", {"beta": 0.9}, False),
        ("bic", {"penalty": 1e-300}, False),
    ],
)
def test_alphabet_near_the_native_word(alphabet, method, options, must_fit):
    top = alphabet - 1
    model = OSTREL(alphabet, 1, method, **options)
    constant = [[top] * 40]
    model.fit(constant)
    row = [0, top] * 150
    histories = [[], [0], row]
    before = answers(model, histories)
    try:
        model.fit([row])
    except MemoryError:
        assert not must_fit
        assert answers(model, histories) == before
    if method == "peres_shield":  # both one-symbol contexts deviate from the root
        assert model.get_contexts() == [[], [0], [top]]
        assert (model.get_suffix(row), model.get_counts([top]), model.get_counts([0])) == (
            [top],
            149,
            150,
        )
    settled = answers(model, histories)
    for query in (model.get_distribution, model.get_transition_counts, model.predict_proba):
        with pytest.raises(MemoryError):
            query([])
        with pytest.raises(ValueError, match=f"^symbol {alphabet} at sequence"):
            query([alphabet])
    assert answers(model, histories) == settled
    model.fit(constant)  # the borrow of every refused query was given back


EXHAUST = """
import random, resource
from ostrel import OSTREL

def answers(model):
    contexts = model.get_contexts()
    return [contexts, model.node_count, model.sample_size, model.effective_max_depth,
            [model.get_transition_counts(c) for c in contexts],
            [model.predict_proba(c) for c in [[], [1, 2], [7] * 9]]]

rng = random.Random(3)
medium = [rng.randbytes(10**5)]
# 3 * 10**7 positions whose contexts are almost all distinct: sorting them alone
# needs more than a gigabyte.
huge = [rng.randbytes(3 * 10**7)]
models = [OSTREL(256, 8, "bct", beta=0.9), OSTREL(256, 8, "bic", penalty=0.01)]
for model in models:
    model.fit([rng.randbytes(3000), list(range(256))])
before = [answers(model) for model in models]
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
limit = size + 300 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
OSTREL(256, 8, "bic").fit(medium)  # a trie of some 50 MB still fits under the limit
for model in models:
    try:
        model.fit(huge)
    except MemoryError:
        pass
    else:
        raise SystemExit("the fit did not exceed the limit")
assert [answers(model) for model in models] == before
OSTREL(256, 8, "bic").fit(medium)  # the failed fits gave their memory back
print("done")
"""


@pytest.mark.skipif(
    bool(os.environ.get("OSTREL_SANITIZED")),
    reason="the sanitizer's allocator reserves its own address space and aborts when it runs out",
)
def test_fit_that_exhausts_memory_keeps_the_old_model():
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(EXHAUST)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (run.returncode, run.stdout, run.stderr) == (0, "done\n", "")


def long_rows(rows, alphabet):
    rng = random.Random(rows)
    extra = 30 if rows == 1 else 10  # 30 counted positions either way
    return [[rng.randrange(alphabet) for _ in range(DEEP + extra)] for _ in range(rows)]


@pytest.mark.parametrize(("rows", "alphabet"), [(1, 2), (3, 3)])
@pytest.mark.parametrize(
    ("method", "options"),
    [("bct", {}), ("bic", {}), ("bic", {"penalty": 1e-300}), ("peres_shield", {})],
)
def test_deepest_max_depth_fits_and_answers(rows, alphabet, method, options):
    data = long_rows(rows, alphabet)
    model = OSTREL(alphabet, DEEP, method, **options)
    model.fit(data)
    assert model.sample_size == model.get_counts([]) == 30
    assert model.effective_max_depth == (1 if method == "peres_shield" else DEEP)
    contexts = model.get_contexts()
    assert len(contexts) == model.context_count
    for context in contexts:
        counts = model.get_transition_counts(context)
        assert sum(counts) == model.get_counts(context)
        expected = [(c + 0.5) / (sum(counts) + alphabet * 0.5) for c in counts]
        assert model.get_distribution(context) == expected
    for row in data:
        for history in (row, row[:-1], row[:DEEP]):
            suffix = model.get_suffix(history)
            assert suffix in contexts and history[len(history) - len(suffix) :] == suffix
            assert model.predict_proba(history) == model.get_distribution(suffix)
        with pytest.raises(KeyError):
            model.get_counts(row[-DEEP - 1 :])


def test_selected_tree_as_deep_as_a_context_can_be():
    # The two counted contexts differ only in their oldest symbol and are followed by
    # different symbols, so a tiny penalty splits every level on the way down to them.
    older_one, zeros = [1] + [0] * (DEEP - 1), [0] * DEEP
    model = OSTREL(2, DEEP, "bic", penalty=1e-300)
    model.fit([[*older_one, 0], [*zeros, 1]])
    # get_contexts is left out: its answer would hold about DEEP**2 / 2 symbols.
    assert (model.node_count, model.context_count) == (2 * DEEP + 1, DEEP + 1)
    assert model.get_suffix(older_one) == older_one
    assert model.get_suffix([1, *zeros]) == zeros
    assert model.get_suffix(zeros[1:]) == zeros[1:]  # no terminal reached: the last node
    assert model.get_transition_counts(older_one) == [1, 0]
    assert model.predict_proba(older_one) == model.get_distribution(older_one) == [0.75, 0.25]
    assert model.predict_proba(zeros) == [0.25, 0.75]
    sibling = [1] + [0] * 100  # a zero-count child added by the split above it
    assert model.get_suffix([0, *sibling]) == sibling
    assert (model.get_counts(sibling), model.predict_proba(sibling)) == (0, [0.5, 0.5])


@pytest.mark.parametrize(("alphabet", "depth", "beta"), [(2, DEEP, 0.5), (WORD_MAX, 2, 0.75)])
def test_counts_at_the_extremes_fit_as_their_rows(alphabet, depth, beta):
    rows = long_rows(3, 2) if depth == DEEP else [[WORD_MAX - 1, 0, 7] * 40, [5, 6, 7]]
    counts = Counts(alphabet, depth)
    counts.add(rows)
    counts = pickle.loads(pickle.dumps(counts))
    for method, options in [("bct", {"beta": beta}), ("bic", {}), ("peres_shield", {})]:
        from_counts, from_rows = (OSTREL(alphabet, depth, method, **options) for _ in "ab")
        from_counts.fit(counts)
        from_rows.fit(rows)
        assert from_counts.get_contexts() == from_rows.get_contexts()
        assert from_counts.node_count == from_rows.node_count
    assert math.isfinite(counts.log_evidence(beta))
    if alphabet == WORD_MAX:
        # A runner-up splits the root into one context per symbol: refused at once.
        with pytest.raises(MemoryError):
            counts.top_trees(2, beta)
    else:
        assert counts.top_trees(1, beta)[0][0] == from_counts.get_contexts()
