#pragma once
// FOR TESTING ONLY: the evidence and the best trees of the BCT model by the
// plain passes over a whole count trie of storage depth D (every node in
// descending index order, children in child-list order), kept for tests to
// compare the one-scan posterior of counts against. Both require
// 0.5 <= beta < 1; the values follow posterior/evidence.hpp and
// posterior/ranking.hpp.

#include <cstddef>
#include <vector>

#include "posterior/tree_contexts.hpp"
#include "representation/trie.hpp"

namespace ostrel::oracle {

double plain_log_evidence(const CountTrie& trie, double beta);

// The min(k, number of trees) best trees in the ranking's order: every tree of
// each node's best k assembled from its children's and sorted. Their log
// posteriors are not set.
std::vector<bct::RankedTree> plain_top_trees(const CountTrie& trie, double beta, std::size_t k);

}  // namespace ostrel::oracle
