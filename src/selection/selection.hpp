#pragma once
// Tree selection: `select` runs the configured selector over a freshly built
// count trie and returns a `TreeMask`. For every mask it returns: both vectors
// have one entry per trie node; the root is kept; `kept` is closed under
// parent; a node is terminal exactly when it is kept and fewer than
// `alphabet_size` of its children are kept.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "config.hpp"
#include "trie.hpp"

namespace ostrel {

struct TreeMask {
  std::vector<std::uint8_t> kept;      // 1: the node belongs to the selected tree
  std::vector<std::uint8_t> terminal;  // 1: the node is a context of the model
};

// What the BCT and BIC selectors decide. `node_split` covers the nodes that
// existed when the selector ran; `depth_split` (storage_depth + 1 entries)
// decides for nodes that the expansion itself creates. Producers guarantee
// that nothing at storage_depth is split.
struct SplitPlan {
  std::vector<std::uint8_t> node_split;
  std::vector<std::uint8_t> depth_split;
};

// A bottom-up selector's verdict on one node: the best value of its subtree
// and whether that value splits it.
struct NodeDecision {
  double value;
  bool split;
};

// Runs the selector of `config.method`. Under bct and bic the trie grows by
// the zero-count children of split nodes; under peres_shield it is unchanged.
std::expected<TreeMask, std::string> select(CountTrie& trie, const FitConfig& config);

// Walks the plan from the root with an explicit stack (children pushed in
// ascending symbol order, so the highest symbol's subtree comes first),
// creating every child a split node lacks.
std::expected<TreeMask, std::string> expand_plan(CountTrie& trie, const SplitPlan& plan);

}  // namespace ostrel
