"""The wheel's type information: mypy finds it, and it agrees with the module."""

import ast
import re
import subprocess
import sys
from importlib import metadata

import ostrel

# Every member, called with each kind of argument the module reads; also run.
USES = """\
import array
import copy
import pickle
from typing import Any, Literal, assert_type

import numpy as np

import ostrel

model = ostrel.OSTREL(4, max_depth=2, method="bic", beta=None, penalty=1.0, boundary="condition")
ostrel.OSTREL(np.int64(4), np.uint8(2), "bct", 0.75)
codes = np.array([0, 1, 2, 3, 3, 2, 1, 0], dtype=np.uint8)
model.fit([[0, 1, 2], (3, 2), range(4), b"\\x01\\x02", bytearray(2), codes, codes[::2]])
model.fit([array.array("q", [0, 1, 2]), memoryview(b"\\x01\\x02\\x03")])
model.fit(codes.reshape(2, 4))
assert_type(model.get_suffix(codes[-2:]), list[int])
assert_type(model.get_counts(()), int)
assert_type(model.get_transition_counts([]), list[int])
assert_type(model.get_distribution(b""), list[float])
assert_type(model.predict_proba(codes[:5]), list[float])
assert_type(model.get_contexts(), list[list[int]])
assert_type(model.log_likelihood([[0, 1, 2], codes], skip=None), list[float])
assert_type(model.log_likelihood(codes.reshape(2, 4), 1), list[float])
assert_type(model.sample(5, seed=3, history=codes[:2]), ostrel.Array)
assert_type(model.pointwise_log_likelihood([[0, 1, 2]], skip=0), ostrel.Array)
assert_type(model.predict_proba_batch(codes.reshape(2, 4)), ostrel.Array)
table = np.empty((2, 4))
assert model.predict_proba_batch(codes.reshape(2, 4), out=table) is table
assert_type(model.top_k([[0], codes], np.int64(2)), tuple[ostrel.Array, ostrel.Array])
drawn = model.sample(5, seed=3)
assert_type(drawn.tolist(), list[Any])
assert_type(drawn[1:], ostrel.Array)
for n in (len(drawn), drawn.ndim, drawn.itemsize, drawn.nbytes, drawn.__sizeof__()):
    assert_type(n, int)
assert_type(drawn.shape, tuple[int, ...])
assert_type(drawn.dtype, str)
assert_type(model.summary()["bic"], float)
assert_type(model.summary()["parameters"], int)
assert_type(model.to_dot(), str)
assert_type(model.entropy_rate(), float)
assert_type(model.divergence_rate(copy.copy(model)), float)
assert_type(copy.deepcopy(model), ostrel.OSTREL)
assert_type(pickle.loads(pickle.dumps(model)), Any)
assert_type(model.method, str)
assert_type(model.boundary, str)
for n in (model.alphabet_size, model.max_depth, model.sample_size, model.node_count):
    assert_type(n, int)
for n in (model.context_count, model.effective_max_depth):
    assert_type(n, int)
counts = ostrel.Counts(4, 2, part=np.uint64(3))
counts.add([[0, 1, 2]])
counts.add(codes.reshape(2, 4))
merged = counts + ostrel.Counts(4, 2)
merged += ostrel.Counts(4, 2, part=7)
assert isinstance(sum([merged, ostrel.Counts(4, 2, part=9)]), ostrel.Counts)
model.fit(merged)
for n in (merged.alphabet_size, merged.max_depth, merged.part, merged.sample_size):
    assert_type(n, int)
assert_type(merged.log_evidence(), float)
assert_type(ostrel.Counts(4, 2, starts=True).mixture().starts, bool)
assert_type(merged.top_trees(np.int64(2), beta=0.75), list[tuple[list[list[int]], float]])
assert_type(merged.log_evidence(0.75, alpha=0.1), float)
assert_type(merged.top_trees(2, 0.75, alpha=np.float64(0.1))[0][1], float)
mixture = merged.mixture(0.75, alpha=0.1)
assert_type(mixture.log_likelihood([[0, 1, 2]], skip=0), list[float])
assert_type(mixture.pointwise_log_likelihood(codes.reshape(2, 4)), ostrel.Array)
terms, offsets = mixture.pointwise_log_likelihood([[0, 1, 2]], 1, offsets=True)
assert_type(offsets, ostrel.Array)
assert_type(mixture.top_k([[0], codes], 2), tuple[ostrel.Array, ostrel.Array])
assert_type(mixture.estimator, Literal["dirichlet", "kneser_ney"])
chosen = ostrel.choose_hyperparameters([codes], 4, 2, passes=2)
grown = ostrel.Counts(4, 2).mixture(**chosen)
grown = ostrel.Counts(4, 2).mixture(0.6, discount=[0.5, [0.4, 0.6, 0.8], 0.7], concentration=1.0)
assert_type(grown.update([codes], distributions=True), tuple[ostrel.Array, ostrel.Array])
assert_type(grown.hyperparameters["beta"], float)
assert_type(ostrel.__version__, str)
assert_type(ostrel.__all__, list[str])
"""

# Each line marked "# error" must be reported, and no other.
MISUSES = """\
import ostrel

model = ostrel.OSTREL("4")  # error
model.fit("0123")  # error
model.fit([[0, 1.0]])  # error
model.predict_proba(iter([0]))  # error
model.get_counts({0, 1})  # error
model.max_depth = 3  # error
model.get_contexts([0])  # error
depth: str = model.effective_max_depth  # error
model.predict([0])  # error
model.sample(3, 1)  # error
model.log_likelihood([[0]], skip=0.5)  # error
model.summary()["aic"] + ""  # error
model.divergence_rate(ostrel.Counts(4, 2))  # error
class Sub(ostrel.OSTREL): ...  # error
ostrel.Counts(4, 2, 0)  # error
ostrel.Counts(4, 2) + 1  # error
model.top_k([[0]])  # error
model.predict_proba_batch([[0]], [[0.0]])  # error
ostrel.Counts(4, 2).add(ostrel.Counts(4, 2))  # error
ostrel.Counts(4, 2).top_trees(2.5)  # error
ostrel.Counts(4, 2).mixture(0.6, 0.5)  # error
ostrel.Counts(4, 2).mixture().top_k([[0]])  # error
ostrel.Counts(4, 2, starts=1)  # error
"""


def test_mypy_accepts_every_member_and_reports_misuse(tmp_path):
    (tmp_path / "uses.py").write_text(USES)
    (tmp_path / "misuses.py").write_text(MISUSES)
    argv = [sys.executable, "-m", "mypy", "--strict", "uses.py", "misuses.py"]
    out = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True).stdout
    errors = re.findall(r"^(\w+)\.py:(\d+): error", out, re.MULTILINE)
    lines = enumerate(MISUSES.splitlines(), 1)
    marked = {("misuses", i) for i, line in lines if line.endswith("# error")}
    assert {(name, int(i)) for name, i in errors} == marked, out
    exec(compile(USES, "uses.py", "exec"), {})


SLOTS = ("__new__", "__add__", "__radd__", "__iadd__")  # the interpreter's docstrings


def test_stub_matches_the_module(tmp_path):
    argv = [sys.executable, "-m", "mypy.stubtest", "ostrel"]
    run = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    # stubtest compares signatures; the docstrings must be the module's own too.
    stub = metadata.distribution("ostrel").locate_file("ostrel-stubs/__init__.pyi")
    for runtime in (ostrel.OSTREL, ostrel.Counts):
        body = ast.parse(stub.read_text()).body
        cls = next(n for n in body if getattr(n, "name", "") == runtime.__name__)
        members = {
            n.name: ast.get_docstring(n)
            for n in cls.body
            if isinstance(n, ast.FunctionDef) and n.name not in SLOTS
        }
        assert ast.get_docstring(cls) == runtime.__doc__
        assert members == {m: getattr(runtime, m).__doc__ for m in members}
