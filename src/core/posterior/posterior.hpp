#pragma once
// The Bayesian answers of the BCT model beyond its MAP tree, from counts: the
// evidence (the prior predictive probability of the counted positions, summed
// over every tree of depth at most max_depth; evidence.hpp) and the k trees of
// highest posterior probability (ranking.hpp), from one scan of the counts'
// keys that never holds their count trie.

#include <cstddef>
#include <vector>

#include "counts/counts.hpp"
#include "posterior/dirichlet.hpp"
#include "posterior/prior.hpp"
#include "posterior/tree_contexts.hpp"

namespace ostrel::bct {

struct Posterior {
  double log_evidence;
  // The min(k, number of trees) best trees, best first, each with its log
  // posterior: its value less the log evidence.
  std::vector<RankedTree> top_trees;
};

// With k = 0 the evidence alone, by the lighter scan. Leaves are scored by the
// Dirichlet estimate of concentration `alpha` (dirichlet.hpp; 1/2, the
// Krichevsky-Trofimov estimate, is bct's). Counts of contexts over symbols
// only (not made from their rows' start).
Posterior posterior(const Counts& counts, const BctPrior& prior, std::size_t k,
                    double alpha = Dirichlet::KRICHEVSKY_TROFIMOV);

}  // namespace ostrel::bct
