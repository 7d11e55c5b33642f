"""Shared helpers: what the expected answers take from the platform (the width of the native
word), and what a caller can read back from a fitted model."""

import struct

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


def snapshot(model):
    """Everything a caller can read back from a fitted model."""
    state = {name: getattr(model, name) for name in FITTED_PROPERTIES}
    contexts = model.get_contexts()
    state["contexts"] = contexts
    state["exact"] = [
        (model.get_counts(c), model.get_transition_counts(c), model.get_distribution(c))
        for c in [[], *contexts]
    ]
    histories = [[], [0], [1, 0], [0, 1, 1, 0], [2, 0, 0]][: 5 if model.alphabet_size > 2 else 4]
    state["backoff"] = [(model.get_suffix(h), model.predict_proba(h)) for h in histories]
    return state
