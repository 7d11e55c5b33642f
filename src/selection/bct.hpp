#pragma once
// The BCT selector: the maximum a-posteriori context tree under the Bayesian
// Context Trees prior with parameter beta and Krichevsky-Trofimov leaf
// estimates, found by one bottom-up pass of maximal probabilities over the
// count trie. Exact: every sum is formed in the documented order.

#include "selection/selection.hpp"
#include "trie.hpp"

namespace ostrel::bct {

// Requires 0.5 <= beta < 1. The trie is only read.
SplitPlan select(const CountTrie& trie, double beta);

}  // namespace ostrel::bct
