#pragma once
// The BIC selector: the context tree maximising the leaves' maximised
// log-likelihood minus `penalty` * (m - 1) / 2 * ln(sample size) per leaf,
// found exactly by one bottom-up pass over the count trie.

#include "selection/selection.hpp"
#include "trie.hpp"

namespace ostrel::bic {

// Requires a finite penalty > 0. The trie is only read; `depth_split` is all 0.
SplitPlan select(const CountTrie& trie, double penalty);

}  // namespace ostrel::bic
