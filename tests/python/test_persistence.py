"""Pickling and copying: every protocol, copy, deepcopy, joblib and a spawn pool give back a
model that answers exactly as the original; a state that is not one raises ValueError."""

import copy
import multiprocessing
import pickle
import random
import struct

import pytest
from conftest import WORD_BITS, fitted, snapshot, training_rows

import ostrel
from ostrel import OSTREL

METHODS = ["bct", "bic", "peres_shield"]
CONFIGURATION = ["method", "boundary", "alphabet_size", "max_depth"]


def model_of(method, seed=3):
    rng = random.Random(seed)
    rows = [*training_rows(rng, 3), [0, 1, 2, 2, 1, 0] * 300]
    return fitted(3, rows, max_depth=4, method=method)


def configuration(model):
    return [getattr(model, name) for name in CONFIGURATION]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("method", METHODS)
def test_pickles_answer_as_the_original(method, protocol):
    model = model_of(method)
    clone = pickle.loads(pickle.dumps(model, protocol))
    assert type(clone) is OSTREL
    assert configuration(clone) == configuration(model)
    assert snapshot(clone) == snapshot(model)
    assert pickle.dumps(clone, protocol) == pickle.dumps(model, protocol)


@pytest.mark.parametrize(
    "make", [copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))], ids=str
)
@pytest.mark.parametrize(
    "options",
    [dict(method="bct", beta=0.6), dict(method="bic", penalty=0.25), dict(method="ps")],
    ids=lambda o: o["method"],
)
def test_copies_keep_the_configuration_and_are_independent(make, options):
    data = [[0, 1, 2, 2, 1, 0, 2] * 30, [1, 1, 0, 2] * 9]
    unfitted = OSTREL(3, 3, **options)
    clone = make(unfitted)
    assert configuration(clone) == configuration(unfitted)
    with pytest.raises(RuntimeError):
        clone.sample_size  # noqa: B018
    clone.fit(data)  # beta and penalty came along: the fit is the original's
    assert snapshot(clone) == snapshot(fitted(3, data, max_depth=3, **options))

    model = fitted(3, data, max_depth=3, **options)
    before = snapshot(model)
    clone = make(model)
    clone.fit([[2, 2, 1, 0] * 20])
    assert snapshot(model) == before


@pytest.mark.parametrize("method", METHODS)
def test_models_fitted_from_counts_keep_as_those_fitted_from_rows(method):
    rows = [[0, 1, 2, 2, 1, 0] * 300, [2, 1, 0, 0] * 50]
    counts = ostrel.Counts(3, 4)
    counts.add(rows)
    model = OSTREL(3, 4, method)
    model.fit(counts)
    assert pickle.dumps(model) == pickle.dumps(fitted(3, rows, max_depth=4, method=method))
    assert snapshot(pickle.loads(pickle.dumps(model))) == snapshot(model)


def test_deepcopy_keeps_shared_references_shared():
    model = model_of("bic")
    first, second = copy.deepcopy([model, model])
    assert first is second and first is not model


def test_joblib_round_trip(tmp_path):
    joblib = pytest.importorskip("joblib")
    model = model_of("bct")
    joblib.dump(model, tmp_path / "model.joblib")
    assert snapshot(joblib.load(tmp_path / "model.joblib")) == snapshot(model)


def score_in_worker(model, rows):
    """Runs in a spawned worker: the model arrives pickled and goes back pickled."""
    return model, model.log_likelihood(rows), model.summary()["log_likelihood"]


def test_models_cross_a_spawn_pool():
    context = multiprocessing.get_context("spawn")
    try:
        context.Lock()
    except OSError as error:  # a bare chroot has no /dev/shm for the pool's semaphores
        pytest.skip(f"no semaphores here: {error}")
    model = model_of("peres_shield")
    rows = [[0, 1, 2, 2, 1, 0] * 5]
    with context.Pool(1) as pool:
        back, scores, maximised = pool.apply(score_in_worker, (model, rows))
    assert (scores, maximised) == (model.log_likelihood(rows), model.summary()["log_likelihood"])
    assert snapshot(back) == snapshot(model)


# ---- states that are not ones -----------------------------------------------------------


def state_of(model):
    restore, (state,) = model.__reduce__()
    assert restore is ostrel._restore
    return state


def test_restore_takes_bytes_like_states_only():
    state = state_of(model_of("bic"))
    for form in (bytearray(state), memoryview(state)):
        assert snapshot(ostrel._restore(form)) == snapshot(model_of("bic"))
    with pytest.raises(TypeError) as excinfo:
        ostrel._restore(list(state))
    assert str(excinfo.value) == "argument 'state': 'list' object cannot be converted to 'bytes'"
    corrupted = state[:8] + b"\x09" + state[9:]  # method 9
    with pytest.raises(ValueError) as excinfo:
        pickle.loads(pickle.dumps(model_of("bic")).replace(state, corrupted))
    assert str(excinfo.value) == (
        "invalid ostrel state: method 9 is not 0 (bct), 1 (bic) or 2 (peres_shield)"
    )


def behaves(model):
    """The invariants any loaded model keeps, whatever its counts."""
    contexts = model.get_contexts()
    assert len(contexts) == model.context_count > 0
    assert model.get_counts([]) == model.sample_size
    for context in contexts[:8]:
        assert sum(model.get_transition_counts(context)) == model.get_counts(context)
        assert abs(sum(model.get_distribution(context)) - 1.0) < 1e-9
    model.sample(20, seed=1)
    model.log_likelihood([[0, 1, 2, 1, 0]], skip=0)
    model.summary()


def test_corrupted_states_raise_value_error_or_load_a_model_that_behaves():
    state = state_of(model_of("bic"))
    for size in range(len(state)):
        with pytest.raises(ValueError, match=r"^invalid ostrel state: "):
            ostrel._restore(state[:size])
    rng, loaded = random.Random(17), 0
    for _ in range(1500):
        mutated = bytearray(state)
        for _ in range(rng.randint(1, 3)):
            mutated[rng.randrange(8, len(mutated))] = rng.randrange(256)
        try:
            model = ostrel._restore(bytes(mutated))
        except ValueError as error:
            assert str(error).startswith("invalid ostrel state: ")
        else:
            behaves(model)
            loaded += 1
    assert loaded > 0  # some mutations (of counts, say) still describe a model


def test_states_wider_than_the_word():
    # An unfitted model of 2**32 symbols: a 64-bit word holds its alphabet, a 32-bit one not.
    varint = bytes([0x80, 0x80, 0x80, 0x80, 0x10])  # 2**32
    state = b"ostrelM\x01\x02" + varint + b"\x03" + struct.pack("<dd", 1.0, 1.0) + b"\x00"
    if WORD_BITS == 64:
        assert ostrel._restore(state).alphabet_size == 2**32
    else:
        with pytest.raises(ValueError) as excinfo:
            ostrel._restore(state)
        assert str(excinfo.value) == (
            "invalid ostrel state: alphabet_size 4294967296 is above 4294967295"
        )
