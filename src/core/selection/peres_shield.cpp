// Fluctuation test of every shallow node against each of its ancestors, then a
// walk of the flagged paths from the root.

#include "selection/peres_shield.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace ostrel::peres_shield {

namespace {

// The outcome records of every node shallower than the depth bound (the only
// nodes that serve as ancestors), each node's sorted by count, largest first.
class AncestorOutcomes {
 public:
  AncestorOutcomes(const CountTrie& trie, std::size_t depth_bound) : begin_(trie.node_count() + 1) {
    for (const NodeIndex i : trie.nodes().indices()) {
      begin_[i] = records_.size();
      if (trie.node(i).depth >= depth_bound) continue;
      for (const OutcomeCount& outcome : trie.outcomes(i)) {
        records_.push_back(SymbolCount{outcome.symbol, outcome.count});
      }
      std::sort(records_.begin() + static_cast<std::ptrdiff_t>(begin_[i]), records_.end(),
                [](const SymbolCount& a, const SymbolCount& b) { return a.count > b.count; });
    }
    begin_.back() = records_.size();
  }

  std::span<const SymbolCount> by_count(NodeIndex node) const {
    const std::size_t begin = begin_[node], end = begin_[NodeIndex(node.value() + 1)];
    return {records_.data() + begin, end - begin};
  }

 private:
  IndexVector<NodeIndex, std::size_t> begin_;  // per node, and the end after the last
  std::vector<SymbolCount> records_;
};

// The largest |n_i(b) - count(i) * n_p(b) / count(p)| over all symbols b,
// visiting only the symbols recorded at i plus one more: a symbol absent at
// both nodes deviates by exactly 0, and among the symbols recorded at p but
// not at i the deviation count(i) * n_p(b) / count(p) grows with n_p(b)
// (rounding is monotone), so only the most frequent of them can be largest.
// The maximum does not depend on the order of the terms, so this is the value
// of the full loop over the alphabet, bit for bit.
double fluctuation(const CountTrie& trie, NodeIndex i, NodeIndex p,
                   std::span<const SymbolCount> p_by_count) {
  const TrieNode& node = trie.node(i);
  const TrieNode& ancestor = trie.node(p);
  if (ancestor.count == 0) return 0.0;
  const double count_i = static_cast<double>(node.count);
  const double count_p = static_cast<double>(ancestor.count);
  double largest = 0.0;
  for (const OutcomeCount& outcome : trie.outcomes(i)) {
    const double n_p = static_cast<double>(trie.outcome_count(p, outcome.symbol));
    const double expected = (count_i * n_p) / count_p;
    largest = std::max(largest, std::fabs(static_cast<double>(outcome.count) - expected));
  }
  for (const SymbolCount& record : p_by_count) {
    if (trie.outcome_count(i, record.symbol) != 0) continue;
    const double expected = (count_i * static_cast<double>(record.count)) / count_p;
    largest = std::max(largest, std::fabs(0.0 - expected));
    break;
  }
  return largest;
}

}  // namespace

std::size_t log_log_depth(Count n) {
  if (n < 3) return 0;
  const double v = std::floor(std::log(std::log(static_cast<double>(n))));
  if (!(v > 0.0)) return 0;  // negative or NaN
  constexpr double largest = std::numeric_limits<std::uint32_t>::max();
  if (v >= largest) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::size_t>(v);
}

TreeMask select(const CountTrie& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t alphabet_size = trie.alphabet_size();
  const double threshold = std::pow(static_cast<double>(trie.sample_size()), 0.75);
  const std::size_t depth_bound = std::min(log_log_depth(trie.sample_size()), trie.storage_depth());

  // flagged[c]: the extension from c's parent to c is significant for some
  // node in c's subtree of depth at most the bound.
  const AncestorOutcomes ancestors(trie, depth_bound);
  std::vector<std::uint8_t> flagged(n, 0);
  for (const NodeIndex i : IndexRange<NodeIndex>(1, n)) {
    const TrieNode& node = trie.node(i);
    if (node.depth > depth_bound || !node.parent.has_value()) continue;
    NodeIndex c = i;
    NodeIndex p = node.parent;
    while (true) {
      if (fluctuation(trie, i, p, ancestors.by_count(p)) >= threshold) flagged[c.value()] = 1;
      if (p == ROOT) break;
      c = p;
      p = trie.node(p).parent;
    }
  }

  TreeMask mask{std::vector<std::uint8_t>(n, 0), std::vector<std::uint8_t>(n, 0)};
  std::vector<NodeIndex> stack{ROOT};
  while (!stack.empty()) {
    const NodeIndex node = stack.back();
    stack.pop_back();
    mask.kept[node.value()] = 1;
    std::size_t pushed = 0;
    for (const ChildEdge& edge : trie.children(node)) {
      if (flagged[edge.child.value()]) {
        stack.push_back(edge.child);
        ++pushed;
      }
    }
    mask.terminal[node.value()] = pushed < alphabet_size ? 1 : 0;
  }
  return mask;
}

}  // namespace ostrel::peres_shield
