// The dense child table of the context lookup.

#include "model/context_lookup.hpp"

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
  // Rows fit the low half and indices leave the flag bit free: fewer than
  // DENSE_LIMIT entries in all.
  table_.assign(nodes * alphabet_size, MISSING);
  steps_.assign(nodes * alphabet_size, UNKNOWN);
  for (const NodeIndex i : trie.nodes().indices()) {
    for (const ChildEdge& edge : trie.children(i)) {
      const Entry child = edge.child.value();
      const Entry flag = terminal[child] != 0 ? CONTEXT : 0;
      const Entry row = child * alphabet_size;
      table_[i.value() * alphabet_size + edge.symbol] = ((child | flag) << 32) | row;
    }
  }
}

}  // namespace ostrel
