"""The module object, the class OSTREL and the shared argument parser."""

import os
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import ostrel
from ostrel import OSTREL

CLASS_DOC = "Variable-length Markov-chain estimator with interchangeable tree selectors."
METHODS = {
    "fit": (
        "($self, data)",
        "Fit a fresh model. Rows are independent sequences and are never joined.",
    ),
    "fit_tree": (
        "($self, data, contexts)",
        "Fit the given context tree to `data` (rows as fit takes them, or a Counts of\n"
        "the model's alphabet_size and max_depth) instead of selecting one, whatever\n"
        "the method. `contexts` lists the tree's contexts, oldest symbol first (as\n"
        "get_contexts() and Counts.top_trees give them): a complete tree, in which\n"
        "every node on a context's path that is not a context has all alphabet_size\n"
        "children, none longer than max_depth. A full order-k chain is the tree of\n"
        "all alphabet_size**k contexts of length k. The result is a fitted model like\n"
        "any other; fit_tree of the tree that fit selects stores the same model. A\n"
        "wrong tree raises ValueError naming the context, and nothing changes.",
    ),
    "get_suffix": (
        "($self, sequence)",
        "Return the selected context suffix, or an aggregate prefix when the\n"
        "supplied history is shorter than the selected context.",
    ),
    "get_counts": (
        "($self, sequence)",
        "Return the number of usable outcomes observed after an active tree node.",
    ),
    "get_transition_counts": (
        "($self, sequence)",
        "Return unsmoothed next-symbol counts in alphabet order.",
    ),
    "get_distribution": (
        "($self, sequence)",
        "Return Jeffreys-smoothed transition probabilities for an active node.",
    ),
    "predict_proba": (
        "($self, history)",
        "Select a context from `history` and return its transition probabilities.",
    ),
    "get_contexts": (
        "($self)",
        "Return terminal contexts only, ordered first by length and then lexically.",
    ),
    "log_likelihood": (
        "($self, data, skip=None)",
        "Return, for each row, the natural-log probability of its symbols from\n"
        "position `skip` on (None: `max_depth`, the positions that fit counts),\n"
        "each as predict_proba gives it after the symbols before it in its row,\n"
        "added in order from 0.0.",
    ),
    "sample": (
        "($self, n, *, seed=None, history=())",
        "Draw `n` symbols one after another, each from predict_proba of `history`\n"
        "followed by the symbols drawn so far. A `seed` from 0 to 2**64 - 1 gives\n"
        "the same symbols on every machine; None takes one from the operating system.",
    ),
    # Their docstrings are held to the stubs' (test_typing.py).
    "pointwise_log_likelihood": ("($self, data, skip=None, *, offsets=False)", None),
    "predict_proba_batch": ("($self, histories, *, out=None)", None),
    "top_k": ("($self, histories, k)", None),
    "__sizeof__": ("($self)", None),
    "to_dot": ("($self)", None),
    "entropy_rate": ("($self)", None),
    "divergence_rate": ("($self, other)", None),
    "summary": (
        "($self)",
        "Return the fit's statistics: contexts, sample_size, parameters (contexts\n"
        "times alphabet_size - 1), log_likelihood (maximised, natural log, of the\n"
        "counted positions, each charged to the context that predicts it), aic and\n"
        "bic. Without counted positions log_likelihood is 0.0 and bic is nan.",
    ),
    "__reduce__": (
        "($self)",
        "Return what pickling stores: ostrel._restore and the model's state.",
    ),
    "__copy__": ("($self)", "Return an independent copy of the model."),
    "__deepcopy__": ("($self, memo, /)", "Return an independent copy of the model."),
}
TOO_MANY_FOR_NEW = "takes from 1 to 6 positional arguments but 7 were given"
CONFIGURATION = ("method", "boundary", "alphabet_size", "max_depth")
PROPERTIES = (*CONFIGURATION, "sample_size", "effective_max_depth", "node_count", "context_count")


def test_module_attributes():
    assert ostrel.__all__ == ["OSTREL", "__version__"]
    assert ostrel.__version__ == "0.3.0"
    assert ostrel.__doc__ == ""
    assert ostrel.OSTREL is OSTREL
    # Counts, Array, Mixture and the change-point functions are the module's too, though
    # `from ostrel import *` takes only __all__.
    public = [name for name in vars(ostrel) if not name.startswith("_")]
    assert public == [
        "change_point_posterior",
        "segment",
        "choose_hyperparameters",
        "OSTREL",
        "Counts",
        "Array",
        "Mixture",
    ]
    assert ostrel.Counts.__module__ == ostrel.Array.__module__ == ostrel.Mixture.__module__
    assert ostrel.Mixture.__module__ == "ostrel"


def test_class_identity_and_docstring():
    assert OSTREL.__name__ == "OSTREL"
    assert OSTREL.__module__ == "builtins"
    assert OSTREL.__doc__ == CLASS_DOC
    assert OSTREL.__text_signature__ is None
    assert re.fullmatch(r"<builtins\.OSTREL object at 0x[0-9a-fA-F]+>", repr(OSTREL(2)))


def test_public_members_are_the_methods_and_eight_properties():
    public = {name for name in dir(OSTREL) if not name.startswith("_")}
    assert public == {name for name in METHODS if not name.startswith("_")} | set(PROPERTIES)


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_docstring(name):
    signature, doc = METHODS[name]
    method = getattr(OSTREL, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc if doc is not None else method.__doc__.startswith("Return ")


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    model = OSTREL(3, 4, " BIC ")
    before = [getattr(model, attribute) for attribute in CONFIGURATION]
    with pytest.raises(AttributeError):
        setattr(model, name, 3)
    with pytest.raises(AttributeError):
        delattr(model, name)
    assert [getattr(model, attribute) for attribute in CONFIGURATION] == before
    assert before == ["bic", "condition", 3, 4]


def test_class_refuses_subclassing():
    with pytest.raises(TypeError):
        type("Derived", (OSTREL,), {})


def test_instances_have_no_dict_and_no_weakref():
    model = OSTREL(2)
    assert not hasattr(model, "__dict__")
    with pytest.raises(AttributeError):
        model.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(model)


def test_foreign_receiver_is_refused():
    with pytest.raises(TypeError):
        OSTREL.get_counts(5, [1])
    with pytest.raises(TypeError):
        vars(OSTREL)["alphabet_size"].__get__(5, int)


def test_second_initialisation_raises_import_error():
    script = textwrap.dedent(
        """
        import importlib, sys
        sys.path.insert(0, sys.argv[1])
        import ostrel
        first = ostrel
        del sys.modules["ostrel"]
        try:
            importlib.import_module("ostrel")
        except ImportError:
            pass
        else:
            raise SystemExit("second initialisation succeeded")
        model = first.OSTREL(2, 1)
        model.fit([[0, 1, 0, 1]])
        print(first.__version__, model.method, model.sample_size)
        """
    )
    directory = os.path.dirname(ostrel.__file__)
    run = subprocess.run(
        [sys.executable, "-c", script, directory], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == "0.3.0 bct 3\n"


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "tail"),
    [
        ("__new__", (4, 3, "bct", None, None, "condition", 1), {}, TOO_MANY_FOR_NEW),
        ("__new__", (), {}, "missing 1 required positional argument: 'alphabet_size'"),
        ("__new__", (4,), {"x": 1}, "got an unexpected keyword argument 'x'"),
        ("__new__", (4, 3), {"max_depth": 3}, "got multiple values for argument 'max_depth'"),
        ("get_counts", ([0], [1]), {}, "takes 1 positional arguments but 2 were given"),
        ("get_counts", (), {}, "missing 1 required positional argument: 'sequence'"),
        ("predict_proba", (), {"sequence": [0]}, "got an unexpected keyword argument 'sequence'"),
        ("fit", ([[0]],), {"data": [[0]]}, "got multiple values for argument 'data'"),
        ("sample", (3, 1), {}, "takes 1 positional arguments but 2 were given"),
        ("sample", (), {"seed": 1}, "missing 1 required positional argument: 'n'"),
        (
            "log_likelihood",
            ([], 1, 2),
            {},
            "takes from 1 to 2 positional arguments but 3 were given",
        ),
    ],
)
def test_argument_parser_messages(name, args, kwargs, tail):
    call = OSTREL if name == "__new__" else getattr(OSTREL(2), name)
    with pytest.raises(TypeError) as excinfo:
        call(*args, **kwargs)
    assert str(excinfo.value) == f"OSTREL.{name}() {tail}"
