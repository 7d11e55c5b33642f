#pragma once
// FOR TESTING ONLY: the mixture over context trees by enumeration. Every
// complete tree of depth at most D is listed, its prior is bct's (beta for a
// leaf above D, 1 - beta for a split), and its probability of the positions is
// the product, position after position, of the prediction of the leaf that
// holds the position's context, each prediction worked out from the positions
// before it as the estimator defines it (dirichlet.hpp, kneser_ney.hpp): counts
// and continuation counts recounted from scratch. The evidence is the sum over
// trees of prior times probability. Tiny alphabets and depths only.

#include <cstddef>
#include <vector>

#include "posterior/mixture.hpp"

namespace ostrel::oracle {

// Rows of symbols, the counted positions of each (those after D symbols of
// their row) in order, row after row.
using PlainRows = std::vector<std::vector<Symbol>>;

double enumerated_log_evidence(const PlainRows& rows, std::size_t alphabet_size, std::size_t depth,
                               double beta, const bct::EstimatorChoice& estimator);

// The predictive distribution of a next position whose context is the last D
// symbols of `history` (at least D of them), after the positions of `rows`:
// the ratio of the evidences with and without it.
std::vector<double> enumerated_predictive(const PlainRows& rows, const std::vector<Symbol>& history,
                                          std::size_t alphabet_size, std::size_t depth, double beta,
                                          const bct::EstimatorChoice& estimator);

// Every tree's log prior plus log probability, with its leaves (contexts most
// recent symbol first), in the order enumerated.
struct EnumeratedTree {
  std::vector<std::vector<Symbol>> leaves;
  double log_value;
};
std::vector<EnumeratedTree> enumerated_trees(const PlainRows& rows, std::size_t alphabet_size,
                                             std::size_t depth, double beta,
                                             const bct::EstimatorChoice& estimator);

}  // namespace ostrel::oracle
