#pragma once
// The BCT selector: the maximum a-posteriori context tree under the Bayesian
// Context Trees prior with parameter beta and Krichevsky-Trofimov leaf
// estimates, found by one bottom-up pass of maximal probabilities over the
// count trie. Exact: every sum is formed in the documented order.

#include <cstddef>
#include <span>
#include <vector>

#include "representation/trie.hpp"
#include "selection/selection.hpp"

namespace ostrel::bct {

// The maximal-probability rule, one node at a time, children first. A node's
// log maximal probability is
//   decide(estimate(count, outcomes), depth, children total, children)
// where the children total starts at split_base() and adds each existing
// child's value in child-list order.
class Rule {
 public:
  // Requires 0.5 <= beta < 1.
  Rule(std::size_t alphabet_size, std::size_t storage_depth, double beta);

  // The Krichevsky-Trofimov log estimate of a node's counts; `outcomes` in
  // ascending symbol order.
  double estimate(Count count, std::span<const SymbolCount> outcomes);
  double split_base() const noexcept { return l1b_; }
  NodeDecision decide(double estimate, std::size_t depth, double children_total,
                      std::size_t children) const;
  // Whether a node without data at each depth is split.
  const std::vector<std::uint8_t>& depth_split() const noexcept { return depth_split_; }

 private:
  std::size_t alphabet_size_;
  std::size_t storage_depth_;
  double lb_, l1b_;
  std::vector<double> unseen_log_max_prob_;
  std::vector<std::uint8_t> depth_split_;
  double lg_half_;
  double absent_term_;
  bool skip_absent_;
  std::vector<double> lg_half_plus_;  // log_gamma(half + k), computed on first use
  std::vector<double> kt_term_;       // log_gamma(k + 0.5) - log_gamma(0.5), likewise
};

}  // namespace ostrel::bct
