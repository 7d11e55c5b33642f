"""log_likelihood, sample and summary: exact against their definitions, arguments checked in
order and named."""

import math
import random
import struct

import pytest
from conftest import WORD_BITS, fitted, training_rows
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrel
from ostrel import OSTREL

METHODS = ["bct", "bic", "peres_shield"]
NOT_FITTED = "fit must be called before querying the model"
MASK = 2**64 - 1


def loop_log_likelihood(model, rows, skip):
    """The Python loop log_likelihood stands for: math.log of predict_proba, left to right (a
    model looks back at most max_depth symbols, so the history is cut to those)."""
    totals = []
    for row in rows:
        total = 0.0
        for i in range(skip, len(row)):
            history = row[max(0, i - model.max_depth) : i]
            total += math.log(model.predict_proba(history)[row[i]])
        totals.append(total)
    return totals


@settings(max_examples=60, deadline=None, derandomize=True)
@given(
    seed=st.integers(0, 2**32 - 1),
    alphabet=st.integers(2, 5),
    max_depth=st.integers(0, 4),
    method=st.sampled_from(METHODS),
    skip=st.sampled_from([None, 0, 1, 3, 50]),
)
def test_log_likelihood_is_the_loop_bit_for_bit(seed, alphabet, max_depth, method, skip):
    rng = random.Random(seed)
    model = fitted(alphabet, training_rows(rng, alphabet), max_depth=max_depth, method=method)
    rows = [*training_rows(rng, alphabet), [], [rng.randrange(alphabet)]]
    start = max_depth if skip is None else skip
    assert model.log_likelihood(rows, skip) == loop_log_likelihood(model, rows, start)


@pytest.mark.parametrize("method", ["bic", "peres_shield"])
@pytest.mark.parametrize("positions", [40, 30_000], ids=["few", "many"])
def test_log_likelihood_of_a_large_alphabet(method, positions):
    # Few positions walk the trie's lists; many build the dense tables first.
    rng = random.Random(positions)
    data = [[rng.randrange(300) if rng.random() < 0.3 else rng.randrange(3) for _ in range(20_000)]]
    model = fitted(300, data, max_depth=2, method=method)
    row = [rng.randrange(300) if rng.random() < 0.3 else rng.randrange(3) for _ in range(positions)]
    assert model.log_likelihood([row], 0) == loop_log_likelihood(model, [row], 0)


def test_log_likelihood_takes_rows_as_fit_does():
    np = pytest.importorskip("numpy")
    model = fitted(3, [[0, 1, 2, 1, 0, 0, 1, 2] * 5], max_depth=2)
    rows = [[0, 1, 2, 2, 1], [1, 1, 0, 2, 0]]
    expected = model.log_likelihood(rows)
    assert model.log_likelihood(np.array(rows, dtype=np.uint8)) == expected
    assert model.log_likelihood((bytes(rows[0]), tuple(rows[1]))) == expected
    assert model.log_likelihood([]) == []


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda m: m.log_likelihood("01"),
            TypeError,
            "argument 'data': Can't extract `str` to `Vec`",
        ),
        (lambda m: m.log_likelihood([[0, 1.5]]), TypeError, "argument 'data': "),
        (lambda m: m.log_likelihood([[0, -1]]), OverflowError, ""),
        (lambda m: m.log_likelihood([[9]], skip=0.5), TypeError, "argument 'skip': "),
        (lambda m: m.log_likelihood([[9]], skip=-1), OverflowError, ""),
        (lambda m: m.log_likelihood([[0], [1, 2, 7]], 0), ValueError, "symbol 7 at data[1][2] is"),
        (lambda m: m.sample(-1, history="x"), OverflowError, ""),
        (lambda m: m.sample(1.0), TypeError, "argument 'n': "),
        (lambda m: m.sample(2, 3), TypeError, "OSTREL.sample() takes 1 positional arguments"),
        (lambda m: m.sample(2, seed=-1), OverflowError, ""),
        (lambda m: m.sample(2, seed=2**64), OverflowError, ""),
        (lambda m: m.sample(2, seed="1"), TypeError, "argument 'seed': "),
        (lambda m: m.sample(2, history="01"), TypeError, "argument 'history': Can't extract"),
        (lambda m: m.sample(2, history=[0, 9]), ValueError, "symbol 9 at sequence[1] is outside"),
    ],
)
@pytest.mark.parametrize("fit_first", [True, False], ids=["fitted", "unfitted"])
def test_argument_errors_come_before_the_fitted_test(call, error, message, fit_first):
    model = OSTREL(4, max_depth=1)
    if fit_first:
        model.fit([[0, 1, 2, 3, 0]])
    with pytest.raises(error) as excinfo:
        call(model)
    assert type(excinfo.value) is error
    assert str(excinfo.value).startswith(message)


@pytest.mark.parametrize(
    "call",
    [lambda m: m.log_likelihood([[3, 0]]), lambda m: m.sample(3, history=[3]), OSTREL.summary],
)
def test_scoring_sampling_and_summary_need_a_fit(call):
    with pytest.raises(RuntimeError) as excinfo:
        call(OSTREL(4))
    assert str(excinfo.value) == NOT_FITTED


def test_too_many_draws_are_refused_before_anything_is_made():
    model = fitted(2, [[0, 1, 1, 0]], max_depth=1)
    with pytest.raises(MemoryError):
        model.sample(2 ** (WORD_BITS - 2))  # more than a list can hold
    with pytest.raises(OverflowError):
        model.sample(2**64)
    assert model.sample(0, seed=1) == []


# ---- sampling ---------------------------------------------------------------------------


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


class Xoshiro256StarStar:
    def __init__(self, seed):
        self.s = []
        for _ in range(4):
            seed, word = splitmix64(seed)
            self.s.append(word)

    def next(self):
        s = self.s

        def rotl(x, k):
            return ((x << k) | (x >> (64 - k))) & MASK

        result = (rotl((s[1] * 5) & MASK, 7) * 9) & MASK
        t = (s[1] << 17) & MASK
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result


def documented_sample(model, n, seed, history):
    """The draws as documented: weights 2 c + 1 out of 2 n + A at the node predict_proba uses,
    u from the top bits of the next output (or two), the symbol whose weight range holds u."""
    rng, alphabet, drawn, history = Xoshiro256StarStar(seed), model.alphabet_size, [], list(history)
    for _ in range(n):
        counts = model.get_transition_counts(model.get_suffix(history))
        total = 2 * sum(counts) + alphabet
        bits = (total - 1).bit_length()
        u = total
        while u >= total:
            if bits <= 64:
                u = rng.next() >> (64 - bits)
            else:
                u = (rng.next() >> (128 - bits)) << 64 | rng.next()
        symbol = 0
        while u >= 2 * counts[symbol] + 1:
            u -= 2 * counts[symbol] + 1
            symbol += 1
        drawn.append(symbol)
        history.append(symbol)
    return drawn


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("seed, history", [(0, ()), (1, [2, 0, 1]), (MASK, [1] * 30)])
def test_sample_draws_as_documented(method, seed, history):
    rng = random.Random(seed % 1000)
    model = fitted(3, [*training_rows(rng, 3), [0, 1, 2, 2, 1] * 60], max_depth=3, method=method)
    drawn = model.sample(400, seed=seed, history=history)
    assert drawn == documented_sample(model, 400, seed, history)
    assert model.sample(400, seed=seed, history=history) == drawn


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def root_only_state(counts, method=0, beta=0.75):
    """The state of a fitted model of max_depth 0 whose root has these counts."""
    alphabet, width = len(counts), 1
    head = b"ostrelM\x01" + bytes([method]) + varint(alphabet) + varint(0)
    head += struct.pack("<dd", beta, 1.0) + b"\x01" + varint(1) + varint(sum(c > 0 for c in counts))
    records = b"".join(s.to_bytes(width, "little") + varint(c) for s, c in enumerate(counts) if c)
    return head + varint(sum(c > 0 for c in counts)) + records


@pytest.mark.parametrize(
    "counts",
    [[2**63, 0, 2**63 - 7], [2**63 - 1, 0], [3, 0, 0, 0, 5]],
    ids=["weights-above-2**64", "weights-of-2**64", "small"],
)
def test_sample_from_counts_beyond_a_word(counts):
    # Counts no data reaches, from a state: the draw takes two outputs past 2**64.
    model = ostrel._restore(root_only_state(counts))
    for seed in (3, 4, 5):
        assert model.sample(200, seed=seed) == documented_sample(model, 200, seed, [])


def test_sample_is_faithful_to_the_model():
    # A long sample refitted recovers the contexts and their probabilities within five
    # standard errors of the counts after each (plus the smoothing's pull, 1.5 / count).
    source = fitted(
        3, [[0, 1, 2, 2, 1, 0, 0, 2, 1] * 40 + [1, 0, 2] * 30], max_depth=2, method="bic"
    )
    refit = fitted(3, [source.sample(300_000, seed=11, history=[0, 1])], max_depth=2, method="bic")
    assert refit.get_contexts() == source.get_contexts()
    for context in source.get_contexts():
        n = refit.get_counts(context)
        assert n > 500
        for p, q in zip(
            source.get_distribution(context), refit.get_distribution(context), strict=True
        ):
            assert abs(p - q) <= 5 * math.sqrt(p * (1 - p) / n) + 1.5 / n


def test_without_a_seed_each_sample_is_new():
    model = fitted(4, [[0, 1, 2, 3, 1, 1, 0, 3, 2, 2, 0, 1] * 4], max_depth=0)
    assert model.sample(64) != model.sample(64)


# ---- summary ----------------------------------------------------------------------------


def test_summary_charges_each_position_to_its_context():
    # peres_shield keeps [0] below the root, which stays a context: after a 0 come 100 ones and
    # 100 twos; the root answers for the 200 zeros after the ones and twos alone.
    model = fitted(3, [([0, 1, 0, 2] * 101)[:401]], max_depth=1, method="peres_shield")
    assert model.get_contexts() == [[], [0]]
    assert model.get_transition_counts([]) == [200, 100, 100]
    log_likelihood = 0.0 + 200 * math.log(200 / 200)  # the root: nodes in order, symbols ascending
    log_likelihood += 100 * math.log(100 / 200)
    log_likelihood += 100 * math.log(100 / 200)
    summary = model.summary()
    assert list(summary) == [
        "contexts",
        "sample_size",
        "parameters",
        "log_likelihood",
        "aic",
        "bic",
    ]
    assert summary == {
        "contexts": 2,
        "sample_size": 400,
        "parameters": 4,
        "log_likelihood": log_likelihood,
        "aic": -2.0 * log_likelihood + 2.0 * 4,
        "bic": -2.0 * log_likelihood + 4 * math.log(400),
    }


def test_summary_of_leaves_and_of_no_data():
    # bic splits the root; [2] has no counts and adds nothing.
    model = fitted(3, [[0, 1] * 20 + [0]], max_depth=1, method="bic")
    assert model.get_contexts() == [[0], [1], [2]]
    summary = model.summary()
    assert (summary["log_likelihood"], summary["parameters"], summary["sample_size"]) == (
        0.0,
        6,
        40,
    )
    assert summary["bic"] == -2.0 * 0.0 + 6 * math.log(40)

    empty = fitted(5, [], max_depth=3).summary()
    assert {k: v for k, v in empty.items() if k != "bic"} == {
        "contexts": 1,
        "sample_size": 0,
        "parameters": 4,
        "log_likelihood": 0.0,
        "aic": 8.0,
    }
    assert math.isnan(empty["bic"])


def test_parameters_are_exact_for_huge_alphabets():
    alphabet = 2**WORD_BITS - 1
    model = fitted(alphabet, [[alphabet - 1, 0, 5]], max_depth=1, method="peres_shield")
    summary = model.summary()
    assert summary["parameters"] == alphabet - 1
    assert summary["aic"] == -2.0 * summary["log_likelihood"] + 2.0 * float(alphabet - 1)
