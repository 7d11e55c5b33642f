// The class Mixture, made by Counts.mixture(): model-averaged prediction of
// the next symbol, sequential updates and per-row marginal likelihoods. A
// mixture of counts alone (the Dirichlet estimator) pickles as the counts of
// every row it holds and its hyperparameters, through Counts.mixture itself,
// so its state is a Counts state and read as one; a mixture grown in order
// (Kneser-Ney) pickles as its rows, which loading adds again in order.

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "array.hpp"
#include "classes.hpp"
#include "entry.hpp"
#include "estimator_arguments.hpp"
#include "members.hpp"
#include "mixture_functions.hpp"
#include "results.hpp"
#include "symbols.hpp"

namespace ostrel::binding {

namespace {

using bct::Mixture;
using MixtureInstance = InstanceOf<Mixture>;

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// The message OSTREL.predict_proba gives a history symbol outside the
// alphabet.
bool check_history(std::span<const Symbol> history, std::size_t alphabet_size) {
  for (std::size_t i = 0; i < history.size(); ++i) {
    if (history[i] >= alphabet_size) {
      raise_value_error("symbol " + std::to_string(history[i]) + " at sequence[" +
                        std::to_string(i) + "] is outside 0.." + std::to_string(alphabet_size));
      return false;
    }
  }
  return true;
}

// Room for `rows` x `columns` doubles in an array that can step over its rows
// (even with no rows), or MemoryError before allocating.
void check_table(std::size_t rows, std::size_t columns) {
  const auto most =
      static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
  if (columns > most || (columns != 0 && rows > most / columns)) throw std::bad_alloc();
}

// The float64 items of an Array just made (null for none).
double* items_of(const Ref& array) {
  if (!array) return nullptr;
  const ResultArray& state = reinterpret_cast<InstanceOf<ResultArray>*>(array.get())->state();
  return reinterpret_cast<double*>(const_cast<char*>(state.data));
}

constexpr const char* HISTORY[] = {"history"};
constexpr const char* BATCH[] = {"histories", "out"};
constexpr const char* UPDATE[] = {"data", "distributions"};
constexpr const char* DATA[] = {"data"};

PyObject* predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    Ref given[1];
    if (!parse_arguments("Mixture.predict_proba()", HISTORY, 1, args, kwargs, given)) {
      return nullptr;
    }
    std::vector<Symbol> history;
    if (!to_symbols(given[0].get(), "history", history, instance.exporters())) return nullptr;
    const Mixture& mixture = instance.state();
    if (!check_history(history, mixture.alphabet_size())) return nullptr;
    std::vector<double> p(mixture.alphabet_size());
    mixture.predict(history, p);
    return from_floats(p).release();
  });
}

PyObject* predict_proba_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("Mixture.predict_proba_batch()", BATCH, 1, 1, args, kwargs, given)) {
      return nullptr;
    }
    Rows histories;
    if (!to_rows(given[0].get(), "histories", histories, instance.exporters())) return nullptr;
    const Mixture& mixture = instance.state();
    const std::size_t m = mixture.alphabet_size();
    const bool into = given[1] && given[1].get() != Py_None;
    OutTable out;
    if (into && !out.claim(given[1].get(), histories.size(), m)) return nullptr;
    if (auto valid = check_symbols(histories, m, "histories"); !valid) {
      return raise_value_error(valid.error());
    }
    std::vector<double> table;
    if (!into) {
      check_table(histories.size(), m);
      table.resize(histories.size() * m);
    }
    const std::span<double> rows = into ? out.items() : std::span<double>(table);
    std::vector<Symbol> history;
    for (std::size_t r = 0; r < histories.size(); ++r) {
      history.resize(histories.row_length(r));
      for (std::size_t i = 0; i < history.size(); ++i) history[i] = histories.symbol(r, i);
      mixture.predict(history, rows.subspan(r * m, m));
    }
    if (into) return Py_NewRef(given[1].get());
    return make_array(std::move(table), histories.size(), m).release();
  });
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Exclusive, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("Mixture.update()", UPDATE, 1, args, kwargs, given)) return nullptr;
    Rows rows;
    if (!to_rows(given[0].get(), "data", rows, instance.exporters())) return nullptr;
    bool distributions = false;
    if (given[1] && !to_flag(given[1].get(), distributions)) return nullptr;
    Mixture& mixture = instance.state();
    const std::size_t m = mixture.alphabet_size();
    if (auto valid = check_symbols(rows, m); !valid) return raise_value_error(valid.error());
    // The answer's arrays exist before the mixture changes, and the update
    // writes into them: nothing can fail after it.
    const std::size_t positions = mixture.positions(rows);
    check_table(positions, distributions ? m : 1);
    Ref scores = make_array(std::vector<double>(positions));
    if (!scores) return nullptr;
    Ref table;
    if (distributions) {
      table = make_array(std::vector<double>(positions * m), positions, m);
      if (!table) return nullptr;
    }
    Ref result =
        distributions ? Ref(PyTuple_Pack(2, scores.get(), table.get())) : Ref::borrow(scores.get());
    if (!result) return nullptr;
    auto updated =
        mixture.update(rows, std::span<double>(items_of(scores), positions),
                       std::span<double>(items_of(table), distributions ? positions * m : 0));
    if (!updated) return raise_value_error(updated.error());
    return result.release();
  });
}

constexpr const char* LOG_LIKELIHOOD[] = {"data", "skip"};
constexpr const char* POINTWISE[] = {"data", "skip", "offsets"};
constexpr const char* TOP_K[] = {"histories", "k"};

// The scoring methods' shared part, as the fitted model's: `data` as rows,
// `skip` (None: max_depth) and, for the pointwise terms, the keyword
// `offsets`, in that order, then score(mixture, rows, skip, offsets). Each
// row runs on the mixture and is undone after it: a borrow that excludes
// every other.
template <class Score>
PyObject* scoring_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                         std::span<const char* const> names, Score&& score) {
  return entry<Access::Exclusive, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    Ref given[3];
    if (!parse_arguments(name, names, 1, 2, args, kwargs, std::span<Ref>(given, names.size()))) {
      return nullptr;
    }
    Rows rows;
    if (!to_rows(given[0].get(), "data", rows, instance.exporters())) return nullptr;
    Mixture& mixture = instance.state();
    // Counted from their start, every position of a row is counted.
    std::size_t skip = mixture.starts() ? 0 : mixture.max_depth();
    if (given[1] && given[1].get() != Py_None && !to_size(given[1].get(), "skip", skip)) {
      return nullptr;
    }
    bool offsets = false;
    if (given[2] && !to_flag(given[2].get(), offsets)) return nullptr;
    return score(mixture, rows, skip, offsets);
  });
}

PyObject* log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return scoring_method(self, args, kwargs, "Mixture.log_likelihood()", LOG_LIKELIHOOD,
                        [](Mixture& mixture, const Rows& rows, std::size_t skip, bool) {
                          auto scores = mixture.log_likelihood(rows, skip);
                          if (!scores) return raise_value_error(scores.error());
                          return from_floats(*scores).release();
                        });
}

PyObject* pointwise_log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return scoring_method(self, args, kwargs, "Mixture.pointwise_log_likelihood()", POINTWISE,
                        [](Mixture& mixture, const Rows& rows, std::size_t skip, bool offsets) {
                          auto terms = mixture.pointwise_log_likelihood(rows, skip);
                          if (!terms) return raise_value_error(terms.error());
                          return from_terms(std::move(*terms), rows, skip, offsets).release();
                        });
}

PyObject* top_k(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("Mixture.top_k()", TOP_K, 2, args, kwargs, given)) return nullptr;
    Rows histories;
    if (!to_rows(given[0].get(), "histories", histories, instance.exporters())) return nullptr;
    std::size_t k = 0;
    if (!to_count(given[1].get(), "k", k)) return nullptr;
    const Mixture& mixture = instance.state();
    auto top = mixture.top_k(histories, k);
    if (!top) return raise_value_error(top.error());
    return from_top_symbols(std::move(*top), histories.size(), mixture.alphabet_size()).release();
  });
}

// (operator.methodcaller("mixture", beta[, alpha=alpha]), (counts,)):
// unpickling asks the counts for their mixture again (alpha only when it is
// not the default, so that such a pickle is what it always was). A mixture
// grown in order: (ostrel._restore, (state,)).
PyObject* mixture_reduce(PyObject* self, PyObject* /*unused*/) {
  if (PyObject_TypeCheck(self, type_of<Mixture>()) &&
      reinterpret_cast<MixtureInstance*>(self)->state().sequential()) {
    return reduce<Mixture>(self, nullptr);
  }
  return entry<Access::Shared, Mixture>(self, [&](MixtureInstance& instance) -> PyObject* {
    const Mixture& mixture = instance.state();
    PyTypeObject* counts_type = type_of<Counts>();
    if (counts_type == nullptr) return nullptr;
    Ref counts(new_instance(counts_type, mixture.counts()));
    if (!counts) return nullptr;
    Ref operator_module(PyImport_ImportModule("operator"));
    if (!operator_module) return nullptr;
    Ref methodcaller(PyObject_GetAttrString(operator_module.get(), "methodcaller"));
    if (!methodcaller) return nullptr;
    const double alpha = std::get<bct::DirichletChoice>(mixture.estimator()).alpha;
    Ref arguments(Py_BuildValue("(sd)", "mixture", mixture.prior().beta));
    if (!arguments) return nullptr;
    Ref keywords;
    if (alpha != bct::Dirichlet::KRICHEVSKY_TROFIMOV) {
      keywords = Ref(Py_BuildValue("{sd}", "alpha", alpha));
      if (!keywords) return nullptr;
    }
    Ref caller(PyObject_Call(methodcaller.get(), arguments.get(), keywords.get()));
    if (!caller) return nullptr;
    return Py_BuildValue("(O(O))", caller.get(), counts.get());
  });
}

PyObject* mixture_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot create 'ostrel.Mixture' instances; Counts.mixture() returns them");
  return nullptr;
}

PyObject* mixture_repr(PyObject* self) {
  return entry<Access::Shared, Mixture>(self, [](MixtureInstance& instance) -> PyObject* {
    const Mixture& mixture = instance.state();
    Ref beta(PyFloat_FromDouble(mixture.prior().beta));
    if (!beta) return nullptr;
    // The estimator is named unless it is bct's own (the repr it always had).
    const bct::EstimatorChoice estimator = mixture.estimator();
    std::string named;
    if (const auto* dirichlet = std::get_if<bct::DirichletChoice>(&estimator)) {
      if (dirichlet->alpha != bct::Dirichlet::KRICHEVSKY_TROFIMOV) {
        Ref alpha(PyFloat_FromDouble(dirichlet->alpha));
        if (!alpha) return nullptr;
        Ref text(PyObject_Repr(alpha.get()));
        if (!text) return nullptr;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
        if (utf8 == nullptr) return nullptr;
        named = std::string(" alpha=") + utf8;
      }
    } else {
      named = " estimator='kneser_ney'";
    }
    if (mixture.starts()) named += " starts=True";
    return PyUnicode_FromFormat(
        "<ostrel.Mixture alphabet_size=%zu max_depth=%zu beta=%R%s sample_size=%llu>",
        mixture.alphabet_size(), mixture.max_depth(), beta.get(), named.c_str(),
        static_cast<unsigned long long>(mixture.sample_size()));
  });
}

PyMethodDef methods[] = {
    {"predict_proba", as_cfunction(predict_proba), METH_VARARGS | METH_KEYWORDS,
     "predict_proba($self, history)\n--\n\n"
     "Return the posterior predictive distribution of the symbol after `history`,\n"
     "averaged over every tree of depth at most max_depth: entry a is the ratio of\n"
     "the evidences with and without one more position, `history` followed by a.\n"
     "Only the last max_depth symbols of `history` matter. A shorter history is\n"
     "predicted as far as it reaches: the context it ends at predicts as a leaf\n"
     "would, by its own estimate, mixed with its ancestors as usual. A list of\n"
     "alphabet_size floats. A mixture of rows counted from their start (starts)\n"
     "reads a shorter history as the beginning of a row: its context reaches\n"
     "back to the row's start."},
    {"predict_proba_batch", as_cfunction(predict_proba_batch), METH_VARARGS | METH_KEYWORDS,
     "predict_proba_batch($self, histories, *, out=None)\n--\n\n"
     "predict_proba of each history, as an (n, alphabet_size) float64 Array whose\n"
     "row i equals predict_proba(histories[i]) bit for bit. With `out`, a writable\n"
     "C-contiguous float64 buffer of that shape, the rows are written there instead\n"
     "and `out` is returned; a call that fails leaves it as it was."},
    {"update", as_cfunction(update), METH_VARARGS | METH_KEYWORDS,
     "update($self, data, distributions=False)\n--\n\n"
     "Add the rows of `data`, taken as Counts.add takes them, one counted position\n"
     "at a time (the first max_depth symbols of a row are context only, unless\n"
     "rows are counted from their start: see starts), and return the natural\n"
     "log of each counted position's predictive probability just before it was\n"
     "added, as one float64 Array in order. With\n"
     "`distributions` true, return the pair (log probabilities, distributions),\n"
     "the second a (positions, alphabet_size) Array of the predictive\n"
     "distributions used. Afterwards the mixture answers as one built from counts\n"
     "of all its rows (under Kneser-Ney, as one grown from empty by the same rows\n"
     "in the same order). A failed call changes nothing."},
    {"log_likelihood", as_cfunction(log_likelihood), METH_VARARGS | METH_KEYWORDS,
     "log_likelihood($self, data, skip=None)\n--\n\n"
     "Return, for each row of `data`, the natural log of its marginal probability\n"
     "given the mixture's counts, from position `skip` on (None: the counted\n"
     "positions, from max_depth on, or from 0 when rows are counted from their\n"
     "start): its positions predicted one after another, each counted\n"
     "one added to the posterior for the rest of that row only (those before skip\n"
     "unscored), each earlier one predicted as predict_proba predicts a short\n"
     "history and not added. Rows are independent and the mixture is left\n"
     "unchanged. A list of floats."},
    {"pointwise_log_likelihood", as_cfunction(pointwise_log_likelihood),
     METH_VARARGS | METH_KEYWORDS,
     "pointwise_log_likelihood($self, data, skip=None, *, offsets=False)\n--\n\n"
     "Return the terms log_likelihood adds: the natural-log probability of every\n"
     "scored position, rows one after another in order, as one float64 Array.\n"
     "Adding a row's terms left to right from 0.0 gives log_likelihood's value\n"
     "for that row. With `offsets` true, return the pair (terms, offsets),\n"
     "offsets an int64 Array of len(data) + 1 entries: row i's terms are\n"
     "terms[offsets[i]:offsets[i + 1]]."},
    {"top_k", as_cfunction(top_k), METH_VARARGS | METH_KEYWORDS,
     "top_k($self, histories, k)\n--\n\n"
     "Return the k most probable next symbols after each history, as a pair of\n"
     "(n, min(k, alphabet_size)) Arrays: the symbols (int64) and their\n"
     "probabilities (float64, predict_proba's bit for bit), most probable first,\n"
     "equal probabilities in ascending symbol order."},
    {"__reduce__", mixture_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nReturn what pickling stores: the counts of every row the "
     "mixture holds and its hyperparameters (under Kneser-Ney, its rows in order)."},
    {"__copy__", copy<Mixture>, METH_NOARGS,
     "__copy__($self, /)\n--\n\nReturn an independent copy of the mixture."},
    {"__deepcopy__", deepcopy<Mixture>, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nReturn an independent copy of the mixture."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* alphabet_size(const Mixture& mixture) {
  return PyLong_FromSize_t(mixture.alphabet_size());
}
PyObject* max_depth(const Mixture& mixture) { return PyLong_FromSize_t(mixture.max_depth()); }
PyObject* starts(const Mixture& mixture) { return PyBool_FromLong(mixture.starts()); }
PyObject* beta(const Mixture& mixture) { return PyFloat_FromDouble(mixture.prior().beta); }
PyObject* sample_size(const Mixture& mixture) {
  return PyLong_FromUnsignedLongLong(mixture.sample_size());
}
PyObject* log_evidence(const Mixture& mixture) {
  return PyFloat_FromDouble(mixture.log_evidence());
}
PyObject* estimator(const Mixture& mixture) {
  return PyUnicode_FromString(estimator_name(mixture.estimator()));
}
PyObject* hyperparameters(const Mixture& mixture) {
  return from_hyperparameters(mixture.prior().beta, mixture.estimator()).release();
}

PyGetSetDef properties[] = {
    {"alphabet_size", property<Mixture, alphabet_size>, nullptr,
     "Symbols are 0 .. alphabet_size - 1.", nullptr},
    {"max_depth", property<Mixture, max_depth>, nullptr,
     "The deepest tree mixed: contexts of up to max_depth symbols.", nullptr},
    {"starts", property<Mixture, starts>, nullptr,
     "Whether every position of a row is counted, its context reaching back to the row's start "
     "(the counts it was made from were made with starts=True).",
     nullptr},
    {"beta", property<Mixture, beta>, nullptr, "The prior's beta.", nullptr},
    {"sample_size", property<Mixture, sample_size>, nullptr, "The number of counted positions.",
     nullptr},
    {"log_evidence", property<Mixture, log_evidence>, nullptr,
     "The natural log of the evidence of the counted positions: Counts.log_evidence(beta, "
     "alpha=alpha) of counts holding the same rows; under Kneser-Ney, the sum of the log "
     "probabilities update() gave them, in order.",
     nullptr},
    {"estimator", property<Mixture, estimator>, nullptr,
     "How each context predicts: 'dirichlet' (alpha; 1/2 is Krichevsky-Trofimov) or "
     "'kneser_ney' (discount, concentration).",
     nullptr},
    {"hyperparameters", property<Mixture, hyperparameters>, nullptr,
     "The prior's beta and the estimator's hyperparameters, as a dict that "
     "Counts.mixture(**hyperparameters) takes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The Bayesian mixture over every context tree of depth at most max_depth\n"
                       "under bct's prior, made by Counts.mixture(beta): model-averaged\n"
                       "prediction of the next symbol, sequential updates and the marginal\n"
                       "likelihood of new rows. It holds, for every context seen, its counts and\n"
                       "the weights of its subtrees. Each context predicts by the estimator\n"
                       "chosen: Dirichlet leaves (alpha) or the hierarchical Kneser-Ney\n"
                       "estimator (discount, concentration), grown in order by update().")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(mixture_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Mixture>)},
    {Py_tp_repr, reinterpret_cast<void*>(mixture_repr)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec ClassOf<bct::Mixture>::definition = {
    "ostrel.Mixture", static_cast<int>(sizeof(MixtureInstance)), 0, Py_TPFLAGS_DEFAULT, slots,
};

constexpr const char* MIXTURE_PARAMETERS[] = {"beta", "alpha", "discount", "concentration"};

PyObject* counts_mixture(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](InstanceOf<Counts>& instance) -> PyObject* {
    Ref given[4];
    if (!parse_arguments("Counts.mixture()", MIXTURE_PARAMETERS, 0, 1, args, kwargs, given)) {
      return nullptr;
    }
    std::optional<double> beta;
    if (!to_optional_float(given[0].get(), "beta", beta)) return nullptr;
    const Counts& counts = instance.state();
    EstimatorArguments arguments;
    if (!read_estimator_arguments(given[1].get(), given[2].get(), given[3].get(),
                                  counts.max_depth(), arguments)) {
      return nullptr;
    }
    auto prior = bct::BctPrior::checked(counts.alphabet_size(), beta);
    if (!prior) return raise_value_error(prior.error());
    const std::optional<bct::EstimatorChoice> estimator =
        choose_estimator(arguments, counts.alphabet_size(), counts.max_depth());
    if (!estimator) return nullptr;
    if (std::holds_alternative<bct::KneserNey>(*estimator) && counts.sample_size() != 0) {
      return raise_value_error(
          "the Kneser-Ney estimator (discount, concentration) depends on the order of the "
          "positions, which counts do not keep: grow Counts(alphabet_size, "
          "max_depth).mixture(...) from empty with update()");
    }
    PyTypeObject* type = type_of<Mixture>();
    if (type == nullptr) return nullptr;
    return new_instance(type, Mixture(counts, *prior, *estimator));
  });
}

}  // namespace ostrel::binding
