#pragma once
// Storing the selected tree, the last phase of a fit under bct and bic.
// Takes: the selected tree (select_tree.hpp).
// Hands on: the fitted trie and its terminal flags, record for record those
// that expanding the selector's plan over the whole count trie and compacting
// it give: the kept nodes numbered in creation order, that is by (first
// position, depth), then the zero-count children that the expansion creates
// for the symbols a split node lacks, in the order it creates them; each list
// in creation order, as compaction's reversal leaves it.

#include <cstdint>
#include <utility>
#include <vector>

#include "fit/select_tree.hpp"
#include "representation/context_tree.hpp"
#include "representation/trie.hpp"

namespace ostrel::detail {

// A fitted trie and its terminal flags.
using FittedTrie = std::pair<CountTrie, std::vector<std::uint8_t>>;

// A tree that no selector's rule gives may split the nodes that the expansion
// creates: `tree` decides them. `inner[v]` is the inner node of `tree` that
// kept node v stands for, for every kept node that splits.
struct GivenSplits {
  const ContextTree* tree;
  std::vector<std::size_t> inner;
};

// Without `given`, every node the expansion creates is a leaf, as under bct
// and bic. With it, a created node splits when the given tree's node does,
// and its children are created as it is popped, as the expansion creates
// them; created nodes keep the numbers of their creation order.
template <class Position>
FittedTrie store(SelectedTree<Position>& tree, const GivenSplits* given = nullptr);

}  // namespace ostrel::detail
