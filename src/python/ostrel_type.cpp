// The class OSTREL: constructor, methods and read-only properties. Each
// entry point only converts arguments, calls the model and converts its
// answer; the pattern around it lives in entry.hpp, the members every class
// shares in members.hpp.

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "array.hpp"
#include "classes.hpp"
#include "entry.hpp"
#include "members.hpp"
#include "model/sampling.hpp"
#include "results.hpp"
#include "symbols.hpp"
#include "tree_methods.hpp"

namespace ostrel::binding {

namespace {

using Instance = InstanceOf<OSTRELObject>;

PyObject* answer_size(const ModelResult<std::size_t>& result) {
  return answer(result, [](std::size_t value) { return Ref(PyLong_FromSize_t(value)); });
}

// ---- constructor -----------------------------------------------------------

constexpr const char* CONSTRUCTOR_PARAMETERS[] = {"alphabet_size", "max_depth", "method",
                                                  "beta",          "penalty",   "boundary"};

PyObject* ostrel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[6];
    if (!parse_arguments("OSTREL.__new__()", CONSTRUCTOR_PARAMETERS, 1, args, kwargs, given)) {
      return nullptr;
    }
    std::size_t alphabet_size = 0;
    std::size_t max_depth = 10;
    std::u32string method = U"bct";
    std::optional<double> beta;
    std::optional<double> penalty;
    std::u32string boundary = U"condition";
    if (!to_size(given[0].get(), "alphabet_size", alphabet_size)) return nullptr;
    if (given[1] && !to_size(given[1].get(), "max_depth", max_depth)) return nullptr;
    if (given[2] && !to_text(given[2].get(), "method", method)) return nullptr;
    if (!to_optional_float(given[3].get(), "beta", beta)) return nullptr;
    if (!to_optional_float(given[4].get(), "penalty", penalty)) return nullptr;
    if (given[5] && !to_text(given[5].get(), "boundary", boundary)) return nullptr;

    auto config = FitConfig::create(alphabet_size, max_depth, method, beta, penalty, boundary);
    if (!config) {
      PyErr_SetString(PyExc_ValueError, config.error().c_str());
      return nullptr;
    }
    return new_instance(type, OSTRELObject(*config));
  });
}

// ---- methods ---------------------------------------------------------------

constexpr const char* DATA[] = {"data"};
constexpr const char* SEQUENCE[] = {"sequence"};
constexpr const char* HISTORY[] = {"history"};

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Exclusive, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref data[1];
    if (!parse_arguments("OSTREL.fit()", DATA, 1, args, kwargs, data)) return nullptr;
    if (PyTypeObject* counts = type_of<Counts>(); counts == nullptr) {
      return nullptr;
    } else if (PyObject_TypeCheck(data[0].get(), counts)) {
      auto& from = *reinterpret_cast<InstanceOf<Counts>*>(data[0].get());
      BorrowGuard guard(from, Access::Shared);
      if (!guard) return nullptr;
      auto fitted = instance.state().fit(from.state());
      if (!fitted) {
        PyErr_SetString(PyExc_ValueError, fitted.error().c_str());
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    Rows rows;
    if (!to_rows(data[0].get(), "data", rows, instance.exporters())) return nullptr;
    auto fitted = instance.state().fit(rows);
    if (!fitted) {
      PyErr_SetString(PyExc_ValueError, fitted.error().c_str());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// A method with one sequence argument: converts it, then runs `query`
// (const OSTRELObject&, span of symbols) -> PyObject*.
template <class Query>
PyObject* sequence_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* function,
                          const char* const (&parameter)[1], Query&& query) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref argument[1];
    if (!parse_arguments(function, parameter, 1, args, kwargs, argument)) return nullptr;
    std::vector<Symbol> symbols;
    if (!to_symbols(argument[0].get(), parameter[0], symbols, instance.exporters())) {
      return nullptr;
    }
    return query(static_cast<const OSTRELObject&>(instance.state()), symbols);
  });
}

PyObject* get_suffix(PyObject* self, PyObject* args, PyObject* kwargs) {
  return sequence_method(self, args, kwargs, "OSTREL.get_suffix()", SEQUENCE,
                         [](const OSTRELObject& model, std::span<const Symbol> sequence) {
                           return answer(model.get_suffix(sequence),
                                         [](const auto& context) { return from_symbols(context); });
                         });
}

PyObject* get_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return sequence_method(self, args, kwargs, "OSTREL.get_counts()", SEQUENCE,
                         [](const OSTRELObject& model, std::span<const Symbol> sequence) {
                           return answer(model.get_counts(sequence), from_count);
                         });
}

PyObject* get_transition_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return sequence_method(self, args, kwargs, "OSTREL.get_transition_counts()", SEQUENCE,
                         [](const OSTRELObject& model, std::span<const Symbol> sequence) {
                           return answer(model.get_transition_counts(sequence),
                                         [&](const SparseCounts& counts) {
                                           return from_counts(counts, model.config.alphabet_size);
                                         });
                         });
}

PyObject* get_distribution(PyObject* self, PyObject* args, PyObject* kwargs) {
  return sequence_method(self, args, kwargs, "OSTREL.get_distribution()", SEQUENCE,
                         [](const OSTRELObject& model, std::span<const Symbol> sequence) {
                           return answer(model.get_distribution(sequence),
                                         [&](const SparseDistribution& p) {
                                           return from_distribution(p, model.config.alphabet_size);
                                         });
                         });
}

PyObject* predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return sequence_method(self, args, kwargs, "OSTREL.predict_proba()", HISTORY,
                         [](const OSTRELObject& model, std::span<const Symbol> history) {
                           return answer(model.predict_proba(history),
                                         [&](const SparseDistribution& p) {
                                           return from_distribution(p, model.config.alphabet_size);
                                         });
                         });
}

PyObject* get_contexts(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, OSTRELObject>(self, [](Instance& instance) -> PyObject* {
    return answer(static_cast<const OSTRELObject&>(instance.state()).get_contexts(),
                  [](const auto& contexts) { return from_contexts(contexts); });
  });
}

// ---- keeping, scoring, sampling, summarising --------------------------------

constexpr const char* LOG_LIKELIHOOD[] = {"data", "skip"};
constexpr const char* POINTWISE[] = {"data", "skip", "offsets"};
constexpr const char* SAMPLE[] = {"n", "seed", "history"};

// The scoring methods' shared part: `data` as rows, `skip` (None:
// max_depth) and, for the pointwise terms, the keyword `offsets`, in that
// order, then score(model, rows, skip, offsets) for the answer.
template <class Score>
PyObject* scoring_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                         std::span<const char* const> names, Score&& score) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref given[3];
    if (!parse_arguments(name, names, 1, 2, args, kwargs, std::span<Ref>(given, names.size()))) {
      return nullptr;
    }
    Rows rows;
    if (!to_rows(given[0].get(), "data", rows, instance.exporters())) return nullptr;
    const OSTRELObject& model = instance.state();
    std::size_t skip = model.config.max_depth;
    if (given[1] && given[1].get() != Py_None && !to_size(given[1].get(), "skip", skip)) {
      return nullptr;
    }
    bool offsets = false;
    if (given[2] && !to_flag(given[2].get(), offsets)) return nullptr;
    return score(model, rows, skip, offsets);
  });
}

PyObject* log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return scoring_method(
      self, args, kwargs, "OSTREL.log_likelihood()", LOG_LIKELIHOOD,
      [](const OSTRELObject& model, const Rows& rows, std::size_t skip, bool) {
        return answer(model.log_likelihood(rows, skip),
                      [](const std::vector<double>& totals) { return from_floats(totals); });
      });
}

PyObject* pointwise_log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return scoring_method(
      self, args, kwargs, "OSTREL.pointwise_log_likelihood()", POINTWISE,
      [](const OSTRELObject& model, const Rows& rows, std::size_t skip, bool offsets) -> PyObject* {
        auto terms = model.pointwise_log_likelihood(rows, skip);
        if (!terms) {
          raise_model_error(terms.error());
          return nullptr;
        }
        return from_terms(std::move(*terms), rows, skip, offsets).release();
      });
}

constexpr const char* TOP_K[] = {"histories", "k"};

constexpr const char* BATCH[] = {"histories", "out"};

PyObject* predict_proba_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("OSTREL.predict_proba_batch()", BATCH, 1, 1, args, kwargs, given)) {
      return nullptr;
    }
    Rows histories;
    if (!to_rows(given[0].get(), "histories", histories, instance.exporters())) return nullptr;
    const OSTRELObject& model = instance.state();
    if (given[1] && given[1].get() != Py_None) {
      OutTable out;
      if (!out.claim(given[1].get(), histories.size(), model.config.alphabet_size)) return nullptr;
      if (auto done = model.predict_proba_batch(histories, out.items()); !done) {
        raise_model_error(done.error());
        return nullptr;
      }
      return Py_NewRef(given[1].get());
    }
    auto table = model.predict_proba_batch(histories);
    if (!table) {
      raise_model_error(table.error());
      return nullptr;
    }
    return make_array(std::move(*table), histories.size(), model.config.alphabet_size).release();
  });
}

PyObject* top_k(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("OSTREL.top_k()", TOP_K, 2, args, kwargs, given)) return nullptr;
    Rows histories;
    if (!to_rows(given[0].get(), "histories", histories, instance.exporters())) return nullptr;
    std::size_t k = 0;
    if (!to_count(given[1].get(), "k", k)) return nullptr;
    const OSTRELObject& model = instance.state();
    auto top = model.top_k(histories, k);
    if (!top) {
      raise_model_error(top.error());
      return nullptr;
    }
    return from_top_symbols(std::move(*top), histories.size(), model.config.alphabet_size)
        .release();
  });
}

PyObject* model_sizeof(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, OSTRELObject>(self, [](Instance& instance) -> PyObject* {
    const OSTRELObject& model = instance.state();
    return PyLong_FromSize_t(sizeof(Instance) + model.bytes());
  });
}

// Eight bytes from the operating system's random source, through os.urandom.
std::optional<std::uint64_t> fresh_seed() {
  Ref os(PyImport_ImportModule("os"));
  if (!os) return std::nullopt;
  Ref bytes(PyObject_CallMethod(os.get(), "urandom", "i", 8));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
  if (size != 8) throw InternalFault("os.urandom(8) did not give 8 bytes");
  std::uint64_t seed = 0;
  for (int i = 7; i >= 0; --i) seed = (seed << 8) | static_cast<unsigned char>(data[i]);
  return seed;
}

PyObject* sample(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref given[3];
    if (!parse_arguments("OSTREL.sample()", SAMPLE, 1, 1, args, kwargs, given)) return nullptr;
    std::size_t n = 0;
    if (!to_size(given[0].get(), "n", n)) return nullptr;
    const OSTRELObject& model = instance.state();
    // The symbols in the narrowest width that holds every one of them; more
    // than a list could hold (what sample has always refused) or than an
    // array can hold are refused before anything is made.
    ArrayItems drawn = narrowest_unsigned(model.config.alphabet_size - 1);
    const std::size_t width = std::visit([](const auto& v) { return sizeof(v[0]); }, drawn);
    const std::size_t item = std::max(width, sizeof(PyObject*));
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / item) return PyErr_NoMemory();
    std::optional<std::uint64_t> seed;
    if (given[1] && given[1].get() != Py_None) {
      std::uint64_t value = 0;
      if (!to_u64(given[1].get(), "seed", value)) return nullptr;
      seed = value;
    }
    std::vector<Symbol> history;
    if (given[2] && !to_symbols(given[2].get(), "history", history, instance.exporters())) {
      return nullptr;
    }
    if (auto ready = model.check_history(history); !ready) {
      raise_model_error(ready.error());
      return nullptr;
    }
    if (!seed && !(seed = fresh_seed())) return nullptr;
    Sampler sampler(model, history, *seed, n);
    const bool complete = std::visit(
        [&](auto& out) {
          using Stored = typename std::remove_cvref_t<decltype(out)>::value_type;
          out.reserve(n);
          for (std::size_t i = 0; i < n; ++i) {
            // A long draw can be interrupted.
            if (i % 65536 == 65535 && PyErr_CheckSignals() < 0) return false;
            out.push_back(static_cast<Stored>(sampler.next()));
          }
          return true;
        },
        drawn);
    if (!complete) return nullptr;
    return make_array(std::move(drawn)).release();
  });
}

PyObject* summary(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, OSTRELObject>(self, [](Instance& instance) -> PyObject* {
    return answer(static_cast<const OSTRELObject&>(instance.state()).summary(), from_summary);
  });
}

PyObject* to_dot(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, OSTRELObject>(self, [](Instance& instance) -> PyObject* {
    return answer(
        static_cast<const OSTRELObject&>(instance.state()).to_dot(), [](const std::string& text) {
          return Ref(
              PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        });
  });
}

PyObject* from_rate(double rate) { return PyFloat_FromDouble(rate); }

PyObject* entropy_rate(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, OSTRELObject>(self, [](Instance& instance) -> PyObject* {
    return answer(static_cast<const OSTRELObject&>(instance.state()).entropy_rate(),
                  [](double rate) { return Ref(from_rate(rate)); });
  });
}

constexpr const char* OTHER[] = {"other"};

PyObject* divergence_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, OSTRELObject>(self, [&](Instance& instance) -> PyObject* {
    Ref given[1];
    if (!parse_arguments("OSTREL.divergence_rate()", OTHER, 1, args, kwargs, given)) {
      return nullptr;
    }
    PyTypeObject* type = type_of<OSTRELObject>();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(given[0].get(), type)) {
      Ref name(PyType_GetName(Py_TYPE(given[0].get())));
      if (name) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'other': '%U' object cannot be converted to 'OSTREL'", name.get());
      }
      return nullptr;
    }
    auto& other = *reinterpret_cast<Instance*>(given[0].get());
    BorrowGuard guard(other, Access::Shared);
    if (!guard) return nullptr;
    return answer(static_cast<const OSTRELObject&>(instance.state())
                      .divergence_rate(static_cast<const OSTRELObject&>(other.state())),
                  [](double rate) { return Ref(from_rate(rate)); });
  });
}

PyMethodDef methods[] = {
    {"fit", as_cfunction(fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, data)\n--\n\n"
     "Fit a fresh model. Rows are independent sequences and are never joined."},
    {"fit_tree", as_cfunction(ostrel_fit_tree), METH_VARARGS | METH_KEYWORDS,
     "fit_tree($self, data, contexts)\n--\n\n"
     "Fit the given context tree to `data` (rows as fit takes them, or a Counts of\n"
     "the model's alphabet_size and max_depth) instead of selecting one, whatever\n"
     "the method. `contexts` lists the tree's contexts, oldest symbol first (as\n"
     "get_contexts() and Counts.top_trees give them): a complete tree, in which\n"
     "every node on a context's path that is not a context has all alphabet_size\n"
     "children, none longer than max_depth. A full order-k chain is the tree of\n"
     "all alphabet_size**k contexts of length k. The result is a fitted model like\n"
     "any other; fit_tree of the tree that fit selects stores the same model. A\n"
     "wrong tree raises ValueError naming the context, and nothing changes."},
    {"get_suffix", as_cfunction(get_suffix), METH_VARARGS | METH_KEYWORDS,
     "get_suffix($self, sequence)\n--\n\n"
     "Return the selected context suffix, or an aggregate prefix when the\n"
     "supplied history is shorter than the selected context."},
    {"get_counts", as_cfunction(get_counts), METH_VARARGS | METH_KEYWORDS,
     "get_counts($self, sequence)\n--\n\n"
     "Return the number of usable outcomes observed after an active tree node."},
    {"get_transition_counts", as_cfunction(get_transition_counts), METH_VARARGS | METH_KEYWORDS,
     "get_transition_counts($self, sequence)\n--\n\n"
     "Return unsmoothed next-symbol counts in alphabet order."},
    {"get_distribution", as_cfunction(get_distribution), METH_VARARGS | METH_KEYWORDS,
     "get_distribution($self, sequence)\n--\n\n"
     "Return Jeffreys-smoothed transition probabilities for an active node."},
    {"predict_proba", as_cfunction(predict_proba), METH_VARARGS | METH_KEYWORDS,
     "predict_proba($self, history)\n--\n\n"
     "Select a context from `history` and return its transition probabilities."},
    {"get_contexts", as_cfunction(get_contexts), METH_NOARGS,
     "get_contexts($self)\n--\n\n"
     "Return terminal contexts only, ordered first by length and then lexically."},
    {"log_likelihood", as_cfunction(log_likelihood), METH_VARARGS | METH_KEYWORDS,
     "log_likelihood($self, data, skip=None)\n--\n\n"
     "Return, for each row, the natural-log probability of its symbols from\n"
     "position `skip` on (None: `max_depth`, the positions that fit counts),\n"
     "each as predict_proba gives it after the symbols before it in its row,\n"
     "added in order from 0.0."},
    {"pointwise_log_likelihood", as_cfunction(pointwise_log_likelihood),
     METH_VARARGS | METH_KEYWORDS,
     "pointwise_log_likelihood($self, data, skip=None, *, offsets=False)\n--\n\n"
     "Return the terms log_likelihood adds: the natural-log probability of every\n"
     "scored position (from position `skip` on, None: `max_depth`), rows one after\n"
     "another in order, as one float64 ostrel.Array. Adding a row's terms left to\n"
     "right from 0.0 gives log_likelihood's value for that row. With `offsets`\n"
     "true, return the pair (terms, offsets), offsets an int64 ostrel.Array of\n"
     "len(data) + 1 entries: row i's terms are terms[offsets[i]:offsets[i + 1]]."},
    {"predict_proba_batch", as_cfunction(predict_proba_batch), METH_VARARGS | METH_KEYWORDS,
     "predict_proba_batch($self, histories, *, out=None)\n--\n\n"
     "Return predict_proba of every history, as an (n, alphabet_size) float64\n"
     "ostrel.Array whose row i is predict_proba(histories[i]). `histories` is\n"
     "taken as fit takes rows. With `out`, a writable C-contiguous float64 buffer\n"
     "of that shape (a NumPy array, say), the rows are written there instead and\n"
     "`out` is returned; a call that fails leaves it as it was."},
    {"top_k", as_cfunction(top_k), METH_VARARGS | METH_KEYWORDS,
     "top_k($self, histories, k)\n--\n\n"
     "Return the k most probable next symbols after each history, as a pair of\n"
     "(n, min(k, alphabet_size)) ostrel.Arrays: the symbols (int64) and their\n"
     "probabilities (float64, predict_proba's), most probable first, equal\n"
     "probabilities in ascending symbol order."},
    {"sample", as_cfunction(sample), METH_VARARGS | METH_KEYWORDS,
     "sample($self, n, *, seed=None, history=())\n--\n\n"
     "Draw `n` symbols one after another, each from predict_proba of `history`\n"
     "followed by the symbols drawn so far. A `seed` from 0 to 2**64 - 1 gives\n"
     "the same symbols on every machine; None takes one from the operating system."},
    {"summary", as_cfunction(summary), METH_NOARGS,
     "summary($self)\n--\n\n"
     "Return the fit's statistics: contexts, sample_size, parameters (contexts\n"
     "times alphabet_size - 1), log_likelihood (maximised, natural log, of the\n"
     "counted positions, each charged to the context that predicts it), aic and\n"
     "bic. Without counted positions log_likelihood is 0.0 and bic is nan."},
    {"to_dot", as_cfunction(to_dot), METH_NOARGS,
     "to_dot($self)\n--\n\n"
     "Return the fitted tree as Graphviz DOT text: one node per tree node\n"
     "(n0 the root), labelled with its context (oldest symbol first, as\n"
     "get_contexts gives it) and its count; contexts are boxes and add the\n"
     "next-symbol distribution predict_proba answers with, each probability\n"
     "written so that float() reads it back exactly. An edge to a child carries\n"
     "the child's symbol, the one a step further back in time."},
    {"entropy_rate", as_cfunction(entropy_rate), METH_NOARGS,
     "entropy_rate($self)\n--\n\n"
     "Return the entropy rate of the fitted chain, the one predict_proba\n"
     "defines, in nats per symbol: the sum over its states of their\n"
     "stationary probability times the entropy of the next symbol. The states\n"
     "are the fewest contexts that fix both the context predict_proba answers\n"
     "from and the next state; the stationary law is solved exactly to\n"
     "rounding by Grassmann-Taksar-Heyman elimination up to 1024 states;\n"
     "beyond, by iterating the chain until what is left to move, estimated\n"
     "from how fast the moves shrink, is below 1e-15 in total (the law then\n"
     "holds the rounding of its steps, about 1e-16 / (1 - r) for moves that\n"
     "shrink by r a step; RuntimeError after 100000 steps). A chain of more\n"
     "than 2**25 transitions (states times alphabet_size) raises MemoryError\n"
     "before it is built."},
    {"divergence_rate", as_cfunction(divergence_rate), METH_VARARGS | METH_KEYWORDS,
     "divergence_rate($self, other)\n--\n\n"
     "Return the divergence rate D(self || other) between the fitted chains\n"
     "of two models of one alphabet size, in nats per symbol: the sum over\n"
     "the states that fix both models' contexts of their stationary\n"
     "probability under self times the divergence of other's next-symbol law\n"
     "from self's, solved as entropy_rate solves it. 0.0 exactly when other\n"
     "predicts as self does; ValueError for another alphabet size."},
    {"__sizeof__", as_cfunction(model_sizeof), METH_NOARGS,
     "__sizeof__($self)\n--\n\n"
     "Return the bytes the model holds, its fitted tree included."},
    {"__reduce__", as_cfunction(reduce<OSTRELObject>), METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Return what pickling stores: ostrel._restore and the model's state."},
    {"__copy__", as_cfunction(copy<OSTRELObject>), METH_NOARGS,
     "__copy__($self)\n--\n\n"
     "Return an independent copy of the model."},
    {"__deepcopy__", as_cfunction(deepcopy<OSTRELObject>), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\n"
     "Return an independent copy of the model."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------

PyObject* method(const OSTRELObject& model) {
  const std::string_view name = canonical_name(model.config.method);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* boundary(const OSTRELObject&) { return PyUnicode_FromString("condition"); }

PyObject* sample_size(const OSTRELObject& model) { return answer(model.sample_size(), from_count); }

PyObject* alphabet_size(const OSTRELObject& model) {
  return PyLong_FromSize_t(model.config.alphabet_size);
}

PyObject* max_depth(const OSTRELObject& model) { return PyLong_FromSize_t(model.config.max_depth); }

PyObject* effective_max_depth(const OSTRELObject& model) {
  return answer_size(model.effective_max_depth());
}

PyObject* node_count(const OSTRELObject& model) { return answer_size(model.node_count()); }

PyObject* context_count(const OSTRELObject& model) { return answer_size(model.context_count()); }

PyGetSetDef properties[] = {
    {"method", property<OSTRELObject, method>, nullptr, nullptr, nullptr},
    {"boundary", property<OSTRELObject, boundary>, nullptr, nullptr, nullptr},
    {"sample_size", property<OSTRELObject, sample_size>, nullptr, nullptr, nullptr},
    {"alphabet_size", property<OSTRELObject, alphabet_size>, nullptr, nullptr, nullptr},
    {"max_depth", property<OSTRELObject, max_depth>, nullptr, nullptr, nullptr},
    {"effective_max_depth", property<OSTRELObject, effective_max_depth>, nullptr, nullptr, nullptr},
    {"node_count", property<OSTRELObject, node_count>, nullptr, nullptr, nullptr},
    {"context_count", property<OSTRELObject, context_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Variable-length Markov-chain estimator with interchangeable tree selectors.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<OSTRELObject>)},
    {Py_tp_new, reinterpret_cast<void*>(ostrel_new)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

// Qualified under builtins: the class reports "builtins" as its module.
PyType_Spec ClassOf<OSTRELObject>::definition = {
    "builtins.OSTREL", static_cast<int>(sizeof(Instance)), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace ostrel::binding
