// The module's choose_hyperparameters: an estimator's hyperparameters and
// bct's beta chosen by the evidence of some rows, as Counts.mixture takes
// them.

#include "posterior/hyperparameters.hpp"

#include <Python.h>

#include <string>
#include <utility>

#include "arguments.hpp"
#include "config/config.hpp"
#include "config/text.hpp"
#include "entry.hpp"
#include "estimator_arguments.hpp"
#include "mixture_functions.hpp"
#include "symbols.hpp"

namespace ostrel::binding {

namespace {

constexpr const char* PARAMETERS[] = {"data",      "alphabet_size", "max_depth",
                                      "estimator", "max_positions", "passes"};
// The positions searched on when the caller does not say: enough for the
// hyperparameters to settle (chosen from the first 2^16, 2^17 or 2^18
// characters of a megabyte of text, they predict the whole of it within
// 0.001 bits per character), few enough for seconds.
constexpr std::size_t DEFAULT_POSITIONS = std::size_t{1} << 17;
constexpr std::size_t DEFAULT_PASSES = 12;

bool raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

}  // namespace

const char* const CHOOSE_HYPERPARAMETERS_DOC =
    "choose_hyperparameters(data, alphabet_size, max_depth, *, estimator='kneser_ney', "
    "max_positions=131072, passes=12)\n--\n\n"
    "Return the hyperparameters of `estimator` and bct's beta that maximise the\n"
    "evidence of the counted positions of the rows of `data` (taken as\n"
    "Counts.add takes them), as a dict that Counts.mixture(**hyperparameters)\n"
    "takes. 'kneser_ney': the evidence of the mixture grown by the rows in\n"
    "order, over the first `max_positions` counted positions (None: all),\n"
    "searched over beta, three discounts (counts 1, 2, and 3 or more) that\n"
    "move with depth alike, and a concentration that moves with depth.\n"
    "'dirichlet': the evidence of the rows' counts over beta and alpha. Each\n"
    "of at most `passes` steps of the quasi-Newton search is one pass over the\n"
    "positions.";

PyObject* choose_hyperparameters(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[6];
    if (!parse_arguments("choose_hyperparameters()", PARAMETERS, 3, 3, args, kwargs, given)) {
      return nullptr;
    }
    ExporterCache cache;
    Rows rows;
    if (!to_rows(given[0].get(), "data", rows, cache)) return nullptr;
    std::size_t alphabet_size = 0, max_depth = 0;
    if (!to_size(given[1].get(), "alphabet_size", alphabet_size)) return nullptr;
    if (!to_size(given[2].get(), "max_depth", max_depth)) return nullptr;
    std::u32string estimator = U"kneser_ney";
    if (given[3] && !to_text(given[3].get(), "estimator", estimator)) return nullptr;
    std::size_t max_positions = DEFAULT_POSITIONS, passes = DEFAULT_PASSES;
    if (given[4] && given[4].get() == Py_None) {
      max_positions = std::numeric_limits<std::size_t>::max();
    } else if (given[4] && !to_count(given[4].get(), "max_positions", max_positions)) {
      return nullptr;
    }
    if (given[5] && !to_count(given[5].get(), "passes", passes)) return nullptr;
    if (auto shape = check_shape(alphabet_size, max_depth); !shape) {
      raise_value_error(shape.error());
      return nullptr;
    }
    const std::u32string name = normalise_text(estimator);
    const bool kneser_ney = name == U"kneser_ney" || name == U"kneser-ney";
    if (!kneser_ney && name != U"dirichlet") {
      raise_value_error("unknown estimator " + quote_text(estimator) +
                        "; expected 'kneser_ney' or 'dirichlet'");
      return nullptr;
    }
    if (auto valid = check_symbols(rows, alphabet_size); !valid) {
      raise_value_error(valid.error());
      return nullptr;
    }
    if (kneser_ney) {
      const bct::ChosenKneserNey chosen =
          bct::choose_kneser_ney(rows, alphabet_size, max_depth, max_positions, passes);
      auto estimated =
          bct::KneserNey::checked(alphabet_size, chosen.discounts, chosen.concentrations);
      if (!estimated) throw InternalFault("chosen hyperparameters: " + estimated.error());
      return from_hyperparameters(chosen.beta, std::move(*estimated)).release();
    }
    auto counts = Counts::create(alphabet_size, max_depth, 0);
    if (!counts) throw InternalFault("chosen hyperparameters: " + counts.error());
    if (auto added = counts->add(rows); !added) throw InternalFault(added.error());
    const bct::ChosenDirichlet chosen = bct::choose_dirichlet(*counts, passes);
    return from_hyperparameters(chosen.beta, bct::DirichletChoice{chosen.alpha}).release();
  });
}

}  // namespace ostrel::binding
