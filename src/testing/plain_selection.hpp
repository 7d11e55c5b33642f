#pragma once
// FOR TESTING ONLY: tree selection over a whole count trie by the rules as
// written, kept for tests to compare the one-scan selection of a fit against:
// the bct and bic selectors' split plans, their expansion into a tree mask
// (which grows the trie by the zero-count children of split nodes), and the
// dispatch on the configured method.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "representation/trie.hpp"
#include "selection/selection.hpp"

namespace ostrel::oracle {

// What the bct and bic selectors decide. `node_split` covers the nodes that
// existed when the selector ran; `depth_split` (storage_depth + 1 entries)
// decides for nodes that the expansion itself creates. Producers guarantee
// that nothing at storage_depth is split.
struct SplitPlan {
  std::vector<std::uint8_t> node_split;
  std::vector<std::uint8_t> depth_split;
};

// One pass over the nodes in descending index order, children in child-list
// order. Require 0.5 <= beta < 1, and a finite penalty > 0; the trie is only
// read, and bic's `depth_split` is all 0.
SplitPlan plain_bct_select(const CountTrie& trie, double beta);
SplitPlan plain_bic_select(const CountTrie& trie, double penalty);

// Walks the plan from the root with an explicit stack (children pushed in
// ascending symbol order, so the highest symbol's subtree comes first),
// creating every child a split node lacks.
std::expected<TreeMask, std::string> expand_plan(CountTrie& trie, const SplitPlan& plan);

// Runs the selector of `config.method`. Under bct and bic the trie grows by
// the zero-count children of split nodes; under peres_shield it is unchanged.
std::expected<TreeMask, std::string> select(CountTrie& trie, const FitConfig& config);

}  // namespace ostrel::oracle
