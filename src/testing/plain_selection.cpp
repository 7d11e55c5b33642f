// FOR TESTING ONLY: the selectors over a whole trie and the expansion of a
// plan, as written.

#include "testing/plain_selection.hpp"

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/peres_shield.hpp"

namespace ostrel::oracle {

SplitPlan plain_bct_select(const CountTrie& trie, double beta) {
  const std::size_t n = trie.node_count();
  bct::Rule rule(trie.alphabet_size(), trie.storage_depth(), beta);
  SplitPlan plan{std::vector<std::uint8_t>(n, 0), rule.depth_split()};
  IndexVector<NodeIndex, double> log_max_prob(n, 0.0);
  std::vector<SymbolCount> present;
  for (std::size_t i = n; i-- > 0;) {
    const NodeIndex node(i);
    sorted_outcomes(trie, node, present);
    const double e = rule.estimate(trie.node(node).count, present);
    double total = rule.split_base();
    std::size_t k = 0;
    for (const ChildEdge& edge : trie.children(node)) {
      total = total + log_max_prob[edge.child];
      ++k;
    }
    const NodeDecision decision = rule.decide(e, trie.node(node).depth, total, k);
    log_max_prob[node] = decision.value;
    plan.node_split[i] = decision.split;
  }
  return plan;
}

SplitPlan plain_bic_select(const CountTrie& trie, double penalty) {
  const std::size_t n = trie.node_count();
  const bic::Rule rule(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), penalty);
  SplitPlan plan{std::vector<std::uint8_t>(n, 0),
                 std::vector<std::uint8_t>(trie.storage_depth() + 1, 0)};
  IndexVector<NodeIndex, double> node_score(n, 0.0);
  std::vector<SymbolCount> present;
  for (std::size_t i = n; i-- > 0;) {
    const NodeIndex node(i);
    sorted_outcomes(trie, node, present);
    double total = 0.0;
    std::size_t k = 0;
    for (const ChildEdge& edge : trie.children(node)) {
      total = total + node_score[edge.child];
      ++k;
    }
    const NodeDecision decision = rule.decide(rule.leaf_score(trie.node(node).count, present),
                                              trie.node(node).depth, total, k);
    node_score[node] = decision.value;
    plan.node_split[i] = decision.split;
  }
  return plan;
}

std::expected<TreeMask, std::string> select(CountTrie& trie, const FitConfig& config) {
  switch (config.method) {
    case SelectionMethod::PeresShield:
      return peres_shield::select(trie);
    case SelectionMethod::Bct:
      return expand_plan(trie, plain_bct_select(trie, config.beta));
    case SelectionMethod::Bic:
      return expand_plan(trie, plain_bic_select(trie, config.penalty));
  }
  throw InternalFault("select: unknown selection method");
}

std::expected<TreeMask, std::string> expand_plan(CountTrie& trie, const SplitPlan& plan) {
  const std::size_t alphabet_size = trie.alphabet_size();
  TreeMask mask{std::vector<std::uint8_t>(trie.node_count(), 0),
                std::vector<std::uint8_t>(trie.node_count(), 0)};
  auto grow_mask = [&] {
    if (trie.node_count() > mask.kept.size()) {
      mask.kept.resize(trie.node_count(), 0);
      mask.terminal.resize(trie.node_count(), 0);
    }
  };

  std::vector<NodeIndex> stack;
  stack.reserve(1);
  stack.push_back(ROOT);
  while (!stack.empty()) {
    const NodeIndex node = stack.back();
    stack.pop_back();
    grow_mask();
    mask.kept[node.value()] = 1;

    bool split;
    if (node.value() < plan.node_split.size()) {
      split = plan.node_split[node.value()] != 0;
    } else {
      const std::size_t depth = trie.node(node).depth;
      if (depth >= plan.depth_split.size()) {
        throw InternalFault("expand_plan: a created node lies below the plan's depths");
      }
      split = plan.depth_split[depth] != 0;
    }
    if (!split) {
      mask.terminal[node.value()] = 1;
      continue;
    }

    // A split node gets one child per symbol. Fail at once, before any work,
    // when that many nodes could never be held.
    trie.reserve_children(node, alphabet_size);
    stack.reserve(stack.size() + alphabet_size);
    for (Symbol s = 0; s < alphabet_size; ++s) {
      auto child = trie.get_or_create_child(node, s);
      if (!child) return std::unexpected(std::move(child.error()));
      grow_mask();
      stack.push_back(*child);
    }
  }
  grow_mask();
  return mask;
}

}  // namespace ostrel::oracle
