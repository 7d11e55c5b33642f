#pragma once
// The estimator keywords that Counts.mixture takes (alpha for the Dirichlet
// estimator; discount and concentration for Kneser-Ney), converted in two
// steps as every argument is: their types first (TypeError, or ValueError
// for a table of the wrong shape), then, once the other arguments are
// converted, their values and the estimator they choose (ValueError). The
// hyperparameters a mixture holds go back the same way, as a dict that
// Counts.mixture(**hyperparameters) takes.

#include <Python.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "posterior/mixture.hpp"
#include "ref.hpp"

namespace ostrel::binding {

struct EstimatorArguments {
  std::optional<double> alpha;
  // Depth by depth: three discounts (counts 1, 2, 3 or more), one concentration.
  std::optional<std::vector<double>> discounts;
  std::optional<std::vector<double>> concentrations;
};

// Converts `alpha` (None or a float), `discount` (None, a number, or one
// entry per depth, each a number or 3 numbers) and `concentration` (None, a
// number, or one number per depth) for a mixture of depth `max_depth`.
// Null arguments are absent.
bool read_estimator_arguments(PyObject* alpha, PyObject* discount, PyObject* concentration,
                              std::size_t max_depth, EstimatorArguments& out);

// The estimator the arguments choose (Dirichlet of alpha 1/2 when none is
// given), or null with ValueError when a value is out of its range or they
// name both estimators.
std::optional<bct::EstimatorChoice> choose_estimator(const EstimatorArguments& arguments,
                                                     std::size_t alphabet_size,
                                                     std::size_t max_depth);

// {"beta": ..., "alpha": ...} or {"beta": ..., "discount": Array (max_depth
// + 1, 3), "concentration": Array (max_depth + 1,)}.
Ref from_hyperparameters(double beta, const bct::EstimatorChoice& estimator);
// "dirichlet" or "kneser_ney".
const char* estimator_name(const bct::EstimatorChoice& estimator);

}  // namespace ostrel::binding
