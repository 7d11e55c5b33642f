#pragma once
// Hyperparameters chosen from the data: those of an estimator and bct's beta
// that maximise the evidence of the counted positions of some rows (type-II
// maximum likelihood, empirical Bayes), by a quasi-Newton search whose every
// step is a pass over the rows.
//
// Kneser-Ney: the evidence is that of the mixture grown by the rows in order
// (mixture.hpp), searched over a family of seven numbers: beta = 1/2 + 1/2
// s(z), the discount of count class k at depth d s(a_k + b d) (s the
// logistic function), the concentration at depth d exp(c + e d). Each pass
// computes the evidence and its gradient in those numbers (forward
// differentiation along the pass).
//
// Dirichlet: the evidence of the counts (evidence.hpp) over beta and alpha,
// each pass an evidence scan, the gradient by central differences.

#include <cstddef>
#include <vector>

#include "counts/counts.hpp"
#include "representation/rows.hpp"

namespace ostrel::bct {

struct ChosenKneserNey {
  double beta;
  std::vector<double> discounts;       // (max_depth + 1) * 3, depth by depth
  std::vector<double> concentrations;  // max_depth + 1
  double log_evidence;                 // of the positions searched on
  std::size_t passes;
};

// Over the counted positions of `rows` (symbols checked by the caller),
// the first `max_positions` of them (in row order) at most; at most `passes`
// passes.
ChosenKneserNey choose_kneser_ney(const Rows& rows, std::size_t alphabet_size,
                                  std::size_t max_depth, std::size_t max_positions,
                                  std::size_t passes);

struct ChosenDirichlet {
  double beta, alpha;
  double log_evidence;
  std::size_t passes;
};

ChosenDirichlet choose_dirichlet(const Counts& counts, std::size_t passes);

// The value and gradient of the Kneser-Ney evidence at the seven numbers
// `at`, over the same positions: for tests and for the search.
double kneser_ney_evidence(const Rows& rows, std::size_t alphabet_size, std::size_t max_depth,
                           std::size_t max_positions, const double* at, double* gradient);
// The seven numbers' hyperparameters.
ChosenKneserNey kneser_ney_from(const double* at, std::size_t max_depth);

}  // namespace ostrel::bct
