#pragma once
// The one writer, beside the trie's own growth, that links records into
// lists: a trie written whole from records whose order is known.

#include <cstddef>

#include "base/types.hpp"
#include "representation/trie.hpp"

namespace ostrel {

// Writes a trie whole from records whose order is known: node fields by
// index, and each record put at the front of its node's list, either
// appended to its arena or at an index the caller reserved for it. The one
// writer, beside the trie's own growth, that links records into lists; an
// edge also gives its child its parent. close() enters a node's lists into the
// side index when they are long, while they are still in cache; a node not
// closed has its lists walked, which finds the same records.
//
//   TrieWriter out(alphabet_size, storage_depth, sample_size, nodes);
//   out.node(i, count, symbol, depth);
//   out.push_child(i, symbol, child);       // lists read newest first
//   out.push_outcome(i, symbol, count);
//   out.close(i, children, outcomes);
//   CountTrie trie = std::move(out).finish();
class TrieWriter {
 public:
  // A trie of `nodes` nodes (at least the root), their fields still to set.
  TrieWriter(std::size_t alphabet_size, std::size_t storage_depth, Count sample_size,
             std::size_t nodes);

  // Room to append this many edges and outcome records without regrowing.
  void reserve(std::size_t edges, std::size_t outcomes);
  // This many edges and outcome records, to be placed at their indices.
  void resize(std::size_t edges, std::size_t outcomes);

  // The fields of node `index`; its lists and parent are left as they are.
  void node(NodeIndex index, Count count, Symbol symbol, Depth depth) noexcept;

  // Puts an edge from `parent` to `child` at the front of the parent's child
  // list: appended, or at index `at`.
  void push_child(NodeIndex parent, Symbol symbol, NodeIndex child);
  void place_child(EdgeIndex at, NodeIndex parent, Symbol symbol, NodeIndex child) noexcept;
  // Puts an outcome record at the front of `node`'s list: appended, or at `at`.
  void push_outcome(NodeIndex node, Symbol symbol, Count count);
  void place_outcome(OutcomeIndex at, NodeIndex node, Symbol symbol, Count count) noexcept;

  // Ends the lists of `node`, which holds `children` children and `outcomes`
  // outcome records.
  void close(NodeIndex node, std::size_t children, std::size_t outcomes);

  // The trie, its arenas no larger than they need.
  CountTrie finish() &&;

 private:
  CountTrie trie_;
};

// The steps of writing run once per record, so they are inline.

inline void TrieWriter::node(NodeIndex index, Count count, Symbol symbol, Depth depth) noexcept {
  TrieNode& node = trie_.nodes_[index];
  node.count = count;
  node.symbol = symbol;
  node.depth = depth;
}

inline void TrieWriter::push_child(NodeIndex parent, Symbol symbol, NodeIndex child) {
  const EdgeIndex at = trie_.edges_.next_index();
  trie_.edges_.emplace_back();
  place_child(at, parent, symbol, child);
}

inline void TrieWriter::place_child(EdgeIndex at, NodeIndex parent, Symbol symbol,
                                    NodeIndex child) noexcept {
  EdgeIndex& head = trie_.nodes_[parent].first_child;
  trie_.edges_[at] = ChildEdge{symbol, child, head};
  head = at;
  trie_.nodes_[child].parent = parent;
}

inline void TrieWriter::push_outcome(NodeIndex node, Symbol symbol, Count count) {
  const OutcomeIndex at = trie_.outcomes_.next_index();
  trie_.outcomes_.emplace_back();
  place_outcome(at, node, symbol, count);
}

inline void TrieWriter::place_outcome(OutcomeIndex at, NodeIndex node, Symbol symbol,
                                      Count count) noexcept {
  OutcomeIndex& head = trie_.nodes_[node].first_outcome;
  trie_.outcomes_[at] = OutcomeCount{count, symbol, head};
  head = at;
}

}  // namespace ostrel
