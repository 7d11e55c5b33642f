#pragma once
// The scored tree: every node with data of the counts' trie as the ranking of
// trees needs it, from one bottom-up scan of the keys. A node keeps its value
// as a leaf, the value of its best tree (bct's maximal value, bit for bit),
// its children in child-list order, and the leaf where its symbol is read; the
// same scan computes every node's evidence (evidence.hpp). A chain of
// single-leaf nodes is kept as its top alone, standing for the chain down to
// the storage depth D: its values depend only on its leaf's estimate and the
// depth, so they are kept once per estimate.
//
// A tree's value (log prior plus log probability of the data), bottom-up:
//   a node at depth D: E;
//   a leaf above D: lb + E;
//   a split node: ((l1b + v_1) + v_2) + ... + v_k, its children with data in
//       child-list order, then + g, the value of the forest of its m - k
//       children without data (no term when k = m; ranking.hpp).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "posterior/dirichlet.hpp"
#include "posterior/evidence.hpp"
#include "posterior/prior.hpp"
#include "representation/context_scan.hpp"
#include "selection/bct.hpp"

namespace ostrel::bct {

inline constexpr std::uint32_t NO_LIST = ~std::uint32_t{0};

// A node with data, as the ranking needs it; or the top of a chain of
// single-leaf nodes, which stands for the chain down to D.
struct ScoredNode {
  double leaf;                // its value as a leaf: lb + E above D, E at D
  double best;                // the value of its best tree, bct's maximal value
  std::uint64_t key;          // the leaf at which its run starts: where its symbol comes from
  std::uint32_t first_child;  // its children, in child-list order, in ScoredTrie::children
  std::uint32_t child_count;
  std::uint32_t chain;  // a chain's top: its values in ScoredTrie::chains; otherwise NO_LIST
  Depth depth;
};

// The nodes of the single-leaf chains whose leaf has the estimate `e`: each
// holds that leaf's counts alone, so its values depend on its depth only.
struct ChainValues {
  double e;
  std::vector<double> best;      // best[D - d]: the best value of such a node at depth d
  std::vector<double> evidence;  // evidence[D - d]: its W
};

struct ScoredTrie {
  std::vector<ScoredNode> nodes;  // postorder: the root last
  std::vector<std::uint32_t> children;
  std::vector<ChainValues> chains;
  double log_evidence = 0.0;  // the root's W: 0.0 without data
};

// A visitor of scan_bottom_up that writes the scored tree.
template <class Position>
class ScoreScan {
 public:
  struct Value {
    double best;
    double evidence;
    std::uint32_t id;
  };
  using Run = typename detail::RunStack<Position>::Run;

  ScoreScan(std::size_t alphabet_size, std::size_t depth, const BctPrior& prior, double alpha,
            ScoredTrie& out)
      : rule_(alphabet_size, depth, prior.beta),
        estimator_(alphabet_size, alpha),
        prior_(prior),
        depth_(depth),
        out_(out) {}

  Value node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
             std::span<const Position>,
             std::span<const detail::ChildValue<Position, Value>> children) {
    const double e = estimator_.estimate(run.count, outcomes);
    double total = rule_.split_base();
    double evidence = prior_.l1b;
    for (const auto& child : children) {
      total = total + child.value.best;
      evidence = evidence + child.value.evidence;
    }
    const NodeDecision decision = rule_.decide(e, depth, total, children.size());
    evidence = subtree_evidence(prior_, depth_, depth, e, evidence);
    if (depth == 0) out_.log_evidence = evidence;
    const std::uint32_t id = add(ScoredNode{
        depth == depth_ ? e : prior_.lb + e, decision.value, run.start,
        static_cast<std::uint32_t>(out_.children.size()),
        static_cast<std::uint32_t>(children.size()), NO_LIST, static_cast<Depth>(depth)});
    for (const auto& child : children) out_.children.push_back(child.value.id);
    return {decision.value, evidence, id};
  }

  // One record for the chain; its nodes' values, decided from the deepest up
  // as node() decides them, are kept once per leaf estimate (bit for bit).
  Value chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome, Position) {
    const double e = estimator_.estimate(run.count, std::span<const SymbolCount>(&outcome, 1));
    const auto [at, added] = chain_index_.try_emplace(
        std::bit_cast<std::uint64_t>(e), static_cast<std::uint32_t>(out_.chains.size()));
    if (added) out_.chains.push_back(ChainValues{e, {}, {}});
    ChainValues& values = out_.chains[at->second];
    std::vector<double>& best = values.best;
    std::vector<double>& evidence = values.evidence;
    while (best.size() < levels - top) {
      const std::size_t d = depth_ - best.size();
      if (best.empty()) {
        best.push_back(rule_.decide(e, d, rule_.split_base(), 0).value);
        evidence.push_back(subtree_evidence(prior_, depth_, d, e, prior_.l1b));
      } else {
        best.push_back(rule_.decide(e, d, rule_.split_base() + best.back(), 1).value);
        evidence.push_back(subtree_evidence(prior_, depth_, d, e, prior_.l1b + evidence.back()));
      }
    }
    const double value = best[depth_ - top];
    if (top == 0) out_.log_evidence = evidence[depth_];
    const std::uint32_t id = add(ScoredNode{top == depth_ ? e : prior_.lb + e, value, run.start, 0,
                                            0, at->second, static_cast<Depth>(top)});
    return {value, evidence[depth_ - top], id};
  }

 private:
  std::uint32_t add(const ScoredNode& node) {
    if (out_.nodes.size() >= MAX_RECORDS) throw CapacityExhausted{};
    out_.nodes.push_back(node);
    return static_cast<std::uint32_t>(out_.nodes.size() - 1);
  }

  Rule rule_;  // its decisions; the estimate is the estimator's
  Dirichlet estimator_;
  BctPrior prior_;
  std::size_t depth_;
  ScoredTrie& out_;
  std::unordered_map<std::uint64_t, std::uint32_t> chain_index_;  // estimate bits -> chain values
};

}  // namespace ostrel::bct
