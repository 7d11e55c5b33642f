# Type information for the extension module ostrel. A single-module extension
# cannot carry py.typed, so these stubs ship in the same wheel as the stub-only
# package ostrel-stubs, where type checkers look for them first. Docstrings are
# the module's own.

from collections.abc import Callable, Iterator, Sequence
from typing import (
    Protocol,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    TypeVar,
    final,
)

__all__ = ["OSTREL", "__version__"]

__version__: str

_T_co = TypeVar("_T_co", covariant=True)

# Symbols are read as the module reads them: from any object with item access
# whose iteration yields integer-like items. Sequence covers the built-in types
# (lists, tuples, ranges, bytes, bytearray, array.array, memoryview); _Array
# admits arrays that are not registered as sequences, such as NumPy arrays,
# without depending on their types. A str iterates over str and is refused. The
# checker mostly cannot see the item type of a NumPy array, so a float array may
# pass it and is then refused by the module.
class _Array(Protocol[_T_co]):
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_Symbols: TypeAlias = Sequence[SupportsIndex] | _Array[SupportsIndex]
_Rows: TypeAlias = Sequence[_Symbols] | _Array[_Symbols]

# What OSTREL.summary() returns.
class _Summary(TypedDict):
    contexts: int
    sample_size: int
    parameters: int
    log_likelihood: float
    aic: float
    bic: float

# What Counts.tree_statistics() returns.
class _TreeStatistics(TypedDict):
    log_prior: float
    log_posterior: float
    log_likelihood: float
    parameters: int
    aic: float
    bic: float
    contexts: int
    depth: int

# An ostrel.Array of two dimensions, as the methods that answer in bulk give it:
# rows of integers, viewed by numpy.asarray without a copy.
class _Table(Protocol):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Sequence[int]]: ...
    def tolist(self) -> list[list[int]]: ...

def _restore(state: bytes | bytearray | memoryview, /) -> OSTREL:
    """Rebuild an ostrel object from the state that pickling it gave."""

@final
class OSTREL:
    """Variable-length Markov-chain estimator with interchangeable tree selectors."""

    def __new__(
        cls,
        alphabet_size: SupportsIndex,
        max_depth: SupportsIndex = 10,
        method: str = "bct",
        beta: SupportsFloat | SupportsIndex | None = None,
        penalty: SupportsFloat | SupportsIndex | None = None,
        boundary: str = "condition",
    ) -> Self: ...
    def fit(self, data: _Rows | Counts) -> None:
        """Fit a fresh model. Rows are independent sequences and are never joined."""
    def fit_tree(self, data: _Rows | Counts, contexts: _Rows) -> None:
        """Fit the given context tree to `data` (rows as fit takes them, or a Counts of
        the model's alphabet_size and max_depth) instead of selecting one, whatever
        the method. `contexts` lists the tree's contexts, oldest symbol first (as
        get_contexts() and Counts.top_trees give them): a complete tree, in which
        every node on a context's path that is not a context has all alphabet_size
        children, none longer than max_depth. A full order-k chain is the tree of
        all alphabet_size**k contexts of length k. The result is a fitted model like
        any other; fit_tree of the tree that fit selects stores the same model. A
        wrong tree raises ValueError naming the context, and nothing changes."""
    def get_suffix(self, sequence: _Symbols) -> list[int]:
        """Return the selected context suffix, or an aggregate prefix when the
        supplied history is shorter than the selected context."""
    def get_counts(self, sequence: _Symbols) -> int:
        """Return the number of usable outcomes observed after an active tree node."""
    def get_transition_counts(self, sequence: _Symbols) -> list[int]:
        """Return unsmoothed next-symbol counts in alphabet order."""
    def get_distribution(self, sequence: _Symbols) -> list[float]:
        """Return Jeffreys-smoothed transition probabilities for an active node."""
    def predict_proba(self, history: _Symbols) -> list[float]:
        """Select a context from `history` and return its transition probabilities."""
    def get_contexts(self) -> list[list[int]]:
        """Return terminal contexts only, ordered first by length and then lexically."""
    def log_likelihood(self, data: _Rows, skip: SupportsIndex | None = None) -> list[float]:
        """Return, for each row, the natural-log probability of its symbols from
        position `skip` on (None: `max_depth`, the positions that fit counts),
        each as predict_proba gives it after the symbols before it in its row,
        added in order from 0.0."""
    def sample(
        self, n: SupportsIndex, *, seed: SupportsIndex | None = None, history: _Symbols = ()
    ) -> list[int]:
        """Draw `n` symbols one after another, each from predict_proba of `history`
        followed by the symbols drawn so far. A `seed` from 0 to 2**64 - 1 gives
        the same symbols on every machine; None takes one from the operating system."""
    def summary(self) -> _Summary:
        """Return the fit's statistics: contexts, sample_size, parameters (contexts
        times alphabet_size - 1), log_likelihood (maximised, natural log, of the
        counted positions, each charged to the context that predicts it), aic and
        bic. Without counted positions log_likelihood is 0.0 and bic is nan."""
    def __reduce__(self) -> tuple[Callable[[bytes], OSTREL], tuple[bytes]]:
        """Return what pickling stores: ostrel._restore and the model's state."""
    def __copy__(self) -> Self:
        """Return an independent copy of the model."""
    def __deepcopy__(self, memo: dict[int, object], /) -> Self:
        """Return an independent copy of the model."""
    @property
    def method(self) -> str: ...
    @property
    def boundary(self) -> str: ...
    @property
    def sample_size(self) -> int: ...
    @property
    def alphabet_size(self) -> int: ...
    @property
    def max_depth(self) -> int: ...
    @property
    def effective_max_depth(self) -> int: ...
    @property
    def node_count(self) -> int: ...
    @property
    def context_count(self) -> int: ...

@final
class Counts:
    """The counts of a set of rows: what fitting needs of them and nothing more.

    Rows are added with add() and belong to `part`. Counts of different parts
    merge with `+` into the counts of all their rows, ordered by part and then
    by the order they were added, whatever order the merges run in.
    OSTREL.fit(counts) fits the model that fitting those rows in that order
    fits. Counts pickle to a compact state independent of the machine."""

    def __new__(
        cls, alphabet_size: SupportsIndex, max_depth: SupportsIndex, *, part: SupportsIndex = 0
    ) -> Self: ...
    def add(self, data: _Rows) -> None:
        """Count the rows of `data`, taken as OSTREL.fit takes them, after the rows
        added before. A failed call counts nothing."""
    def log_evidence(self, beta: SupportsFloat | SupportsIndex | None = None) -> float:
        """Return the natural log of the evidence of the counted positions under
        bct's prior with `beta` (None: the default of OSTREL(..., method="bct")):
        their probability summed over every tree of depth at most max_depth, each
        tree weighted by its prior, each leaf scoring its counts by the
        Krichevsky-Trofimov estimate. Bayes factors between depths, priors or data
        sets are differences of these."""
    def top_trees(
        self, k: SupportsIndex, beta: SupportsFloat | SupportsIndex | None = None
    ) -> list[tuple[list[list[int]], float]]:
        """Return the k context trees of highest posterior probability under bct's
        prior with `beta`, best first, as (contexts, log posterior) pairs: the
        contexts as get_contexts() lists them, the natural log of the posterior
        probability. The first is the tree that OSTREL(..., method="bct",
        beta=beta) fits. Fewer when fewer trees exist. Equal posteriors rank the
        tree that stops sooner first, then by where the trees differ, the smaller
        symbol first."""
    def context_counts(self, depth: SupportsIndex) -> tuple[_Table, _Table]:
        """Return every context of exactly `depth` symbols (0 to max_depth) that some
        counted position has, with how often each symbol followed it, as a pair of
        ostrel.Array: the contexts, shape (k, depth), oldest symbol first, in the
        narrowest unsigned type that holds alphabet_size - 1; and the counts, shape
        (k, alphabet_size), uint64. Contexts come in the order get_contexts() lists
        them: from the oldest symbol on, the smaller first."""
    def max_log_likelihood(self, depth: SupportsIndex | None = None) -> float:
        """Return the log-likelihood (natural log) of the counted positions maximised
        over every tree of depth at most `depth` (None: max_depth) and its
        parameters: that of the full tree of that depth, equal to the
        summary()["log_likelihood"] of the model that OSTREL.fit_tree fits with it."""
    def tree_statistics(
        self, contexts: _Rows, beta: SupportsFloat | SupportsIndex | None = None
    ) -> _TreeStatistics:
        """Return the statistics of the complete tree whose contexts (oldest symbol
        first, as get_contexts() and top_trees give them) are `contexts`, under bct's
        prior with `beta` (None: the default of OSTREL(..., method="bct")), as a
        dict: log_prior, log_posterior, log_likelihood (maximised), parameters,
        aic, bic (as summary() gives them), contexts (their number) and depth (the
        longest context). The tree is checked as OSTREL.fit_tree checks it."""
    def __add__(self, other: Counts, /) -> Counts: ...
    def __radd__(self, other: Counts, /) -> Counts: ...
    def __copy__(self) -> Counts:
        """Return an independent copy of the counts."""
    def __deepcopy__(self, memo: dict[int, object], /) -> Counts:
        """Return an independent copy of the counts."""
    def __reduce__(self) -> tuple[Callable[[bytes], Counts], tuple[bytes]]:
        """Return what pickling stores: ostrel._restore and the counts' state."""
    @property
    def alphabet_size(self) -> int:
        """Symbols are 0 .. alphabet_size - 1."""
    @property
    def max_depth(self) -> int:
        """The context length: the first max_depth symbols of each row are context only."""
    @property
    def part(self) -> int:
        """The part that add() counts rows into: the last part these counts hold."""
    @property
    def sample_size(self) -> int:
        """The number of counted positions."""
