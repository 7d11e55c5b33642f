// The dense child table of the context lookup.

#include "context_lookup.hpp"

namespace ostrel {

bool dense_table_pays(std::size_t nodes, std::size_t alphabet_size, Count queries) {
  if (nodes == 0 || alphabet_size > DENSE_LIMIT / nodes) return false;
  const std::size_t entries = nodes * alphabet_size;
  return queries >= entries / 8;
}

ContextLookup::ContextLookup(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                             Count queries)
    : trie_(trie), terminal_(terminal) {
  const std::size_t nodes = trie.node_count();
  if (terminal.size() != nodes) throw InternalFault("context lookup: one flag per node expected");
  const std::size_t alphabet_size = trie.alphabet_size();
  if (!dense_table_pays(nodes, alphabet_size, queries)) return;
  children_.assign(nodes * alphabet_size, NO_INDEX);
  for (std::size_t i = 0; i < nodes; ++i) {
    for (const ChildEdge& edge : trie.children(static_cast<NodeIndex>(i))) {
      children_[i * alphabet_size + edge.symbol] = edge.child;
    }
  }
}

}  // namespace ostrel
