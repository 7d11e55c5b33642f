#pragma once
// The BIC selector: the context tree maximising the leaves' maximised
// log-likelihood minus `penalty` * (m - 1) / 2 * ln(sample size) per leaf,
// found exactly by one bottom-up pass over the count trie.

#include <cstddef>
#include <span>

#include "representation/trie.hpp"
#include "selection/selection.hpp"

namespace ostrel::bic {

// The scoring rule, one node at a time, children first. A node's score is
//   decide(leaf_score(count, outcomes), depth, children total, children)
// where the children total starts at 0.0 and adds each existing child's score
// in child-list order.
class Rule {
 public:
  // Requires a finite penalty > 0.
  Rule(std::size_t alphabet_size, std::size_t storage_depth, Count sample_size, double penalty);

  // The node's maximised log-likelihood minus one leaf's penalty; `outcomes`
  // in ascending symbol order.
  double leaf_score(Count count, std::span<const SymbolCount> outcomes) const;
  NodeDecision decide(double leaf_score, std::size_t depth, double children_total,
                      std::size_t children) const;

 private:
  std::size_t alphabet_size_;
  std::size_t storage_depth_;
  double node_penalty_;
};

}  // namespace ostrel::bic
