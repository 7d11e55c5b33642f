#pragma once
// FOR TESTING ONLY: the mixture over context trees by enumeration. Every
// complete tree of depth at most D is listed, its prior is bct's (beta for a
// leaf above D, 1 - beta for a split), and its probability of the positions is
// the product, position after position, of the prediction of the leaf that
// holds the position's context, each prediction worked out from the positions
// before it as the estimator defines it (dirichlet.hpp, kneser_ney.hpp): counts
// and continuation counts recounted from scratch. The evidence is the sum over
// trees of prior times probability. Tiny alphabets and depths only.
//
// With `starts`, rows are counted from their start: every position, its
// context padded beyond the row's start with START (the symbol m), and the
// trees are those over contexts of the m symbols and START, a context ending
// with START always a leaf (no prior term, as at depth D).

#include <cstddef>
#include <vector>

#include "posterior/mixture.hpp"

namespace ostrel::oracle {

// Rows of symbols, the counted positions of each (those after D symbols of
// their row; every one with `starts`) in order, row after row.
using PlainRows = std::vector<std::vector<Symbol>>;

double enumerated_log_evidence(const PlainRows& rows, std::size_t alphabet_size, std::size_t depth,
                               double beta, const bct::EstimatorChoice& estimator,
                               bool starts = false);

// The predictive distribution of a next position whose context is the last D
// symbols of `history` (at least D of them, unless `starts`, where a shorter
// history is a row's beginning), after the positions of `rows`: the ratio of
// the evidences with and without it.
std::vector<double> enumerated_predictive(const PlainRows& rows, const std::vector<Symbol>& history,
                                          std::size_t alphabet_size, std::size_t depth, double beta,
                                          const bct::EstimatorChoice& estimator,
                                          bool starts = false);

// Every tree's log prior plus log probability, with its leaves (contexts most
// recent symbol first), in the order enumerated.
struct EnumeratedTree {
  std::vector<std::vector<Symbol>> leaves;
  double log_value;
};
std::vector<EnumeratedTree> enumerated_trees(const PlainRows& rows, std::size_t alphabet_size,
                                             std::size_t depth, double beta,
                                             const bct::EstimatorChoice& estimator,
                                             bool starts = false);

}  // namespace ostrel::oracle
