// Two passes over the old nodes: numbering the kept ones, then writing each
// with its lists.

#include "fit/compact.hpp"

#include <algorithm>

#include "representation/trie_writer.hpp"

namespace ostrel {

std::pair<CountTrie, std::vector<std::uint8_t>> compact(CountTrie trie,
                                                        std::span<const std::uint8_t> kept,
                                                        std::span<const std::uint8_t> terminal) {
  const std::size_t n = trie.node_count();
  if (n == 0 || kept.empty() || kept[0] != 1) throw InternalFault("compact: the root is not kept");

  // First pass: number the kept nodes in index order; parents come first, so
  // a parent's new index is known when its child is numbered.
  IndexVector<NodeIndex, NodeIndex> remap(n, NO_INDEX);
  const std::size_t kept_limit = std::min(n, kept.size());
  std::size_t kept_total = 1;
  remap[ROOT] = ROOT;
  for (const NodeIndex i : IndexRange<NodeIndex>(1, kept_limit)) {
    if (kept[i.value()] == 0) continue;
    if (!remap[trie.node(i).parent].has_value()) {
      throw InternalFault("compact: a kept node has a dropped parent");
    }
    remap[i] = NodeIndex(kept_total++);
  }

  // Second pass: each kept node with its lists, every record put at the front
  // as the old list is walked, which reverses it. An upper bound of the
  // outcome records; what is not written is returned at the end.
  TrieWriter out(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), kept_total);
  out.reserve(kept_total - 1, trie.outcomes().size());
  std::vector<std::uint8_t> new_terminal(kept_total, 0);
  for (const NodeIndex i : IndexRange<NodeIndex>(0, kept_limit)) {
    const NodeIndex m = remap[i];
    if (!m.has_value()) continue;
    const TrieNode& old = trie.node(i);
    out.node(m, old.count, old.symbol, old.depth);
    if (i.value() < terminal.size()) new_terminal[m.value()] = terminal[i.value()] & 1;
    std::size_t children = 0, outcomes = 0;
    for (const ChildEdge& edge : trie.children(i)) {
      if (!remap[edge.child].has_value()) continue;
      out.push_child(m, edge.symbol, remap[edge.child]);
      ++children;
    }
    for (const OutcomeCount& record : trie.outcomes(i)) {
      out.push_outcome(m, record.symbol, record.count);
      ++outcomes;
    }
    out.close(m, children, outcomes);
  }
  // Release the old trie first, so that both never peak together.
  trie = CountTrie(0, 0);
  return {std::move(out).finish(), std::move(new_terminal)};
}

}  // namespace ostrel
