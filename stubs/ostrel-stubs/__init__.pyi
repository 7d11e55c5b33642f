# Type information for the extension module ostrel. A single-module extension
# cannot carry py.typed, so these stubs ship in the same wheel as the stub-only
# package ostrel-stubs, where type checkers look for them first. Docstrings are
# the module's own.

from collections.abc import Callable, Iterator, Sequence
from operator import methodcaller
from typing import (
    Any,
    ClassVar,
    Literal,
    Protocol,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    TypeVar,
    final,
    overload,
)

__all__ = ["OSTREL", "__version__"]

__version__: str

_T_co = TypeVar("_T_co", covariant=True)
# A buffer that answers are written into (`out`), returned as it was given;
# the module checks that it is a writable C-contiguous float64 buffer.
_Out = TypeVar("_Out")

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
_Float: TypeAlias = SupportsFloat | SupportsIndex
# A hyperparameter by depth: one number for every depth, or one entry per
# depth (for discounts, each a number or three).
_Table: TypeAlias = _Float | Sequence[_Float | Sequence[_Float]] | _Array[Any] | Array

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
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: Literal[False] = False
    ) -> Array: ...
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: Literal[True]
    ) -> tuple[Array, Array]: ...
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: bool
    ) -> Array | tuple[Array, Array]:
        """Return the terms log_likelihood adds: the natural-log probability of every
        scored position (from position `skip` on, None: `max_depth`), rows one after
        another in order, as one float64 ostrel.Array. Adding a row's terms left to
        right from 0.0 gives log_likelihood's value for that row. With `offsets`
        true, return the pair (terms, offsets), offsets an int64 ostrel.Array of
        len(data) + 1 entries: row i's terms are terms[offsets[i]:offsets[i + 1]]."""
    @overload
    def predict_proba_batch(self, histories: _Rows, *, out: None = None) -> Array: ...
    @overload
    def predict_proba_batch(self, histories: _Rows, *, out: _Out) -> _Out:
        """Return predict_proba of every history, as an (n, alphabet_size) float64
        ostrel.Array whose row i is predict_proba(histories[i]). `histories` is
        taken as fit takes rows. With `out`, a writable C-contiguous float64 buffer
        of that shape (a NumPy array, say), the rows are written there instead and
        `out` is returned; a call that fails leaves it as it was."""
    def top_k(self, histories: _Rows, k: SupportsIndex) -> tuple[Array, Array]:
        """Return the k most probable next symbols after each history, as a pair of
        (n, min(k, alphabet_size)) ostrel.Arrays: the symbols (int64) and their
        probabilities (float64, predict_proba's), most probable first, equal
        probabilities in ascending symbol order."""
    def sample(
        self, n: SupportsIndex, *, seed: SupportsIndex | None = None, history: _Symbols = ()
    ) -> Array:
        """Draw `n` symbols one after another, each from predict_proba of `history`
        followed by the symbols drawn so far. A `seed` from 0 to 2**64 - 1 gives
        the same symbols on every machine; None takes one from the operating system."""
    def summary(self) -> _Summary:
        """Return the fit's statistics: contexts, sample_size, parameters (contexts
        times alphabet_size - 1), log_likelihood (maximised, natural log, of the
        counted positions, each charged to the context that predicts it), aic and
        bic. Without counted positions log_likelihood is 0.0 and bic is nan."""
    def to_dot(self) -> str:
        """Return the fitted tree as Graphviz DOT text: one node per tree node
        (n0 the root), labelled with its context (oldest symbol first, as
        get_contexts gives it) and its count; contexts are boxes and add the
        next-symbol distribution predict_proba answers with, each probability
        written so that float() reads it back exactly. An edge to a child carries
        the child's symbol, the one a step further back in time."""
    def entropy_rate(self) -> float:
        """Return the entropy rate of the fitted chain, the one predict_proba
        defines, in nats per symbol: the sum over its states of their
        stationary probability times the entropy of the next symbol. The states
        are the fewest contexts that fix both the context predict_proba answers
        from and the next state; the stationary law is solved exactly to
        rounding by Grassmann-Taksar-Heyman elimination up to 1024 states;
        beyond, by iterating the chain until what is left to move, estimated
        from how fast the moves shrink, is below 1e-15 in total (the law then
        holds the rounding of its steps, about 1e-16 / (1 - r) for moves that
        shrink by r a step; RuntimeError after 100000 steps). A chain of more
        than 2**25 transitions (states times alphabet_size) raises MemoryError
        before it is built."""
    def divergence_rate(self, other: OSTREL) -> float:
        """Return the divergence rate D(self || other) between the fitted chains
        of two models of one alphabet size, in nats per symbol: the sum over
        the states that fix both models' contexts of their stationary
        probability under self times the divergence of other's next-symbol law
        from self's, solved as entropy_rate solves it. 0.0 exactly when other
        predicts as self does; ValueError for another alphabet size."""
    def __sizeof__(self) -> int:
        """Return the bytes the model holds, its fitted tree included."""
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
    by the order they were added, whatever order the merges run in;
    `counts += other` merges into `counts` itself and sum() adds a list.
    OSTREL.fit(counts) fits the model that fitting those rows in that order
    fits. Counts pickle to a compact state independent of the machine.

    With `starts` true every position of a row is counted, the first
    max_depth with contexts that reach back to the row's start and no
    further, the start itself part of the context (a symbol of its own that
    is never predicted). Such counts merge only with their own kind and serve
    mixture() and log_evidence(); a tree over the alphabet's symbols
    (OSTREL.fit, top_trees and the other readers of trees) cannot be read
    from them."""

    def __new__(
        cls,
        alphabet_size: SupportsIndex,
        max_depth: SupportsIndex,
        *,
        part: SupportsIndex = 0,
        starts: bool = False,
    ) -> Self: ...
    def add(self, data: _Rows) -> None:
        """Count the rows of `data`, taken as OSTREL.fit takes them, after the rows
        added before. A failed call counts nothing."""
    def log_evidence(self, beta: _Float | None = None, *, alpha: _Float | None = None) -> float:
        """Return the natural log of the evidence of the counted positions under
        bct's prior with `beta` (None: the default of OSTREL(..., method="bct")):
        their probability summed over every tree of depth at most max_depth, each
        tree weighted by its prior, each leaf scoring its counts by the Dirichlet
        estimate of concentration `alpha` per symbol (None: 1/2, the
        Krichevsky-Trofimov estimate). Bayes factors between depths, priors, data
        sets or estimators are differences of these. Counts made with starts=True
        have the evidence of their mixture(beta, alpha=alpha)."""
    def top_trees(
        self, k: SupportsIndex, beta: _Float | None = None, *, alpha: _Float | None = None
    ) -> list[tuple[list[list[int]], float]]:
        """Return the k context trees of highest posterior probability under bct's
        prior with `beta` and Dirichlet leaves of concentration `alpha` (None:
        1/2, as log_evidence takes them), best first, as (contexts, log posterior) pairs: the
        contexts as get_contexts() lists them, the natural log of the posterior
        probability. The first is the tree that OSTREL(..., method="bct",
        beta=beta) fits. Fewer when fewer trees exist. Equal posteriors rank the
        tree that stops sooner first, then by where the trees differ, the smaller
        symbol first."""
    def context_counts(self, depth: SupportsIndex) -> tuple[Array, Array]:
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
    def __add__(self, other: Counts | Literal[0], /) -> Counts: ...
    # Only 0 is taken from the left (so that sum() starts); an int is declared
    # because that is what sum() asks of the values it adds.
    def __radd__(self, other: int, /) -> Counts: ...
    def __iadd__(self, other: Counts | Literal[0], /) -> Counts: ...
    def __sizeof__(self) -> int:
        """Return the bytes the counts hold, their keys included."""
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
        """The context length: the first max_depth symbols of each row are context only (unless starts)."""  # noqa: E501
    @property
    def part(self) -> int:
        """The part that add() counts rows into: the last part these counts hold."""
    @property
    def starts(self) -> bool:
        """Whether every position of a row is counted, its context reaching back to the row's start."""  # noqa: E501
    @property
    def sample_size(self) -> int:
        """The number of counted positions."""

    def mixture(
        self,
        beta: _Float | None = None,
        *,
        alpha: _Float | None = None,
        discount: _Table | None = None,
        concentration: _Table | None = None,
    ) -> Mixture:
        """Return the Bayesian mixture over every tree of depth at most max_depth
        under bct's prior with `beta` (as log_evidence takes it), built from these
        counts: an ostrel.Mixture, independent of them afterwards. Each context
        predicts by Dirichlet leaves of concentration `alpha` per symbol (None:
        1/2, Krichevsky-Trofimov), or, when `discount` or `concentration` is given,
        by the hierarchical Kneser-Ney estimator: its counts discounted by
        `discount` (a number in [0, 1), or one per depth 0 .. max_depth, each a
        number or three for counts 1, 2, and 3 or more; default 0.75) towards the
        next shorter context's prediction, with `concentration` (a number at least
        0, or one per depth; default 0). That estimator depends on the order of
        the positions, so its mixture starts from empty counts and grows by
        update(). Counts made with starts=True give a mixture of their kind: it
        predicts a row's first symbols from the row's start, and update() counts
        every position."""

@final
class Array:
    """Many numbers returned at once: one object that owns its items and exports them
    through the buffer protocol, so that numpy.asarray(a) views them without a copy.
    It indexes, iterates and has a length (a row of a two-dimensional Array is a
    one-dimensional Array sharing its items), converts with tolist(), compares with ==
    through tolist(), and pickles."""

    def tolist(self) -> list[Any]:
        """Return the items as a list of Python numbers (a list of rows for two
        dimensions)."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> Any: ...
    @overload
    def __getitem__(self, index: slice, /) -> Array: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Callable[[bytes], Array], tuple[bytes]]:
        """Return what pickling stores: ostrel._restore and the items."""
    def __copy__(self) -> Array:
        """Return an independent copy."""
    def __deepcopy__(self, memo: dict[int, object], /) -> Array:
        """Return an independent copy."""
    def __sizeof__(self) -> int:
        """Return the bytes the Array holds, its items included."""
    @property
    def shape(self) -> tuple[int, ...]:
        """The extent of each dimension."""
    @property
    def ndim(self) -> int:
        """The number of dimensions: 1 or 2."""
    @property
    def dtype(self) -> str:
        """The items' NumPy type name, such as 'float64' or 'uint8'."""
    @property
    def format(self) -> str:
        """The items' struct format, as the buffer protocol gives it."""
    @property
    def itemsize(self) -> int:
        """The bytes of one item."""
    @property
    def nbytes(self) -> int:
        """The bytes of all items."""

@final
class Mixture:
    """The Bayesian mixture over every context tree of depth at most max_depth
    under bct's prior, made by Counts.mixture(beta): model-averaged
    prediction of the next symbol, sequential updates and the marginal
    likelihood of new rows. It holds, for every context seen, its counts and
    the weights of its subtrees. Each context predicts by the estimator
    chosen: Dirichlet leaves (alpha) or the hierarchical Kneser-Ney
    estimator (discount, concentration), grown in order by update()."""

    def predict_proba(self, history: _Symbols) -> list[float]:
        """Return the posterior predictive distribution of the symbol after `history`,
        averaged over every tree of depth at most max_depth: entry a is the ratio of
        the evidences with and without one more position, `history` followed by a.
        Only the last max_depth symbols of `history` matter. A shorter history is
        predicted as far as it reaches: the context it ends at predicts as a leaf
        would, by its own estimate, mixed with its ancestors as usual. A list of
        alphabet_size floats. A mixture of rows counted from their start (starts)
        reads a shorter history as the beginning of a row: its context reaches
        back to the row's start."""
    @overload
    def predict_proba_batch(self, histories: _Rows, *, out: None = None) -> Array: ...
    @overload
    def predict_proba_batch(self, histories: _Rows, *, out: _Out) -> _Out:
        """predict_proba of each history, as an (n, alphabet_size) float64 Array whose
        row i equals predict_proba(histories[i]) bit for bit. With `out`, a writable
        C-contiguous float64 buffer of that shape, the rows are written there instead
        and `out` is returned; a call that fails leaves it as it was."""
    @overload
    def update(self, data: _Rows, distributions: Literal[False] = False) -> Array: ...
    @overload
    def update(self, data: _Rows, distributions: Literal[True]) -> tuple[Array, Array]: ...
    @overload
    def update(self, data: _Rows, distributions: bool) -> Array | tuple[Array, Array]: ...
    def log_likelihood(self, data: _Rows, skip: SupportsIndex | None = None) -> list[float]:
        """Return, for each row of `data`, the natural log of its marginal probability
        given the mixture's counts, from position `skip` on (None: the counted
        positions, from max_depth on, or from 0 when rows are counted from their
        start): its positions predicted one after another, each counted
        one added to the posterior for the rest of that row only (those before skip
        unscored), each earlier one predicted as predict_proba predicts a short
        history and not added. Rows are independent and the mixture is left
        unchanged. A list of floats."""
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: Literal[False] = False
    ) -> Array: ...
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: Literal[True]
    ) -> tuple[Array, Array]: ...
    @overload
    def pointwise_log_likelihood(
        self, data: _Rows, skip: SupportsIndex | None = None, *, offsets: bool
    ) -> Array | tuple[Array, Array]:
        """Return the terms log_likelihood adds: the natural-log probability of every
        scored position, rows one after another in order, as one float64 Array.
        Adding a row's terms left to right from 0.0 gives log_likelihood's value
        for that row. With `offsets` true, return the pair (terms, offsets),
        offsets an int64 Array of len(data) + 1 entries: row i's terms are
        terms[offsets[i]:offsets[i + 1]]."""
    def top_k(self, histories: _Rows, k: SupportsIndex) -> tuple[Array, Array]:
        """Return the k most probable next symbols after each history, as a pair of
        (n, min(k, alphabet_size)) Arrays: the symbols (int64) and their
        probabilities (float64, predict_proba's bit for bit), most probable first,
        equal probabilities in ascending symbol order."""
    def __copy__(self) -> Mixture:
        """Return an independent copy of the mixture."""
    def __deepcopy__(self, memo: dict[int, object], /) -> Mixture:
        """Return an independent copy of the mixture."""
    def __reduce__(
        self,
    ) -> tuple[methodcaller, tuple[Counts]] | tuple[Callable[[bytes], Any], tuple[bytes]]:
        """Return what pickling stores: the counts of every row the mixture holds and its hyperparameters (under Kneser-Ney, its rows in order)."""  # noqa: E501
    @property
    def alphabet_size(self) -> int:
        """Symbols are 0 .. alphabet_size - 1."""
    @property
    def max_depth(self) -> int:
        """The deepest tree mixed: contexts of up to max_depth symbols."""
    @property
    def starts(self) -> bool:
        """Whether every position of a row is counted, its context reaching back to the row's start (the counts it was made from were made with starts=True)."""  # noqa: E501
    @property
    def beta(self) -> float:
        """The prior's beta."""
    @property
    def sample_size(self) -> int:
        """The number of counted positions."""
    @property
    def log_evidence(self) -> float:
        """The natural log of the evidence of the counted positions: Counts.log_evidence(beta, alpha=alpha) of counts holding the same rows; under Kneser-Ney, the sum of the log probabilities update() gave them, in order."""  # noqa: E501
    @property
    def estimator(self) -> Literal["dirichlet", "kneser_ney"]:
        """How each context predicts: 'dirichlet' (alpha; 1/2 is Krichevsky-Trofimov) or 'kneser_ney' (discount, concentration)."""  # noqa: E501
    @property
    def hyperparameters(self) -> _Hyperparameters:
        """The prior's beta and the estimator's hyperparameters, as a dict that Counts.mixture(**hyperparameters) takes."""  # noqa: E501

# What choose_hyperparameters() returns and Mixture.hyperparameters holds: the
# keywords of Counts.mixture.
class _Hyperparameters(TypedDict, total=False):
    beta: float
    alpha: float
    discount: Array
    concentration: Array

# What segment() returns.
class _Segmentation(TypedDict):
    log_evidence: list[float]
    posterior: list[float]
    map: list[list[int] | None]
    marginal: Array

def change_point_posterior(
    row: _Symbols,
    alphabet_size: SupportsIndex,
    max_depth: SupportsIndex,
    *,
    beta: SupportsFloat | SupportsIndex | None = None,
) -> Array:
    """Return, for each position j of `row`, the natural log of the posterior
    probability that a single change point falls at j: the first segment is the
    counted positions max_depth .. j - 1, the second j .. len(row) - 1, each with
    its own tree and parameters under bct's prior with `beta`, contexts reaching
    back across the change, every position that leaves both segments non-empty
    equally likely a priori. A float64 Array of len(row) entries whose
    exponentials sum to 1; -inf where a segment would be empty. Linear in
    len(row)."""

def segment(
    row: _Symbols,
    alphabet_size: SupportsIndex,
    max_depth: SupportsIndex,
    *,
    max_changes: SupportsIndex,
    beta: SupportsFloat | SupportsIndex | None = None,
    stride: SupportsIndex = 1,
) -> _Segmentation:
    """Return the exact posterior over segmentations of `row` with 0 to
    `max_changes` change points at positions max_depth + stride,
    max_depth + 2 * stride, ... (segments as in change_point_posterior, each
    with its own tree), under a uniform prior over the number of change points
    and, given it, over their positions: a dict with 'log_evidence' and
    'posterior' (one entry per number of change points), 'map' (per number,
    the most probable positions, None when no segmentation has that many) and
    'marginal' (a float64 Array of len(row): the posterior probability of a
    change point at each position). It holds the evidence of every segment
    between grid points, found by about (len(row) / stride) * len(row)
    path updates of max_depth + 1 nodes each, then sums over about
    max_changes * (len(row) / stride)**2 / 2 segmentations' prefixes. It raises
    MemoryError before starting when there would be more than about 2**25
    segments (512 MiB), or tables of that size for the sums."""

def choose_hyperparameters(
    data: _Rows,
    alphabet_size: SupportsIndex,
    max_depth: SupportsIndex,
    *,
    estimator: str = "kneser_ney",
    max_positions: SupportsIndex | None = 131072,
    passes: SupportsIndex = 12,
) -> _Hyperparameters:
    """Return the hyperparameters of `estimator` and bct's beta that maximise the
    evidence of the counted positions of the rows of `data` (taken as
    Counts.add takes them), as a dict that Counts.mixture(**hyperparameters)
    takes. 'kneser_ney': the evidence of the mixture grown by the rows in
    order, over the first `max_positions` counted positions (None: all),
    searched over beta, three discounts (counts 1, 2, and 3 or more) that
    move with depth alike, and a concentration that moves with depth.
    'dirichlet': the evidence of the rows' counts over beta and alpha. Each
    of at most `passes` steps of the quasi-Newton search is one pass over the
    positions."""
