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
#include "representation/trie.hpp"

namespace ostrel::detail {

// A fitted trie and its terminal flags.
using FittedTrie = std::pair<CountTrie, std::vector<std::uint8_t>>;

template <class Position>
FittedTrie store(SelectedTree<Position>& tree);

}  // namespace ostrel::detail
