// The module's change-point functions: the posterior of a single change
// point and the exact posterior over segmentations of one row.

#include "posterior/change_points.hpp"

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "array.hpp"
#include "config/config.hpp"
#include "entry.hpp"
#include "mixture_functions.hpp"
#include "results.hpp"
#include "symbols.hpp"

namespace ostrel::binding {

namespace {

bool raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// The row, its shape and bct's prior, checked as the constructor checks them
// and the row's symbols as the queries do.
struct RowProblem {
  std::vector<Symbol> row;
  std::size_t alphabet_size = 0, max_depth = 0;
  std::optional<bct::BctPrior> prior;
};

bool read_problem(Ref (&given)[6], std::size_t beta_at, RowProblem& out) {
  ExporterCache cache;
  if (!to_symbols(given[0].get(), "row", out.row, cache)) return false;
  if (!to_size(given[1].get(), "alphabet_size", out.alphabet_size)) return false;
  if (!to_size(given[2].get(), "max_depth", out.max_depth)) return false;
  std::optional<double> beta;
  if (!to_optional_float(given[beta_at].get(), "beta", beta)) return false;
  if (auto shape = check_shape(out.alphabet_size, out.max_depth); !shape) {
    return raise_value_error(shape.error());
  }
  auto prior = bct::BctPrior::checked(out.alphabet_size, beta);
  if (!prior) return raise_value_error(prior.error());
  out.prior = *prior;
  for (std::size_t i = 0; i < out.row.size(); ++i) {
    if (out.row[i] >= out.alphabet_size) {
      return raise_value_error("symbol " + std::to_string(out.row[i]) + " at row[" +
                               std::to_string(i) + "] is outside 0.." +
                               std::to_string(out.alphabet_size));
    }
  }
  return true;
}

// A count argument that must be at least `least`: ValueError naming it below,
// the largest word above what a word holds.
bool to_count_at_least(PyObject* object, const char* name, long long least, std::size_t& out) {
  Ref index(PyNumber_Index(object));
  if (!index) {
    prefix_type_error(name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < least)) {
    return raise_value_error(std::string(name) + " must be at least " + std::to_string(least));
  }
  out = overflow > 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(value);
  return true;
}

constexpr const char* CHANGE_POINT_PARAMETERS[] = {"row", "alphabet_size", "max_depth", "beta"};
constexpr const char* SEGMENT_PARAMETERS[] = {"row",         "alphabet_size", "max_depth",
                                              "max_changes", "beta",          "stride"};

}  // namespace

const char* const CHANGE_POINT_POSTERIOR_DOC =
    "change_point_posterior(row, alphabet_size, max_depth, *, beta=None)\n--\n\n"
    "Return, for each position j of `row`, the natural log of the posterior\n"
    "probability that a single change point falls at j: the first segment is the\n"
    "counted positions max_depth .. j - 1, the second j .. len(row) - 1, each with\n"
    "its own tree and parameters under bct's prior with `beta`, contexts reaching\n"
    "back across the change, every position that leaves both segments non-empty\n"
    "equally likely a priori. A float64 Array of len(row) entries whose\n"
    "exponentials sum to 1; -inf where a segment would be empty. Linear in\n"
    "len(row).";

const char* const SEGMENT_DOC =
    "segment(row, alphabet_size, max_depth, *, max_changes, beta=None, stride=1)\n--\n\n"
    "Return the exact posterior over segmentations of `row` with 0 to\n"
    "`max_changes` change points at positions max_depth + stride,\n"
    "max_depth + 2 * stride, ... (segments as in change_point_posterior, each\n"
    "with its own tree), under a uniform prior over the number of change points\n"
    "and, given it, over their positions: a dict with 'log_evidence' and\n"
    "'posterior' (one entry per number of change points), 'map' (per number,\n"
    "the most probable positions, None when no segmentation has that many) and\n"
    "'marginal' (a float64 Array of len(row): the posterior probability of a\n"
    "change point at each position). It holds the evidence of every segment\n"
    "between grid points, found by about (len(row) / stride) * len(row)\n"
    "path updates of max_depth + 1 nodes each, then sums over about\n"
    "max_changes * (len(row) / stride)**2 / 2 segmentations' prefixes. It raises\n"
    "MemoryError before starting when there would be more than about 2**25\n"
    "segments (512 MiB), or tables of that size for the sums.";

PyObject* change_point_posterior(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[6];
    if (!parse_arguments("change_point_posterior()", CHANGE_POINT_PARAMETERS, 3, 3, args, kwargs,
                         std::span<Ref>(given, 4))) {
      return nullptr;
    }
    RowProblem problem;
    if (!read_problem(given, 3, problem)) return nullptr;
    return make_array(bct::change_point_posterior(problem.row, problem.alphabet_size,
                                                  problem.max_depth, *problem.prior))
        .release();
  });
}

PyObject* segment(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[6];
    if (!parse_arguments("segment()", SEGMENT_PARAMETERS, 4, 3, args, kwargs, given)) {
      return nullptr;
    }
    RowProblem problem;
    if (!read_problem(given, 4, problem)) return nullptr;
    std::size_t max_changes = 0, stride = 1;
    if (!to_count_at_least(given[3].get(), "max_changes", 0, max_changes)) return nullptr;
    if (given[5] && !to_count_at_least(given[5].get(), "stride", 1, stride)) return nullptr;
    auto found = bct::segment(problem.row, problem.alphabet_size, problem.max_depth, max_changes,
                              stride, *problem.prior);
    if (!found) {
      raise_value_error(found.error());
      return nullptr;
    }
    Ref evidence = from_floats(found->log_evidence);
    if (!evidence) return nullptr;
    Ref posterior = from_floats(found->posterior);
    if (!posterior) return nullptr;
    Ref map(PyList_New(static_cast<Py_ssize_t>(found->map.size())));
    if (!map) return nullptr;
    for (std::size_t k = 0; k < found->map.size(); ++k) {
      Ref entry;
      if (!found->map[k]) {
        entry = Ref::borrow(Py_None);
      } else {
        entry = Ref(PyList_New(static_cast<Py_ssize_t>(found->map[k]->size())));
        if (!entry) return nullptr;
        for (std::size_t c = 0; c < found->map[k]->size(); ++c) {
          PyObject* at = PyLong_FromSize_t((*found->map[k])[c]);
          if (at == nullptr) return nullptr;
          PyList_SetItem(entry.get(), static_cast<Py_ssize_t>(c), at);  // steals
        }
      }
      PyList_SetItem(map.get(), static_cast<Py_ssize_t>(k), entry.release());  // steals
    }
    Ref marginal = make_array(std::move(found->marginal));
    if (!marginal) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:O,s:O}", "log_evidence", evidence.get(), "posterior",
                         posterior.get(), "map", map.get(), "marginal", marginal.get());
  });
}

}  // namespace ostrel::binding
