#pragma once
// The Peres-Shields selector: a context is extended by one symbol where the
// next-symbol counts after some longer context deviate from what the shorter
// context predicts by at least N^0.75 in some symbol (N = counted positions).
// No context is longer than floor(ln ln N) nor the trie's storage depth. It
// builds the tree mask itself and never changes the trie.

#include <cstddef>

#include "representation/trie.hpp"
#include "selection/selection.hpp"

namespace ostrel::peres_shield {

// floor(ln ln n) as an unsigned 32-bit value (0 for n < 3).
std::size_t log_log_depth(Count n);

TreeMask select(const CountTrie& trie);

}  // namespace ostrel::peres_shield
