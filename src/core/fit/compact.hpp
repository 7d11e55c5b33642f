#pragma once
// Compaction: the whole count trie cut down to a selected tree, the last
// phase of a fit under peres_shield.
// Takes: a trie and its tree mask (the root kept, `kept` closed under parent).
// Hands on: the kept nodes renumbered densely in their old order, every child
// and outcome list reversed (so a list built newest first reads oldest first),
// and the `terminal` flags under the new numbering.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "representation/trie.hpp"

namespace ostrel {

// Flag vectors shorter than the node count read as 0 beyond.
std::pair<CountTrie, std::vector<std::uint8_t>> compact(CountTrie trie,
                                                        std::span<const std::uint8_t> kept,
                                                        std::span<const std::uint8_t> terminal);

}  // namespace ostrel
