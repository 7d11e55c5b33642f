"""Shared helpers: what the expected answers take from the platform (the width of the native
word), what a caller can read back from a fitted model, and the objects and rows the test
files share."""

import struct

from ostrel import OSTREL

# Symbols and sizes are native unsigned words: 32 bits on armhf, 64 on x86-64.
WORD_BITS = struct.calcsize("P") * 8
WORD_MAX = 2**WORD_BITS - 1
# An integer that fits 64 bits but not the word raises OverflowError with the
# binding's own message; a wider or negative one gets the interpreter's.
WORD_OVERFLOW = "out of range integral type conversion attempted"
# Integers no word holds: the first above the word, the largest 64-bit value and
# the first above 64 bits (on a 64-bit build only 2**64 is left).
BEYOND_WORD = sorted({WORD_MAX + 1, 2**64 - 1, 2**64} - {WORD_MAX})


def check_word_overflow(error, value):
    """Asserts that `error` is the OverflowError converting `value` to a word raises."""
    assert type(error) is OverflowError
    message = str(error)
    assert not message.startswith("argument")
    if 0 <= value < 2**64:
        assert message == WORD_OVERFLOW


FITTED_PROPERTIES = ["sample_size", "node_count", "context_count", "effective_max_depth"]


class Index:
    """An integer-like object: its conversion gives `value`, or, when `value` is callable,
    runs it (caller code inside a conversion) and gives what it returns."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


def fitted(alphabet, data, **options):
    model = OSTREL(alphabet, **options)
    model.fit(data)
    return model


def outcome(call):
    """What a call gives: its result, or its exception's type and message."""
    try:
        return call()
    except Exception as error:  # the comparison is the point
        return type(error), str(error)


HISTORIES = [[], [0], [1, 0], [0, 1, 1, 0], [2, 0, 0], [1, 2, 0, 1, 2]]


def snapshot(model):
    """Everything a caller can read back from a fitted model: properties, contexts, exact and
    backoff queries, scores, a seeded sample and the summary."""
    state = {name: getattr(model, name) for name in FITTED_PROPERTIES}
    contexts = model.get_contexts()
    state["contexts"] = contexts
    state["exact"] = [
        (model.get_counts(c), model.get_transition_counts(c), model.get_distribution(c))
        for c in [[], *contexts]
    ]
    histories = [h for h in HISTORIES if all(s < model.alphabet_size for s in h)]
    state["backoff"] = [(model.get_suffix(h), model.predict_proba(h)) for h in histories]
    state["scores"] = model.log_likelihood(histories, skip=0)
    state["sample"] = model.sample(40, seed=7, history=histories[-1])
    state["summary"] = repr(model.summary())  # as text: a nan never equals itself
    return state


def training_rows(rng, alphabet):
    """Rows whose next symbol usually follows a random rule on the last one or two symbols."""
    order = rng.randint(1, 2)
    rule = {}
    rows = []
    for _ in range(rng.randint(0, 4)):
        row = [rng.randrange(alphabet) for _ in range(order)]
        for _ in range(rng.choice([5, 40, 300])):
            key = tuple(row[-order:])
            rule.setdefault(key, rng.randrange(alphabet))
            row.append(rule[key] if rng.random() < 0.9 else rng.randrange(alphabet))
        rows.append(row[: rng.randint(0, len(row))] if rng.random() < 0.2 else row)
    return rows
