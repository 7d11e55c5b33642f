#pragma once
// The evidence of the BCT model: the prior predictive probability of the
// counted positions, summed over every tree of depth at most D (the storage
// depth), bottom-up from the per-node terms of bct's selector (m symbols, E a
// node's Dirichlet log estimate, dirichlet.hpp: at alpha = 1/2 the
// Krichevsky-Trofimov estimate of bct::Rule::estimate):
//   W = E at depth D;
//   W = log_add(lb + E, (l1b + W_1) + W_2 + ... + W_k) above, the children
//       with data in child-list order, as bct's selector sums them.
// A subtree without data has W = 0.0 exactly (the prior probabilities of its
// trees sum to one, and it has no data to predict), so the children without a
// node add nothing, and a node whose count is 0 has W = 0.0.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "posterior/dirichlet.hpp"
#include "posterior/prior.hpp"
#include "representation/context_scan.hpp"
#include "selection/bct.hpp"

namespace ostrel::bct {

// W of a node at `depth` from its estimate `e` and its children's sum `split`
// (l1b plus their W in child-list order).
inline double subtree_evidence(const BctPrior& prior, std::size_t storage_depth, std::size_t depth,
                               double e, double split) {
  if (depth == storage_depth) return e;
  if (depth > storage_depth) throw InternalFault("bct evidence: node below the storage depth");
  return log_add(prior.lb + e, split);
}

// A visitor of scan_bottom_up that computes every node's W; the root's is
// the log evidence.
template <class Position>
class EvidenceScan {
 public:
  using Value = double;
  using Run = typename detail::RunStack<Position>::Run;

  EvidenceScan(std::size_t alphabet_size, std::size_t depth, const BctPrior& prior, double alpha)
      : estimator_(alphabet_size, alpha), prior_(prior), depth_(depth) {}

  double node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
              std::span<const Position>,
              std::span<const detail::ChildValue<Position, double>> children) {
    double total = prior_.l1b;
    for (const auto& child : children) total = total + child.value;
    const double value =
        subtree_evidence(prior_, depth_, depth, estimator_.estimate(run.count, outcomes), total);
    if (depth == 0) root_ = value;
    return value;
  }

  // The root's value, once the scan is over.
  double root() const noexcept { return root_; }

  // A chain's values depend only on its leaf estimate and the depths, so they
  // are worked out once per estimate (bit for bit), from the deepest up.
  double chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome, Position) {
    const double e = estimator_.estimate(run.count, std::span<const SymbolCount>(&outcome, 1));
    if (chain_value_.size() != levels || std::bit_cast<std::uint64_t>(e) != chain_leaf_) {
      chain_leaf_ = std::bit_cast<std::uint64_t>(e);
      chain_value_.assign(levels, 0.0);
      chain_from_ = levels;
    }
    for (; chain_from_ > top; --chain_from_) {
      const std::size_t d = chain_from_ - 1;
      chain_value_[d] = subtree_evidence(
          prior_, depth_, d, e, d + 1 == levels ? prior_.l1b : prior_.l1b + chain_value_[d + 1]);
    }
    if (top == 0) root_ = chain_value_[0];
    return chain_value_[top];
  }

 private:
  Dirichlet estimator_;
  BctPrior prior_;
  std::size_t depth_;
  double root_ = 0.0;
  std::uint64_t chain_leaf_ = 0;
  std::size_t chain_from_ = 0;
  std::vector<double> chain_value_;
};

}  // namespace ostrel::bct
