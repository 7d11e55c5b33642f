#pragma once
// The statistics of one given complete tree (context_tree.hpp) on counts,
// under bct's prior: the columns a ranked list of trees is read by.
//   log_prior      the prior's terms: l1b per inner node, lb per leaf above
//                  the counts' max_depth (a leaf at max_depth adds nothing)
//   log_posterior  the tree's value (log prior plus each leaf's
//                  Krichevsky-Trofimov log estimate) less the log evidence
//   log_likelihood the maximised log-likelihood, as a fitted model's summary
//                  adds it, with the summary's parameters, AIC and BIC
// The value is formed bottom-up as bct's selector forms a node's maximal
// value (children with data in child-list order, the missing ones after), so
// the value of the tree bct selects is bct's maximal value, bit for bit, and
// its log posterior that of the first of the ranked trees.

#include <cstddef>

#include "counts/counts.hpp"
#include "model/scoring.hpp"
#include "posterior/prior.hpp"
#include "representation/context_tree.hpp"

namespace ostrel::bct {

struct TreeStatistics {
  double log_prior;
  double log_posterior;
  ModelSummary summary;  // contexts, sample size, parameters, log-likelihood, AIC, BIC
  std::size_t depth;     // the longest context's length
};

// `tree` over the counts' alphabet, no deeper than their max_depth; counts of
// contexts over symbols only (not made from their rows' start).
TreeStatistics tree_statistics(const Counts& counts, const ContextTree& tree,
                               const BctPrior& prior);

}  // namespace ostrel::bct
