// Bottom-up penalised log-likelihood scores. Ties keep the leaf.

#include "selection/bic.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ostrel::bic {

Rule::Rule(std::size_t alphabet_size, std::size_t storage_depth, Count sample_size, double penalty)
    : alphabet_size_(alphabet_size),
      storage_depth_(storage_depth),
      // Grouped exactly so: ln(max(N, 1)) * ((penalty * 0.5) * (m - 1)).
      node_penalty_(std::log(static_cast<double>(std::max<Count>(sample_size, 1))) *
                    ((penalty * 0.5) * static_cast<double>(alphabet_size - 1))) {}

double Rule::leaf_score(Count count, std::span<const SymbolCount> outcomes) const {
  // Log-likelihood in ascending symbol order; absent symbols add nothing.
  double total = 0.0;
  if (count != 0) {
    const double nv = static_cast<double>(count);
    for (const SymbolCount& record : outcomes) {
      if (record.count == 0) continue;
      const double c = static_cast<double>(record.count);
      total = total + std::log(c / nv) * c;
    }
  }
  return total - node_penalty_;
}

NodeDecision Rule::decide(double leaf_score, std::size_t depth, double children_total,
                          std::size_t children) const {
  if (depth == storage_depth_ || children == 0) return {leaf_score, false};
  // Each symbol without a child is a leaf without data: likelihood 0, one penalty.
  const double sum =
      children_total - node_penalty_ * static_cast<double>(alphabet_size_ - children);
  if (sum > leaf_score) return {sum, true};
  return {leaf_score, false};
}

}  // namespace ostrel::bic
