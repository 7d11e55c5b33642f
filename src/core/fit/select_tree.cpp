// Both selectors decide bottom-up: a node's value comes from its counts (in
// ascending symbol order) and its children's values (in child-list order,
// newest child first). Scanning the leaves in context order meets every node
// after its children, and siblings were created in the order of their first
// positions, so one scan takes every decision exactly as the selector over
// the whole trie does, without that trie. The expansion keeps every node whose
// proper ancestors are all split, so the same scan keeps a node's descendants
// exactly when it splits, and what stays with the root is the selected tree.

#include "fit/select_tree.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <vector>

#include "representation/context_scan.hpp"
#include "selection/bct.hpp"
#include "selection/bic.hpp"

namespace ostrel::detail {

namespace {

// The two rules behind one interface: leaf value, start of the children's
// total, and the decision.
struct BctScorer {
  bct::Rule rule;
  double leaf(Count count, std::span<const SymbolCount> outcomes) {
    return rule.estimate(count, outcomes);
  }
  double base() const { return rule.split_base(); }
  NodeDecision decide(double leaf, std::size_t depth, double total, std::size_t children) const {
    return rule.decide(leaf, depth, total, children);
  }
};

struct BicScorer {
  bic::Rule rule;
  double leaf(Count count, std::span<const SymbolCount> outcomes) const {
    return rule.leaf_score(count, outcomes);
  }
  double base() const { return 0.0; }
  NodeDecision decide(double leaf, std::size_t depth, double total, std::size_t children) const {
    return rule.decide(leaf, depth, total, children);
  }
};

// Decides every node bottom-up and keeps, in postorder, the nodes that the
// expansion will keep: a node's children stay with it exactly when it is
// split, so when a node is not split its descendants are dropped, and what
// stays with the root is the selected tree.
template <class Position, class Scorer>
class Retention {
 public:
  struct Value {
    double value;         // the selector's value of the node's subtree
    std::uint32_t begin;  // where the node's kept subtree begins among `kept`
  };
  using Run = typename RunStack<Position>::Run;

  explicit Retention(Scorer& scorer) : scorer_(scorer) {}

  Arena<KeptNode<Position>> kept;
  Arena<KeptRecord<Position>> records;

  [[gnu::always_inline]] Value node(std::size_t, std::size_t depth, const Run& run,
                                    std::span<const SymbolCount> outcomes,
                                    std::span<const Position> firsts,
                                    std::span<const ChildValue<Position, Value>> children) {
    double total = scorer_.base();
    for (const auto& child : children) total = total + child.value.value;
    const NodeDecision decision =
        scorer_.decide(scorer_.leaf(run.count, outcomes), depth, total, children.size());
    auto begin = static_cast<std::uint32_t>(kept.size());
    for (const auto& child : children) begin = std::min(begin, child.value.begin);
    if (!decision.split) drop_from(begin);
    const std::uint32_t at = static_cast<std::uint32_t>(kept.size());
    add(depth, run, decision.split);
    for (std::size_t r = 0; r < outcomes.size(); ++r) {
      records.push_back(KeptRecord<Position>{firsts[r], outcomes[r].count, outcomes[r].symbol});
    }
    kept.back().records_end = static_cast<std::uint32_t>(records.size());
    return {decision.value, std::min(begin, at)};
  }

  // A chain's decisions depend only on its leaf value and the depths, so they
  // are worked out once per leaf value (bit for bit), from the deepest up.
  Value chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome,
              Position first) {
    const double leaf = scorer_.leaf(run.count, std::span<const SymbolCount>(&outcome, 1));
    if (chain_value_.size() != levels || std::bit_cast<std::uint64_t>(leaf) != chain_leaf_) {
      chain_leaf_ = std::bit_cast<std::uint64_t>(leaf);
      chain_value_.assign(levels, 0.0);
      chain_split_.assign(levels, 0);
      chain_from_ = levels;
    }
    for (; chain_from_ > top; --chain_from_) {
      const std::size_t d = chain_from_ - 1;
      const NodeDecision decision =
          d + 1 == levels ? scorer_.decide(leaf, d, scorer_.base(), 0)
                          : scorer_.decide(leaf, d, scorer_.base() + chain_value_[d + 1], 1);
      chain_value_[d] = decision.value;
      chain_split_[d] = decision.split;
    }
    // The top node stays, and each node below it while the one above splits.
    std::size_t bottom = top;
    while (chain_split_[bottom] != 0) ++bottom;
    const auto begin = static_cast<std::uint32_t>(kept.size());
    for (std::size_t d = bottom + 1; d-- > top;) {
      add(d, run, chain_split_[d] != 0);
      records.push_back(KeptRecord<Position>{first, outcome.count, outcome.symbol});
      kept.back().records_end = static_cast<std::uint32_t>(records.size());
    }
    return {chain_value_[top], begin};
  }

 private:
  void add(std::size_t depth, const Run& run, bool split) {
    if (kept.size() >= MAX_RECORDS) throw CapacityExhausted{};
    // The symbol is read once the scan is over, for the nodes that stay.
    const auto r = static_cast<std::uint32_t>(records.size());
    kept.push_back(KeptNode<Position>{run.first, run.start, run.count, NO_SYMBOL, NOT_KEPT, r, r,
                                      static_cast<Depth>(depth), split});
  }
  void drop_from(std::uint32_t begin) {
    if (begin >= kept.size()) return;
    records.shrink(kept[begin].records_begin);
    kept.shrink(begin);
  }

  Scorer& scorer_;
  std::uint64_t chain_leaf_ = 0;
  std::size_t chain_from_ = 0;
  std::vector<double> chain_value_;
  std::vector<std::uint8_t> chain_split_;
};

// Out of line, so that each scorer's scan is inlined into a function of its
// own rather than both into one.
template <class Position, class Scorer>
[[gnu::noinline]] SelectedTree<Position> select_with(const Leaves<Position>& leaves,
                                                     const SymbolCodes& codes,
                                                     const ContextReader& context,
                                                     std::size_t depth, Scorer& scorer) {
  Retention<Position, Scorer> retention(scorer);
  if (leaves.size() == 0) {
    // Only the root, without data.
    const NodeDecision root = scorer.decide(scorer.leaf(0, {}), 0, scorer.base(), 0);
    retention.kept.push_back(KeptNode<Position>{0, 0, 0, NO_SYMBOL, NOT_KEPT, 0, 0, 0, root.split});
  } else {
    scan_bottom_up(leaves, codes, depth + 1, retention);
  }
  SelectedTree<Position> tree;
  tree.nodes = std::move(retention.kept);
  tree.records = std::move(retention.records);
  auto& kept = tree.nodes;
  // A node's symbol is the one its context ends with.
  for (std::size_t v = 0; v < kept.size(); ++v) {
    if (kept[v].depth > 0) kept[v].symbol = context(kept[v].start, kept[v].depth);
  }
  // Parents, from the postorder: a node's children are the nodes one level
  // deeper that precede it and have no parent yet. The root comes last.
  std::vector<std::uint32_t> open;
  for (std::uint32_t v = 0; v < kept.size(); ++v) {
    while (!open.empty() && kept[open.back()].depth == kept[v].depth + 1) {
      kept[open.back()].parent = v;
      open.pop_back();
    }
    open.push_back(v);
  }
  return tree;
}

}  // namespace

template <class Position>
SelectedTree<Position> select_tree(const Leaves<Position>& leaves, const SymbolCodes& codes,
                                   const ContextReader& context, Count sample_size,
                                   const FitConfig& config) {
  const std::size_t depth = config.max_depth;
  SelectedTree<Position> tree;
  if (config.method == SelectionMethod::Bct) {
    BctScorer scorer{bct::Rule(config.alphabet_size, depth, config.beta)};
    // Every beta the configuration accepts leaves subtrees without data whole.
    const auto& depth_split = scorer.rule.depth_split();
    if (std::find(depth_split.begin(), depth_split.end(), 1) != depth_split.end()) {
      throw InternalFault("bct would split a subtree without data");
    }
    tree = select_with(leaves, codes, context, depth, scorer);
  } else if (config.method == SelectionMethod::Bic) {
    BicScorer scorer{bic::Rule(config.alphabet_size, depth, sample_size, config.penalty)};
    tree = select_with(leaves, codes, context, depth, scorer);
  } else {
    throw InternalFault("select_tree serves bct and bic only");
  }
  tree.alphabet_size = config.alphabet_size;
  tree.depth = depth;
  tree.sample_size = sample_size;
  return tree;
}

template SelectedTree<std::uint32_t> select_tree(const Leaves<std::uint32_t>&, const SymbolCodes&,
                                                 const ContextReader&, Count, const FitConfig&);
template SelectedTree<std::uint64_t> select_tree(const Leaves<std::uint64_t>&, const SymbolCodes&,
                                                 const ContextReader&, Count, const FitConfig&);

}  // namespace ostrel::detail
