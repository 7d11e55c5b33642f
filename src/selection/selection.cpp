// Dispatch to the selectors and expansion of a split plan into a tree mask.

#include "selection/selection.hpp"

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/peres_shield.hpp"

namespace ostrel {

std::expected<TreeMask, std::string> select(CountTrie& trie, const FitConfig& config) {
  switch (config.method) {
    case SelectionMethod::PeresShield:
      return peres_shield::select(trie);
    case SelectionMethod::Bct:
      return expand_plan(trie, bct::select(trie, config.beta));
    case SelectionMethod::Bic:
      return expand_plan(trie, bic::select(trie, config.penalty));
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
  stack.push_back(0);
  while (!stack.empty()) {
    const NodeIndex node = stack.back();
    stack.pop_back();
    grow_mask();
    mask.kept[node] = 1;

    bool split;
    if (node < plan.node_split.size()) {
      split = plan.node_split[node] != 0;
    } else {
      const std::size_t depth = trie.node(node).depth;
      if (depth >= plan.depth_split.size()) {
        throw InternalFault("expand_plan: a created node lies below the plan's depths");
      }
      split = plan.depth_split[depth] != 0;
    }
    if (!split) {
      mask.terminal[node] = 1;
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

}  // namespace ostrel
