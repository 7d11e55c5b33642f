"""Constructor conversions, configuration checks and the configuration properties."""

import contextlib

import pytest
from conftest import BEYOND_WORD, WORD_MAX, Index, check_word_overflow
from memory_probe import assert_flat

from ostrel import OSTREL

INF = float("inf")
NAN = float("nan")
METHOD_TAIL = "; expected 'bct', 'bic', or 'peres_shield'"
BOUNDARY_TAIL = "; currently only 'condition' is supported"
BETA_RANGE = "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection"
PENALTY_RANGE = "penalty must be finite and strictly positive"
TYPE_TEXT = "argument '{}': '{}' object cannot be converted to 'PyString'"
DEFAULT_BETA_ROUNDS = "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly"


class Real:
    def __float__(self):
        return 0.75


def raises_exactly(exception, message, *args, **kwargs):
    with pytest.raises(exception) as excinfo:
        OSTREL(*args, **kwargs)
    assert type(excinfo.value) is exception
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "prefix"),
    [
        ((2.0,), {}, "argument 'alphabet_size': "),
        (("4",), {}, "argument 'alphabet_size': "),
        ((4,), {"max_depth": None}, "argument 'max_depth': "),
        ((4,), {"max_depth": 1.5}, "argument 'max_depth': "),
        ((4,), {"beta": "x"}, "argument 'beta': "),
        ((4,), {"penalty": []}, "argument 'penalty': "),
        # conversion of every argument runs before any configuration check
        ((0, 70000, "zz", "x"), {}, "argument 'beta': "),
        ((0, 70000, "zz", None, None, 5), {}, "argument 'boundary': "),
        ((4, -2.0), {}, "argument 'max_depth': "),
    ],
)
def test_conversion_failures_name_the_argument(args, kwargs, prefix):
    with pytest.raises(TypeError) as excinfo:
        OSTREL(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(prefix)
    assert len(str(excinfo.value)) > len(prefix)


@pytest.mark.parametrize(
    "args",
    [(-1,), (4, -1), (-1, 2**64, 7), *[(v,) for v in BEYOND_WORD], *[(4, v) for v in BEYOND_WORD]],
)
def test_out_of_range_integers_raise_overflow_without_prefix(args):
    with pytest.raises(OverflowError) as excinfo:
        OSTREL(*args)
    check_word_overflow(excinfo.value, next(a for a in args if not 0 <= a <= WORD_MAX))


def test_text_and_float_conversions():
    raises_exactly(TypeError, TYPE_TEXT.format("method", "int"), 4, method=3)
    raises_exactly(TypeError, TYPE_TEXT.format("method", "NoneType"), 4, method=None)
    raises_exactly(TypeError, TYPE_TEXT.format("boundary", "bytes"), 4, boundary=b"x")
    raises_exactly(ValueError, BETA_RANGE, 4, beta=1)  # converts to 1.0, then fails the range
    raises_exactly(ValueError, PENALTY_RANGE, 4, method="bic", penalty=0)
    model = OSTREL(Index(5), Index(7), beta=Real())
    assert (model.alphabet_size, model.max_depth, model.method) == (5, 7, "bct")
    assert OSTREL(4, method="bic", penalty=Index(3)).method == "bic"
    assert OSTREL(2, True).max_depth == 1
    raises_exactly(ValueError, "alphabet_size must be at least 2", True)


def test_configuration_properties():
    model = OSTREL(4)
    assert [model.alphabet_size, model.max_depth, model.method, model.boundary] == [
        4,
        10,
        "bct",
        "condition",
    ]
    explicit = OSTREL(4, 3, "bct", None, None, "condition")
    assert [explicit.max_depth, explicit.method, explicit.boundary] == [3, "bct", "condition"]
    assert type(model.alphabet_size) is int and type(model.method) is str
    assert OSTREL(4, 0).max_depth == 0
    assert OSTREL(4, 65535).max_depth == 65535
    fitted = OSTREL(2, 5, "ps")
    fitted.fit([[0, 1, 1] * 10])  # 25 counted positions: depth floor(ln ln 25) = 1
    assert (fitted.max_depth, fitted.effective_max_depth) == (5, 1)


@pytest.mark.parametrize(
    ("spelling", "canonical"),
    [
        (" BCT\t", "bct"),
        ("Bic", "bic"),
        ("PERES-SHIELD", "peres_shield"),
        ("Peres_Shield", "peres_shield"),
        ("PS", "peres_shield"),
        (" PS ", "peres_shield"),
        ("\u3000ps\u2029\x85\xa0", "peres_shield"),
        ("\n\x0b\x0c\r\u1680\u2000\u200a\u2028\u202f\u205fbic", "bic"),
    ],
)
def test_method_spellings_report_the_canonical_name(spelling, canonical):
    assert OSTREL(4, 2, spelling).method == canonical
    assert OSTREL(4, method=spelling, boundary=" Condition\n").boundary == "condition"


@pytest.mark.parametrize(
    ("argument", "rendered"),
    [
        ("", '""'),
        ("peres shield", '"peres shield"'),
        ("b c t", '"b c t"'),
        ("\tX\n", r'"\tX\n"'),
        ("a\rb\0c", r'"a\rb\0c"'),
        ('back\\slash "q"', r'"back\\slash \"q\""'),
        ("bct\u200b", r'"bct\u{200b}"'),
        ("\xa0x", r'"\u{a0}x"'),
        ("e\u0301", r'"e\u{301}"'),
        ("\x01\x7f", r'"\u{1}\u{7f}"'),
        ("\ud800", r'"\u{d800}"'),
        ("\U000e0001", r'"\u{e0001}"'),
        ("é'ü\U0001f600", '"é\'ü\U0001f600"'),
    ],
)
def test_unknown_method_and_boundary_are_quoted(argument, rendered):
    raises_exactly(ValueError, f"unknown method {rendered}{METHOD_TAIL}", 4, method=argument)
    raises_exactly(
        ValueError, f"unknown boundary mode {rendered}{BOUNDARY_TAIL}", 4, boundary=argument
    )


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((0, 65536, "zz", 0.1, -1.0, "x"), {}, "alphabet_size must be at least 2"),
        ((1,), {}, "alphabet_size must be at least 2"),
        ((4, 65536, "zz", 0.1, -1.0, "x"), {}, "max_depth must be no larger than 65535"),
        ((4, WORD_MAX // 2 + 1), {}, "max_depth must be no larger than 65535"),
        ((4, 3, "zz", 0.1, -1.0, "x"), {}, 'unknown method "zz"' + METHOD_TAIL),
        ((4, 3, "bic", 0.1, -1.0, "none"), {}, 'unknown boundary mode "none"' + BOUNDARY_TAIL),
        ((4, 3, "ps", 0.1, -1.0), {}, "beta is only valid when method='bct'"),
        ((4, 3, "bic", 0.6), {}, "beta is only valid when method='bct'"),
        ((4, 3, "bct", None, 1.0), {}, "penalty is only valid when method='bic'"),
        ((4, 3, "ps", None, 1.0), {}, "penalty is only valid when method='bic'"),
        ((55,), {"penalty": None}, DEFAULT_BETA_ROUNDS),
        ((WORD_MAX,), {}, DEFAULT_BETA_ROUNDS),
        ((4,), {"beta": 0.49999999999999994}, BETA_RANGE),
        ((4,), {"beta": 1.0}, BETA_RANGE),
        ((4,), {"beta": INF}, BETA_RANGE),
        ((4,), {"beta": -INF}, BETA_RANGE),
        ((4,), {"beta": NAN}, BETA_RANGE),
        ((55,), {"beta": 1.0}, BETA_RANGE),
        ((4, 3, "bic"), {"penalty": 0.0}, PENALTY_RANGE),
        ((4, 3, "bic"), {"penalty": -0.0}, PENALTY_RANGE),
        ((4, 3, "bic"), {"penalty": -1.0}, PENALTY_RANGE),
        ((4, 3, "bic"), {"penalty": INF}, PENALTY_RANGE),
        ((4, 3, "bic"), {"penalty": NAN}, PENALTY_RANGE),
    ],
)
def test_configuration_checks_in_order(args, kwargs, message):
    raises_exactly(ValueError, message, *args, **kwargs)


@pytest.mark.parametrize(
    ("args", "kwargs", "method"),
    [
        ((2,), {"beta": 0.5}, "bct"),
        ((4,), {"beta": 0.9999999999999999}, "bct"),
        ((54,), {}, "bct"),  # default beta 1 - 2**-53 is still below 1
        ((55,), {"beta": 0.99}, "bct"),
        ((55, 3, "bic"), {}, "bic"),
        ((10**6, 3, "peres_shield"), {}, "peres_shield"),
        ((WORD_MAX, 3, "bic"), {"penalty": 2.0}, "bic"),
        ((4, 3, "bic"), {"penalty": 1e-300}, "bic"),
        ((4, 3, "bic"), {"penalty": 5e-324}, "bic"),
        ((4, 3, "ps"), {"beta": None, "penalty": None}, "peres_shield"),
    ],
)
def test_accepted_configurations(args, kwargs, method):
    assert OSTREL(*args, **kwargs).method == method


@pytest.mark.parametrize(
    ("size", "beta", "row", "critical"),
    [
        (2, 0.5, [0, 0, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0], 0.5063),
        (3, 0.75, [2, 2, 2, 0, 1, 2, 2, 2, 2, 2, 2], 0.7472),
        (3, 0.75, [1, 1, 1, 2, 0, 1, 2, 2, 2, 0, 0, 1, 1, 0, 1, 1], 0.7516),
        (4, 0.875, [2, 2, 1, 2, 1, 0, 2, 1, 2, 0, 0, 0, 3, 0, 3, 0], 0.8739),
        (4, 0.875, [2, 0, 0, 1, 3, 1, 1, 2, 2, 0, 3, 3, 3, 1, 2, 2], 0.8760),
    ],
)
def test_default_beta_is_one_minus_two_to_the_one_minus_alphabet_size(size, beta, row, critical):
    # The selected tree for `row` changes where beta crosses `critical`, so a
    # default on the far side of it selects a different tree than `beta`.
    assert 1.0 - 2.0 ** -(size - 1) == beta

    def contexts(**kwargs):
        model = OSTREL(size, 1, **kwargs)
        model.fit([row])
        return model.get_contexts()

    assert contexts(beta=2 * critical - beta) != contexts(beta=beta)
    assert contexts() == contexts(beta=beta)


SHARED_TEXT, SHARED_FLOAT, SHARED_INDEX = "\u00a0bad", -3.5, Index(-1)


FAILING_CONSTRUCTIONS = (
    lambda i: OSTREL(float(i)),
    lambda i: OSTREL(4, method=i + 1000),
    lambda i: OSTREL(4, beta=str(i)),
    lambda i: OSTREL(-1000 - i),
    lambda i: OSTREL(4, 2**64 + i),
    lambda i: OSTREL(4, method=f"\xa0x\t{i}\ud800"),
    lambda i: OSTREL(4, boundary=f'"{i}"\u0301'),
    lambda i: OSTREL(4, 3, "bic", penalty=-float(i)),
    lambda i: OSTREL(4, method=SHARED_TEXT),
    lambda i: OSTREL(4, 3, "bic", penalty=SHARED_FLOAT),
    lambda i: OSTREL(SHARED_INDEX),
)


def _fail_many(count):
    for i in range(count):
        with contextlib.suppress(TypeError, OverflowError, ValueError):
            FAILING_CONSTRUCTIONS[i % len(FAILING_CONSTRUCTIONS)](i)


def test_failing_constructions_do_not_leak():
    # 100,000 leaked blocks of even 32 bytes would add 3.2 MB to any measure.
    shared = (SHARED_TEXT, SHARED_FLOAT, SHARED_INDEX)
    assert_flat(_fail_many, 20_000, 100_000, shared, traced=64 * 1024)
