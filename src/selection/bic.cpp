// Bottom-up penalised log-likelihood scores. Ties keep the leaf.

#include "selection/bic.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ostrel::bic {

SplitPlan select(const CountTrie& trie, double penalty) {
  const std::size_t m = trie.alphabet_size();
  const std::size_t depth_limit = trie.storage_depth();
  const std::size_t n = trie.node_count();

  // Grouped exactly so: ln(max(N, 1)) * ((penalty * 0.5) * (m - 1)).
  const double node_penalty =
      std::log(static_cast<double>(std::max<Count>(trie.sample_size(), 1))) *
      ((penalty * 0.5) * static_cast<double>(m - 1));

  SplitPlan plan{std::vector<std::uint8_t>(n, 0), std::vector<std::uint8_t>(depth_limit + 1, 0)};
  std::vector<double> node_score(n, 0.0);
  std::vector<SymbolCount> present;
  const auto& edges = trie.edges();
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    // Log-likelihood in ascending symbol order; absent symbols add nothing.
    double total = 0.0;
    if (node.count != 0) {
      const double nv = static_cast<double>(node.count);
      sorted_outcomes(trie, static_cast<NodeIndex>(i), present);
      for (const SymbolCount& record : present) {
        if (record.count == 0) continue;
        const double c = static_cast<double>(record.count);
        total = total + std::log(c / nv) * c;
      }
    }
    node_score[i] = total - node_penalty;

    if (node.depth == depth_limit || node.first_child == NO_INDEX) continue;
    double sum = 0.0;
    std::size_t k = 0;
    for (EdgeIndex edge = node.first_child; edge != NO_INDEX; edge = edges[edge].next) {
      sum = sum + node_score[edges[edge].child];
      ++k;
    }
    // Each symbol without a child is a leaf without data: likelihood 0, one penalty.
    sum = sum - node_penalty * static_cast<double>(m - k);
    if (sum > node_score[i]) {
      node_score[i] = sum;
      plan.node_split[i] = 1;
    }
  }
  return plan;
}

}  // namespace ostrel::bic
