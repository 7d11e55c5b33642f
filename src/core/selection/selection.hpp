#pragma once
// What selection hands on. A `TreeMask` marks the selected tree over a count
// trie: both vectors have one entry per trie node; the root is kept; `kept` is
// closed under parent; a node is terminal exactly when it is kept and fewer
// than `alphabet_size` of its children are kept. A `NodeDecision` is a
// bottom-up selector's verdict on one node (bct.hpp, bic.hpp).

#include <cstdint>
#include <vector>

namespace ostrel {

struct TreeMask {
  std::vector<std::uint8_t> kept;      // 1: the node belongs to the selected tree
  std::vector<std::uint8_t> terminal;  // 1: the node is a context of the model
};

// The best value of a node's subtree and whether that value splits it.
struct NodeDecision {
  double value;
  bool split;
};

}  // namespace ostrel
