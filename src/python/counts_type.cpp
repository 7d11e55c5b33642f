// The class Counts: constructor, adding rows, the evidence and the top trees
// of bct's prior, merging with `+`, and read-only properties. Each entry
// point only converts arguments, calls the native value and converts its
// answer; the pattern around it lives in entry.hpp, the members every class
// shares (copies, pickling) in members.hpp.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "classes.hpp"
#include "entry.hpp"
#include "members.hpp"
#include "mixture_functions.hpp"
#include "posterior/posterior.hpp"
#include "results.hpp"
#include "symbols.hpp"
#include "tree_methods.hpp"

namespace ostrel::binding {

namespace {

using CountsInstance = InstanceOf<Counts>;

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

constexpr const char* CONSTRUCTOR_PARAMETERS[] = {"alphabet_size", "max_depth", "part", "starts"};

PyObject* counts_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[4];
    if (!parse_arguments("Counts.__new__()", CONSTRUCTOR_PARAMETERS, 2, 2, args, kwargs, given)) {
      return nullptr;
    }
    std::size_t alphabet_size = 0, max_depth = 0;
    std::uint64_t part = 0;
    bool starts = false;
    if (!to_size(given[0].get(), "alphabet_size", alphabet_size)) return nullptr;
    if (!to_size(given[1].get(), "max_depth", max_depth)) return nullptr;
    if (given[2] && !to_u64(given[2].get(), "part", part)) return nullptr;
    if (given[3] && !to_bool(given[3].get(), "starts", starts)) return nullptr;
    auto counts = Counts::create(alphabet_size, max_depth, part, starts);
    if (!counts) return raise_value_error(counts.error());
    return new_instance(type, std::move(*counts));
  });
}

// ---- methods ---------------------------------------------------------------

constexpr const char* DATA[] = {"data"};

PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Exclusive, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref data[1];
    if (!parse_arguments("Counts.add()", DATA, 1, args, kwargs, data)) return nullptr;
    Rows rows;
    if (!to_rows(data[0].get(), "data", rows, instance.exporters())) return nullptr;
    auto added = instance.state().add(rows);
    if (!added) return raise_value_error(added.error());
    Py_RETURN_NONE;
  });
}

// bct's prior for these counts, `beta` as the constructor of
// OSTREL(alphabet_size, max_depth, "bct", beta) takes it; null with
// ValueError when it refuses.
std::optional<bct::BctPrior> bct_prior(const Counts& counts, std::optional<double> beta) {
  auto prior = bct::BctPrior::checked(counts.alphabet_size(), beta);
  if (!prior) {
    raise_value_error(prior.error());
    return std::nullopt;
  }
  return *prior;
}

// The Dirichlet concentration, as Counts.mixture takes `alpha`; null with
// ValueError when it refuses.
std::optional<double> dirichlet_alpha(std::optional<double> alpha) {
  auto checked = bct::Dirichlet::checked(alpha);
  if (!checked) {
    raise_value_error(checked.error());
    return std::nullopt;
  }
  return *checked;
}

constexpr const char* EVIDENCE_PARAMETERS[] = {"beta", "alpha"};

PyObject* log_evidence(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("Counts.log_evidence()", EVIDENCE_PARAMETERS, 0, 1, args, kwargs, given)) {
      return nullptr;
    }
    std::optional<double> beta, alpha;
    if (!to_optional_float(given[0].get(), "beta", beta)) return nullptr;
    if (!to_optional_float(given[1].get(), "alpha", alpha)) return nullptr;
    const Counts& counts = instance.state();
    const std::optional<bct::BctPrior> prior = bct_prior(counts, beta);
    if (!prior) return nullptr;
    const std::optional<double> concentration = dirichlet_alpha(alpha);
    if (!concentration) return nullptr;
    if (counts.starts()) {
      // No evidence pass reads contexts that hold a row's start: the mixture
      // of the counts holds their evidence.
      const bct::MixtureOf<bct::Dirichlet> mixture(
          counts, *prior, bct::Dirichlet(counts.alphabet_size(), *concentration));
      return PyFloat_FromDouble(mixture.log_evidence());
    }
    return PyFloat_FromDouble(bct::posterior(counts, *prior, 0, *concentration).log_evidence);
  });
}

constexpr const char* TOP_TREES_PARAMETERS[] = {"k", "beta", "alpha"};

PyObject* top_trees(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref given[3];
    if (!parse_arguments("Counts.top_trees()", TOP_TREES_PARAMETERS, 1, 2, args, kwargs, given)) {
      return nullptr;
    }
    if (!symbol_contexts(instance.state(), "Counts.top_trees()")) return nullptr;
    Ref k = to_index(given[0].get(), "k");
    if (!k) return nullptr;
    std::optional<double> beta, alpha;
    if (!to_optional_float(given[1].get(), "beta", beta)) return nullptr;
    if (!to_optional_float(given[2].get(), "alpha", alpha)) return nullptr;
    // More trees than a word counts could never be held: ask for them all.
    std::size_t wanted = 0;
    if (!at_least_one(k.get(), "k", wanted)) return nullptr;
    const Counts& counts = instance.state();
    const std::optional<bct::BctPrior> prior = bct_prior(counts, beta);
    if (!prior) return nullptr;
    const std::optional<double> concentration = dirichlet_alpha(alpha);
    if (!concentration) return nullptr;
    return from_ranked_trees(bct::posterior(counts, *prior, wanted, *concentration).top_trees)
        .release();
  });
}

// Whether `object` is the integer 0, the start of sum(list_of_counts);
// -1 with the error set when comparing it fails.
int is_zero(PyObject* object) {
  if (!PyLong_Check(object)) return 0;
  Ref zero(PyLong_FromLong(0));
  if (!zero) return -1;
  return PyObject_RichCompareBool(object, zero.get(), Py_EQ);
}

// a + b: the counts of the rows of both, as a new value. 0 + counts (and
// counts + 0) is a copy of the counts, so that sum() adds a list of them.
PyObject* merge(PyObject* a, PyObject* b) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = type_of<Counts>();
    if (type == nullptr) return nullptr;
    const bool a_counts = PyObject_TypeCheck(a, type) != 0;
    const bool b_counts = PyObject_TypeCheck(b, type) != 0;
    if (a_counts != b_counts) {
      const int zero = is_zero(a_counts ? b : a);
      if (zero < 0) return nullptr;
      if (zero == 0) Py_RETURN_NOTIMPLEMENTED;
      PyObject* counts = a_counts ? a : b;
      return copy<Counts>(counts, nullptr);
    }
    if (!a_counts) Py_RETURN_NOTIMPLEMENTED;
    auto& left = *reinterpret_cast<CountsInstance*>(a);
    auto& right = *reinterpret_cast<CountsInstance*>(b);
    BorrowGuard left_guard(left, Access::Shared);
    if (!left_guard) return nullptr;
    BorrowGuard right_guard(right, Access::Shared);
    if (!right_guard) return nullptr;
    auto merged = Counts::merge(left.state(), right.state());
    if (!merged) return raise_value_error(merged.error());
    return new_instance(type, std::move(*merged));
  });
}

// counts += other: the same merge, held by the left operand itself (which
// other references to it see); a refused merge leaves both as they were.
// The left operand is not copied first: the merged value replaces its
// storage, which is released.
PyObject* merge_in_place(PyObject* a, PyObject* b) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = type_of<Counts>();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(a, type) || !PyObject_TypeCheck(b, type)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    auto& left = *reinterpret_cast<CountsInstance*>(a);
    auto& right = *reinterpret_cast<CountsInstance*>(b);
    BorrowGuard left_guard(left, Access::Exclusive);
    if (!left_guard) return nullptr;
    std::optional<BorrowGuard> right_guard;  // counts += counts reads what it writes
    if (b != a) {
      right_guard.emplace(right, Access::Shared);
      if (!*right_guard) return nullptr;
    }
    auto merged = Counts::merge(left.state(), right.state());
    if (!merged) return raise_value_error(merged.error());
    left.state() = std::move(*merged);
    return Py_NewRef(a);
  });
}

PyObject* counts_sizeof(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, Counts>(self, [](CountsInstance& instance) -> PyObject* {
    return PyLong_FromSize_t(sizeof(CountsInstance) + instance.state().bytes());
  });
}

PyObject* counts_repr(PyObject* self) {
  return entry<Access::Shared, Counts>(self, [](CountsInstance& instance) -> PyObject* {
    const Counts& counts = instance.state();
    const std::string text =
        "<ostrel.Counts alphabet_size=" + std::to_string(counts.alphabet_size()) +
        " max_depth=" + std::to_string(counts.max_depth()) +
        " part=" + std::to_string(counts.part()) + (counts.starts() ? " starts=True" : "") +
        " sample_size=" + std::to_string(counts.sample_size()) + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef methods[] = {
    {"add", as_cfunction(add), METH_VARARGS | METH_KEYWORDS,
     "add($self, data)\n--\n\n"
     "Count the rows of `data`, taken as OSTREL.fit takes them, after the rows\n"
     "added before. A failed call counts nothing."},
    {"log_evidence", as_cfunction(log_evidence), METH_VARARGS | METH_KEYWORDS,
     "log_evidence($self, beta=None, *, alpha=None)\n--\n\n"
     "Return the natural log of the evidence of the counted positions under\n"
     "bct's prior with `beta` (None: the default of OSTREL(..., method=\"bct\")):\n"
     "their probability summed over every tree of depth at most max_depth, each\n"
     "tree weighted by its prior, each leaf scoring its counts by the Dirichlet\n"
     "estimate of concentration `alpha` per symbol (None: 1/2, the\n"
     "Krichevsky-Trofimov estimate). Bayes factors between depths, priors, data\n"
     "sets or estimators are differences of these. Counts made with starts=True\n"
     "have the evidence of their mixture(beta, alpha=alpha)."},
    {"top_trees", as_cfunction(top_trees), METH_VARARGS | METH_KEYWORDS,
     "top_trees($self, k, beta=None, *, alpha=None)\n--\n\n"
     "Return the k context trees of highest posterior probability under bct's\n"
     "prior with `beta` and Dirichlet leaves of concentration `alpha` (None:\n"
     "1/2, as log_evidence takes them), best first, as (contexts, log posterior) pairs: the\n"
     "contexts as get_contexts() lists them, the natural log of the posterior\n"
     "probability. The first is the tree that OSTREL(..., method=\"bct\",\n"
     "beta=beta) fits. Fewer when fewer trees exist. Equal posteriors rank the\n"
     "tree that stops sooner first, then by where the trees differ, the smaller\n"
     "symbol first."},
    {"__sizeof__", as_cfunction(counts_sizeof), METH_NOARGS,
     "__sizeof__($self, /)\n--\n\nReturn the bytes the counts hold, their keys included."},
    {"mixture", as_cfunction(counts_mixture), METH_VARARGS | METH_KEYWORDS,
     "mixture($self, beta=None, *, alpha=None, discount=None, concentration=None)\n--\n\n"
     "Return the Bayesian mixture over every tree of depth at most max_depth\n"
     "under bct's prior with `beta` (as log_evidence takes it), built from these\n"
     "counts: an ostrel.Mixture, independent of them afterwards. Each context\n"
     "predicts by Dirichlet leaves of concentration `alpha` per symbol (None:\n"
     "1/2, Krichevsky-Trofimov), or, when `discount` or `concentration` is given,\n"
     "by the hierarchical Kneser-Ney estimator: its counts discounted by\n"
     "`discount` (a number in [0, 1), or one per depth 0 .. max_depth, each a\n"
     "number or three for counts 1, 2, and 3 or more; default 0.75) towards the\n"
     "next shorter context's prediction, with `concentration` (a number at least\n"
     "0, or one per depth; default 0). That estimator depends on the order of\n"
     "the positions, so its mixture starts from empty counts and grows by\n"
     "update(). Counts made with starts=True give a mixture of their kind: it\n"
     "predicts a row's first symbols from the row's start, and update() counts\n"
     "every position."},
    {"context_counts", as_cfunction(counts_context_counts), METH_VARARGS | METH_KEYWORDS,
     "context_counts($self, depth)\n--\n\n"
     "Return every context of exactly `depth` symbols (0 to max_depth) that some\n"
     "counted position has, with how often each symbol followed it, as a pair of\n"
     "ostrel.Array: the contexts, shape (k, depth), oldest symbol first, in the\n"
     "narrowest unsigned type that holds alphabet_size - 1; and the counts, shape\n"
     "(k, alphabet_size), uint64. Contexts come in the order get_contexts() lists\n"
     "them: from the oldest symbol on, the smaller first."},
    {"max_log_likelihood", as_cfunction(counts_max_log_likelihood), METH_VARARGS | METH_KEYWORDS,
     "max_log_likelihood($self, depth=None)\n--\n\n"
     "Return the log-likelihood (natural log) of the counted positions maximised\n"
     "over every tree of depth at most `depth` (None: max_depth) and its\n"
     "parameters: that of the full tree of that depth, equal to the\n"
     "summary()[\"log_likelihood\"] of the model that OSTREL.fit_tree fits with it."},
    {"tree_statistics", as_cfunction(counts_tree_statistics), METH_VARARGS | METH_KEYWORDS,
     "tree_statistics($self, contexts, beta=None)\n--\n\n"
     "Return the statistics of the complete tree whose contexts (oldest symbol\n"
     "first, as get_contexts() and top_trees give them) are `contexts`, under bct's\n"
     "prior with `beta` (None: the default of OSTREL(..., method=\"bct\")), as a\n"
     "dict: log_prior, log_posterior, log_likelihood (maximised), parameters,\n"
     "aic, bic (as summary() gives them), contexts (their number) and depth (the\n"
     "longest context). The tree is checked as OSTREL.fit_tree checks it."},
    {"__reduce__", reduce<Counts>, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nReturn what pickling stores: ostrel._restore and the counts' "
     "state."},
    {"__copy__", copy<Counts>, METH_NOARGS,
     "__copy__($self, /)\n--\n\nReturn an independent copy of the counts."},
    {"__deepcopy__", deepcopy<Counts>, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nReturn an independent copy of the counts."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------

PyObject* alphabet_size(const Counts& counts) { return PyLong_FromSize_t(counts.alphabet_size()); }

PyObject* max_depth(const Counts& counts) { return PyLong_FromSize_t(counts.max_depth()); }

PyObject* part(const Counts& counts) { return PyLong_FromUnsignedLongLong(counts.part()); }

PyObject* starts(const Counts& counts) { return PyBool_FromLong(counts.starts()); }

PyObject* sample_size(const Counts& counts) {
  return PyLong_FromUnsignedLongLong(counts.sample_size());
}

PyGetSetDef properties[] = {
    {"alphabet_size", property<Counts, alphabet_size>, nullptr,
     "Symbols are 0 .. alphabet_size - 1.", nullptr},
    {"max_depth", property<Counts, max_depth>, nullptr,
     "The context length: the first max_depth symbols of each row are context only (unless "
     "starts).",
     nullptr},
    {"part", property<Counts, part>, nullptr,
     "The part that add() counts rows into: the last part these counts hold.", nullptr},
    {"starts", property<Counts, starts>, nullptr,
     "Whether every position of a row is counted, its context reaching back to the row's start.",
     nullptr},
    {"sample_size", property<Counts, sample_size>, nullptr, "The number of counted positions.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Counts(alphabet_size, max_depth, *, part=0, starts=False)\n--\n\n"
                    "The counts of a set of rows: what fitting needs of them and nothing more.\n\n"
                    "Rows are added with add() and belong to `part`. Counts of different parts\n"
                    "merge with `+` into the counts of all their rows, ordered by part and then\n"
                    "by the order they were added, whatever order the merges run in;\n"
                    "`counts += other` merges into `counts` itself and sum() adds a list.\n"
                    "OSTREL.fit(counts) fits the model that fitting those rows in that order\n"
                    "fits. Counts pickle to a compact state independent of the machine.\n\n"
                    "With `starts` true every position of a row is counted, the first\n"
                    "max_depth with contexts that reach back to the row's start and no\n"
                    "further, the start itself part of the context (a symbol of its own that\n"
                    "is never predicted). Such counts merge only with their own kind and serve\n"
                    "mixture() and log_evidence(); a tree over the alphabet's symbols\n"
                    "(OSTREL.fit, top_trees and the other readers of trees) cannot be read\n"
                    "from them.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Counts>)},
    {Py_tp_new, reinterpret_cast<void*>(counts_new)},
    {Py_tp_repr, reinterpret_cast<void*>(counts_repr)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {Py_nb_add, reinterpret_cast<void*>(merge)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(merge_in_place)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ClassOf<Counts>::definition = {
    "ostrel.Counts", static_cast<int>(sizeof(CountsInstance)), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace ostrel::binding
