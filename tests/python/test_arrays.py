"""Answers in bulk: each batched method gives bit for bit what its scalar method gives, as
ostrel.Array results whose buffer NumPy views without a copy; Counts merge in place, sum and
report their size."""

import copy
import pickle
import random
import sys

import numpy as np
import pytest
from conftest import WORD_BITS, fitted, outcome, training_rows

from ostrel import Counts

METHODS = [("bct", {}), ("bic", {}), ("peres_shield", {})]


def random_models(seed, count=12):
    rng = random.Random(seed)
    for _ in range(count):
        alphabet = rng.choice([2, 3, 5])
        method, options = rng.choice(METHODS)
        rows = training_rows(rng, alphabet)
        model = fitted(alphabet, rows, max_depth=rng.randint(0, 4), method=method, **options)
        histories = [[rng.randrange(alphabet) for _ in range(rng.randint(0, 7))] for _ in range(15)]
        yield model, histories


def test_batched_answers_are_the_scalar_answers_bit_for_bit():
    for model, histories in random_models(1):
        for skip in (None, 0, 2):
            terms = model.pointwise_log_likelihood(histories, skip=skip).tolist()
            start = model.max_depth if skip is None else skip
            totals = []
            for row in histories:
                total = 0.0
                for _ in range(max(0, len(row) - start)):
                    total += terms.pop(0)
                totals.append(total)
            assert terms == []
            assert totals == model.log_likelihood(histories, skip=skip)
        table = model.predict_proba_batch(histories)
        assert table.shape == (len(histories), model.alphabet_size)
        assert table.tolist() == [model.predict_proba(h) for h in histories]
        many = histories * 40  # many beside the tree: rows computed once, then copied
        assert model.predict_proba_batch(many).tolist() == table.tolist() * 40
        for rows in (histories, many):
            out = np.full((len(rows), model.alphabet_size), np.nan)
            assert model.predict_proba_batch(rows, out=out) is out
            assert out.tolist() == model.predict_proba_batch(rows).tolist()
        for k in (1, 2, 10**30):
            symbols, probabilities = model.top_k(histories, k)
            answers = zip(histories, symbols.tolist(), probabilities.tolist(), strict=True)
            for h, got_s, got_p in answers:
                p = model.predict_proba(h)
                ranked = sorted(range(len(p)), key=lambda s: (-p[s], s))[:k]
                assert (got_s, got_p) == (ranked, [p[s] for s in ranked])


def test_arrays_are_zero_copy_views_with_dtype_and_shape():
    model = fitted(300, [[i % 300 for i in range(0, 5000, 7)]], max_depth=1, beta=0.5)
    histories = np.array([[1, 2], [3, 4], [5, 6]], dtype=np.uint16)
    table = model.predict_proba_batch(histories)
    view = np.asarray(table)
    assert (view.dtype, view.shape, table.dtype, table.format) == (
        np.float64,
        (3, 300),
        "float64",
        "d",
    )
    view[0, 0] = 7.0  # a view of the Array's own items
    assert table[0][0] == 7.0 and table[0].shape == (300,) and len(table) == 3
    symbols, probabilities = model.top_k(histories, 4)
    assert np.asarray(symbols).dtype == np.int64 and symbols.shape == (3, 4)
    assert np.asarray(probabilities).dtype == np.float64
    drawn = model.sample(1000, seed=3)
    assert (np.asarray(drawn).dtype, drawn.itemsize, drawn.nbytes) == (np.uint16, 2, 2000)
    assert fitted(4, [[0, 1, 2, 3] * 9]).sample(5, seed=1).dtype == "uint8"
    # Arrays pickle, copy, compare through tolist() and read back as rows.
    for clone in (pickle.loads(pickle.dumps(table)), copy.deepcopy(table)):
        assert clone == table and clone.tolist() == table.tolist() and clone is not table
    assert drawn == drawn.tolist() and list(drawn) == drawn.tolist()
    from_array = fitted(300, [drawn], max_depth=1, beta=0.5)
    from_list = fitted(300, [list(drawn)], max_depth=1, beta=0.5)
    assert pickle.dumps(from_array) == pickle.dumps(from_list)
    assert sys.getsizeof(table) >= table.nbytes
    # A table of 16 MiB or more is made apart (streamed, in large pages): the same Array.
    large = model.predict_proba_batch(np.repeat(histories, 2400, axis=0))
    assert (np.asarray(large).dtype, large.shape, large.format) == (np.float64, (7200, 300), "d")
    rows = [large[2400].tolist(), large[-1].tolist()]
    assert large[2400::2400].tolist() == table[1:].tolist() == rows
    assert pickle.loads(pickle.dumps(large)) == large and sys.getsizeof(large) >= large.nbytes


def test_bulk_methods_check_their_arguments():
    model = fitted(3, [[0, 1, 2, 0, 1, 2, 1]], max_depth=2)
    assert outcome(lambda: model.top_k([[0]], 0)) == (ValueError, "k must be at least 1")
    assert outcome(lambda: model.top_k([[0]], 1.5))[0] is TypeError
    assert "argument 'k'" in outcome(lambda: model.top_k([[0]], "2"))[1]
    assert outcome(lambda: model.predict_proba_batch([[0], [1, 5]])) == (
        ValueError,
        "symbol 5 at histories[1][1] is outside 0..3",
    )
    # A buffer to write into is checked before the histories' symbols; a refused
    # call writes nothing into it.
    mixture = Counts(3, 2).mixture()
    for method in (model.predict_proba_batch, mixture.predict_proba_batch):
        kept = np.full((2, 3), 9.0)
        assert outcome(lambda m=method, k=kept: m([[0], [1, 5]], out=k))[0] is ValueError
        for bad, error in (
            (np.zeros((2, 3), np.float32), TypeError),
            (np.zeros((3, 2)).T, TypeError),  # not C-contiguous
            (np.zeros((2, 3)).astype(">f8" if sys.byteorder == "little" else "<f8"), TypeError),
            (bytearray(48), TypeError),
            ([[0.0] * 3] * 2, TypeError),
            (np.zeros(6), ValueError),
            (np.zeros((2, 4)), ValueError),
        ):
            got = outcome(lambda m=method, b=bad: m([[0], [1, 5]], out=b))
            assert got[0] is error and "argument 'out'" in got[1], got
        kept.flags.writeable = False
        assert outcome(lambda m=method, k=kept: m([[0], [1]], out=k))[0] is TypeError
        assert (kept == 9.0).all()
    assert outcome(lambda: model.pointwise_log_likelihood([[0, 7]])) == outcome(
        lambda: model.log_likelihood([[0, 7]])
    )
    assert outcome(lambda: model.pointwise_log_likelihood([[0]], skip=-1)) == outcome(
        lambda: model.log_likelihood([[0]], skip=-1)
    )
    unfitted = type(model)(3)
    for call in (
        lambda m: m.pointwise_log_likelihood([[0]]),
        lambda m: m.predict_proba_batch([[0]]),
        lambda m: m.top_k([[0]], 2),
    ):
        assert outcome(lambda c=call: c(unfitted)) == outcome(lambda: unfitted.predict_proba([0]))
    # bic: a bct tree over so wide an alphabet may hold a leaf per symbol
    huge = fitted(2 ** (WORD_BITS - 2), [[0, 1, 0]], max_depth=1, method="bic")
    with pytest.raises(MemoryError):
        huge.predict_proba_batch([[0], [1]])  # more than an array could hold
    assert huge.top_k([[0]], 2)[1].shape == (1, 2)  # never builds a whole row
    if WORD_BITS == 64:  # rows of 2**63 entries: not even an empty table has that shape
        with pytest.raises(MemoryError):
            fitted(2**63 + 1, [[0, 1, 0]], max_depth=1, beta=0.5).predict_proba_batch([])
        wide = Counts(2**63 + 1, 1).mixture(beta=0.5)
        for call in (lambda: wide.predict_proba_batch([]), lambda: wide.update([], True)):
            with pytest.raises(MemoryError):
                call()


def test_counts_merge_in_place_and_sum():
    shards = [Counts(3, 2, part=p) for p in range(4)]
    for p, shard in enumerate(shards):
        shard.add([[p % 3, 1, 2, 0, 1, (p + 1) % 3] * (p + 1)])
    expected = pickle.dumps(shards[0] + shards[1] + shards[2] + shards[3])
    assert pickle.dumps(sum(shards)) == expected
    assert sum(shards[:1]) is not shards[0]
    total = copy.copy(shards[0])
    alias = total
    for shard in shards[1:]:
        total += shard
    assert total is alias and pickle.dumps(total) == expected
    before = pickle.dumps(total), pickle.dumps(shards[2])
    with pytest.raises(ValueError):
        total += shards[2]  # part 2 is held by both: refused, nothing changes
    with pytest.raises(ValueError):
        total += Counts(4, 2)
    assert (pickle.dumps(total), pickle.dumps(shards[2])) == before
    assert outcome(lambda: total + total) == outcome(lambda: total.__iadd__(total))
    with pytest.raises(TypeError):
        total += 1
    assert sys.getsizeof(total) > sys.getsizeof(Counts(3, 2)) + 64
    model = fitted(3, [[0, 1, 2] * 50], max_depth=2)
    assert sys.getsizeof(model) > sys.getsizeof(type(model)(3)) + 64
