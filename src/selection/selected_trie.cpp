// The fitted trie of bct and bic, straight from the sorted leaves.
//
// Both selectors decide bottom-up: a node's value comes from its counts (in
// ascending symbol order) and its children's values (in child-list order,
// newest child first). Scanning the leaves in context order meets every node
// after its children, and siblings were created in the order of their first
// offsets, so one scan takes every decision exactly as the selector over the
// whole trie does, without that trie. The expansion keeps every node whose
// proper ancestors are all split, so the same scan keeps a node's descendants
// exactly when it splits, and what stays with the root is the selected tree.
// Compaction numbers its nodes in creation order, that is by (first offset,
// depth), followed by the zero-count children that the expansion creates for
// the symbols a split node lacks, in the order it creates them; each list
// comes out reversed, so in creation order.

#include "selection/selected_trie.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <span>

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "util/arena.hpp"

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

constexpr std::uint32_t NOT_KEPT = ~std::uint32_t{0};

// A node that the expansion may keep, as the bottom-up scan leaves it.
template <class Position>
struct KeptNode {
  Position first;  // first position: with the depth, its place in creation order
  Position start;  // the first leaf of its run, which spells its symbol
  Count count;
  Symbol symbol;
  std::uint32_t parent;  // index among the kept nodes; NOT_KEPT for the root
  std::uint32_t records_begin, records_end;
  Depth depth;
  bool split;
};

template <class Position>
struct KeptRecord {
  Position first;
  Count count;
  Symbol symbol;
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

  Value node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
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

template <class Position, class Keys, class Scorer>
FittedTrie select_from_leaves(const Keys& keys, const Leaves<Position>& leaves,
                              std::size_t alphabet_size, std::size_t depth, Count sample_size,
                              Scorer& scorer) {
  const std::size_t levels = depth + 1;
  Retention<Position, Scorer> retention(scorer);
  if (leaves.size() == 0) {
    // Only the root, without data.
    const NodeDecision root = scorer.decide(scorer.leaf(0, {}), 0, scorer.base(), 0);
    retention.kept.push_back(KeptNode<Position>{0, 0, 0, NO_SYMBOL, NOT_KEPT, 0, 0, 0, root.split});
  } else {
    scan_bottom_up(leaves, SymbolCodes(keys, leaves.size()), levels, retention);
  }
  Arena<KeptNode<Position>>& kept = retention.kept;
  Arena<KeptRecord<Position>>& records = retention.records;
  // A node's symbol is the one its context ends with.
  for (std::size_t v = 0; v < kept.size(); ++v) {
    if (kept[v].depth > 0) kept[v].symbol = keys.context(kept[v].start, kept[v].depth);
  }
  // Parents, from the postorder: a node's children are the nodes one level
  // deeper that precede it and have no parent yet. The root comes last.
  {
    std::vector<std::uint32_t> open;
    for (std::uint32_t v = 0; v < kept.size(); ++v) {
      while (!open.empty() && kept[open.back()].depth == kept[v].depth + 1) {
        kept[open.back()].parent = v;
        open.pop_back();
      }
      open.push_back(v);
    }
  }
  const std::uint32_t root = static_cast<std::uint32_t>(kept.size() - 1);
  const std::size_t existing = kept.size();

  // Each kept node's children, in creation order (by first offset).
  std::vector<std::uint32_t> child_begin(existing + 1, 0), children(existing - 1);
  for (std::size_t v = 0; v < existing; ++v) {
    if (v != root) ++child_begin[kept[v].parent + 1];
  }
  for (std::size_t v = 0; v < existing; ++v) child_begin[v + 1] += child_begin[v];
  {
    std::vector<std::uint32_t> fill(child_begin.begin(), child_begin.end() - 1);
    for (std::size_t v = 0; v < existing; ++v) {
      if (v != root) children[fill[kept[v].parent]++] = static_cast<std::uint32_t>(v);
    }
  }
  auto children_of = [&](std::size_t v) {
    return std::span(children).subspan(child_begin[v], child_begin[v + 1] - child_begin[v]);
  };
  for (std::size_t v = 0; v < existing; ++v) {
    std::sort(children_of(v).begin(), children_of(v).end(),
              [&](std::uint32_t a, std::uint32_t b) { return kept[a].first < kept[b].first; });
  }

  // Numbering: the kept nodes that counting created, in creation order...
  std::vector<std::uint32_t> order(existing);
  for (std::size_t v = 0; v < existing; ++v) order[v] = static_cast<std::uint32_t>(v);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return kept[a].first != kept[b].first ? kept[a].first < kept[b].first
                                          : kept[a].depth < kept[b].depth;
  });
  std::vector<NodeIndex> number(existing);
  for (std::size_t r = 0; r < existing; ++r) number[order[r]] = static_cast<NodeIndex>(r);

  // ...then the children that the expansion creates: it pops nodes from a
  // stack, and a split node pushes its children in ascending symbol order,
  // creating the missing ones as it goes. Created nodes are leaves.
  struct Created {
    std::uint32_t parent;
    Symbol symbol;
  };
  std::vector<Created> created;
  std::vector<std::uint32_t> created_begin(existing, 0), created_end(existing, 0);
  {
    std::uint64_t total = existing;
    for (std::size_t v = 0; v < existing; ++v) {
      if (kept[v].split) total += alphabet_size - children_of(v).size();
      if (total > MAX_RECORDS) throw CapacityExhausted{};
    }
    created.reserve(static_cast<std::size_t>(total) - existing);
    std::vector<std::uint32_t> by_symbol, stack{root};
    while (!stack.empty()) {
      const std::uint32_t v = stack.back();
      stack.pop_back();
      if (!kept[v].split) continue;
      by_symbol.assign(children_of(v).begin(), children_of(v).end());
      std::sort(by_symbol.begin(), by_symbol.end(),
                [&](std::uint32_t a, std::uint32_t b) { return kept[a].symbol < kept[b].symbol; });
      created_begin[v] = static_cast<std::uint32_t>(created.size());
      std::size_t j = 0;
      for (Symbol s = 0; s < alphabet_size; ++s) {
        if (j < by_symbol.size() && kept[by_symbol[j]].symbol == s) {
          stack.push_back(by_symbol[j++]);
        } else {
          created.push_back(Created{v, s});
        }
      }
      created_end[v] = static_cast<std::uint32_t>(created.size());
    }
  }

  // The records, node by node in the new order; lists newest first.
  const std::size_t node_total = existing + created.size();
  std::vector<TrieNode> nodes(node_total);
  std::vector<ChildEdge> edges;
  edges.reserve(node_total - 1);
  std::vector<OutcomeCount> outcomes;
  outcomes.reserve(records.size());
  std::vector<std::uint8_t> terminal(node_total, 1);
  std::vector<std::pair<NodeIndex, Symbol>> list;
  for (std::size_t r = 0; r < existing; ++r) {
    const std::uint32_t v = order[r];
    const KeptNode<Position>& node = kept[v];
    // Compaction appends each list's records from its old head, the newest
    // first, so the new head is its oldest record.
    list.clear();
    if (node.split) {
      for (const std::uint32_t c : children_of(v)) list.emplace_back(number[c], kept[c].symbol);
      for (std::uint32_t c = created_begin[v]; c < created_end[v]; ++c) {
        list.emplace_back(static_cast<NodeIndex>(existing + c), created[c].symbol);
      }
      terminal[r] = 0;
    }
    EdgeIndex first_child = NO_INDEX;
    for (std::size_t i = list.size(); i-- > 0;) {
      edges.push_back(ChildEdge{list[i].second, list[i].first, first_child});
      first_child = static_cast<EdgeIndex>(edges.size() - 1);
    }
    const auto own =
        records.span().subspan(node.records_begin, node.records_end - node.records_begin);
    std::sort(own.begin(), own.end(),
              [](const KeptRecord<Position>& a, const KeptRecord<Position>& b) {
                return a.first < b.first;
              });
    OutcomeIndex first_outcome = NO_INDEX;
    for (std::size_t i = own.size(); i-- > 0;) {
      outcomes.push_back(OutcomeCount{own[i].count, own[i].symbol, first_outcome});
      first_outcome = static_cast<OutcomeIndex>(outcomes.size() - 1);
    }
    nodes[r] = TrieNode{node.count,
                        node.symbol,
                        v == root ? NO_INDEX : number[node.parent],
                        first_child,
                        first_outcome,
                        node.depth,
                        0};
  }
  for (std::size_t c = 0; c < created.size(); ++c) {
    const KeptNode<Position>& parent = kept[created[c].parent];
    nodes[existing + c] =
        TrieNode{0,        created[c].symbol, number[created[c].parent],
                 NO_INDEX, NO_INDEX,          static_cast<Depth>(parent.depth + 1),
                 0};
  }
  return {TrieAssembly::adopt(alphabet_size, depth, sample_size, std::move(nodes), std::move(edges),
                              std::move(outcomes)),
          std::move(terminal)};
}

template <class Position, class Keys>
FittedTrie select_tree(const Keys& keys, const Leaves<Position>& leaves, Count sample_size,
                       const FitConfig& config) {
  const std::size_t depth = config.max_depth;
  if (config.method == SelectionMethod::Bct) {
    BctScorer scorer{bct::Rule(config.alphabet_size, depth, config.beta)};
    // Every beta the configuration accepts leaves subtrees without data whole.
    const auto& depth_split = scorer.rule.depth_split();
    if (std::find(depth_split.begin(), depth_split.end(), 1) != depth_split.end()) {
      throw InternalFault("bct would split a subtree without data");
    }
    return select_from_leaves(keys, leaves, config.alphabet_size, depth, sample_size, scorer);
  }
  if (config.method == SelectionMethod::Bic) {
    BicScorer scorer{bic::Rule(config.alphabet_size, depth, sample_size, config.penalty)};
    return select_from_leaves(keys, leaves, config.alphabet_size, depth, sample_size, scorer);
  }
  throw InternalFault("the fused selection serves bct and bic only");
}

}  // namespace

template <class Position>
FittedTrie selected_trie(const Rows& rows, const FitConfig& config, SortStrategy strategy) {
  const std::size_t depth = config.max_depth;
  const Leaves<Position> leaves = sorted_leaves<Position>(rows, depth, depth, strategy);
  return rows.visit([&](auto symbols) {
    return select_tree(RowKeys{symbols, std::span<const Position>(leaves.first)}, leaves,
                       counted_positions(rows, depth), config);
  });
}

FittedTrie selected_trie(const KeyedLeaves& keyed, Count sample_size, const FitConfig& config) {
  if (keyed.depth != config.max_depth) throw InternalFault("counts of another depth");
  const std::vector<std::size_t> begin = suffix_starts(keyed);
  return keyed.suffixes.visit([&](auto suffixes) {
    const FrontKeys keys{suffixes, std::span<const Depth>(keyed.leaves.shared),
                         std::span<const std::size_t>(begin)};
    return select_tree(keys, keyed.leaves, sample_size, config);
  });
}

template FittedTrie selected_trie<std::uint32_t>(const Rows&, const FitConfig&, SortStrategy);
template FittedTrie selected_trie<std::uint64_t>(const Rows&, const FitConfig&, SortStrategy);

}  // namespace ostrel::detail
