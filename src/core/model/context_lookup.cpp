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
  for (std::size_t i = 0; i < nodes; ++i) {
    for (const ChildEdge& edge : trie.children(static_cast<NodeIndex>(i))) {
      const Entry flag = terminal[edge.child] != 0 ? CONTEXT : 0;
      const Entry row = Entry{edge.child} * alphabet_size;
      table_[i * alphabet_size + edge.symbol] = ((Entry{edge.child} | flag) << 32) | row;
    }
  }
}

}  // namespace ostrel
