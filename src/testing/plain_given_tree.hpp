#pragma once
// FOR TESTING ONLY: fitting a given complete tree by the rule as written, kept
// for tests to compare the one-scan fit of a given tree against: the whole
// count trie built position by position, expanded from the root with an
// explicit stack (children pushed in ascending symbol order, every missing
// child of a split node created) where a node splits exactly when its context
// is an inner node of the given tree, then compacted. Also the counts of every
// context of one length, position by position.

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "representation/rows.hpp"
#include "representation/trie.hpp"

namespace ostrel::oracle {

// `contexts` oldest symbol first, a complete tree no deeper than `depth`;
// symbols in range.
std::pair<CountTrie, std::vector<std::uint8_t>> plain_fit_given_tree(
    const Rows& rows, std::size_t alphabet_size, std::size_t depth,
    const std::vector<std::vector<Symbol>>& contexts);

// Each context of `length` symbols (oldest first) of the positions counted
// with `depth` symbols of context, with how often each symbol followed it.
std::map<std::vector<Symbol>, std::vector<Count>> plain_context_counts(const Rows& rows,
                                                                       std::size_t alphabet_size,
                                                                       std::size_t depth,
                                                                       std::size_t length);

}  // namespace ostrel::oracle
