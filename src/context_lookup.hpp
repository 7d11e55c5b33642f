#pragma once
// The node that predict_proba answers from, found many times over: the
// deepest selected suffix of a history in a fitted model (every node kept),
// for histories held in any unsigned width. When the lookups will be many
// next to the size of the tree, a dense child table (node, symbol) -> child
// replaces the list walks; the answers are the same either way.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "trie.hpp"

namespace ostrel {

// Whether a dense table of `nodes` x `alphabet_size` entries pays for
// `queries` lookups: at most eight entries per lookup, so that building it
// never costs more than the lookups it serves, and at most DENSE_LIMIT.
bool dense_table_pays(std::size_t nodes, std::size_t alphabet_size, Count queries);

// The largest dense table, in entries.
inline constexpr std::size_t DENSE_LIMIT = std::size_t{1} << 22;

class ContextLookup {
 public:
  // `terminal`: the model's context flags, one per node. `queries`: how many
  // lookups the caller expects to make.
  ContextLookup(const CountTrie& trie, std::span<const std::uint8_t> terminal, Count queries);

  // deepest_selected_suffix(trie, history, all kept, terminal): the deepest
  // terminal node on the path that follows `history` (most recent symbol
  // last) backwards for at most storage_depth symbols, or the last node
  // reached when none on it is terminal. Symbols must be below the alphabet
  // size.
  template <class T>
  NodeIndex find(std::span<const T> history) const noexcept {
    NodeIndex best = 0, current = 0;
    bool seen = terminal_[0] != 0;
    const std::size_t steps = std::min(history.size(), trie_.storage_depth());
    for (std::size_t d = 1; d <= steps; ++d) {
      const NodeIndex next = child(current, static_cast<Symbol>(history[history.size() - d]));
      if (next == NO_INDEX) break;
      if (terminal_[next] != 0) {
        best = next;
        seen = true;
      }
      current = next;
    }
    return seen ? best : current;
  }

 private:
  NodeIndex child(NodeIndex node, Symbol symbol) const noexcept {
    if (children_.empty()) return trie_.find_child(node, symbol);
    return children_[static_cast<std::size_t>(node) * trie_.alphabet_size() + symbol];
  }

  const CountTrie& trie_;
  std::span<const std::uint8_t> terminal_;
  std::vector<NodeIndex> children_;  // dense table, or empty
};

}  // namespace ostrel
