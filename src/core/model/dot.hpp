#pragma once
// A fitted tree as Graphviz DOT text: one node statement per trie node, in
// index order, then one edge statement per child edge, parents' lists in
// index order. A node's label gives its context (oldest symbol first, as
// get_contexts spells it), its count and, at contexts, the next-symbol
// distribution predict_proba answers with, each probability in the shortest
// form that reads back to the same double. Linear in the text it writes.

#include <cstdint>
#include <span>
#include <string>

#include "representation/trie.hpp"

namespace ostrel {

// `terminal`: the model's context flags, one per node.
std::string dot_text(const CountTrie& trie, std::span<const std::uint8_t> terminal);

}  // namespace ostrel
