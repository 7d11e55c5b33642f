// The fitted trie of bct and bic, straight from the sorted leaves.
//
// Both selectors decide bottom-up: a node's value comes from its counts (in
// ascending symbol order) and its children's values (in child-list order,
// newest child first). Scanning the leaves in context order meets every node
// after its children, and siblings were created in the order of their first
// offsets, so one scan takes every decision exactly as the selector over the
// whole trie does, without that trie. A second scan collects the nodes that
// the expansion keeps: every node whose proper ancestors are all split.
// Compaction numbers them in creation order, that is by (first offset,
// depth), followed by the zero-count children that the expansion creates for
// the symbols a split node lacks, in the order it creates them; each list
// comes out reversed, so in creation order.

#include "selection/selected_trie.hpp"

#include <algorithm>
#include <span>

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

constexpr std::uint32_t NOT_KEPT = ~std::uint32_t{0};

// A node of the selected tree that counting created.
template <class Position>
struct KeptNode {
  Position first;  // first offset: with the depth, its place in creation order
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

// The split decision of every node, by preorder number in context order.
template <class Position, class Scorer>
std::vector<std::uint8_t> decide_every_node(const Leaves<Position>& leaves,
                                            const SymbolCodes& codes, std::size_t levels,
                                            Scorer& scorer) {
  std::vector<std::uint8_t> split;
  scan_bottom_up(
      leaves, codes, levels,
      [&](std::size_t preorder, std::size_t depth, const auto& run,
          std::span<const SymbolCount> outcomes, std::span<const ChildValue<Position>> children) {
        double total = scorer.base();
        for (const auto& child : children) total = total + child.value;
        const NodeDecision decision =
            scorer.decide(scorer.leaf(run.count, outcomes), depth, total, children.size());
        if (split.size() <= preorder) split.resize(preorder + 1, 0);
        split[preorder] = decision.split;
        return decision.value;
      });
  return split;
}

template <class Position, class T, class Scorer>
std::pair<CountTrie, std::vector<std::uint8_t>> select_from_leaves(
    std::span<const T> symbols, const Leaves<Position>& leaves, std::size_t alphabet_size,
    std::size_t depth, Count sample_size, Scorer& scorer) {
  const std::size_t levels = depth + 1;
  const SymbolCodes codes(symbols, leaves);

  std::vector<KeptNode<Position>> kept;
  std::vector<KeptRecord<Position>> records;
  if (leaves.size() == 0) {
    // Only the root, without data.
    const NodeDecision root = scorer.decide(scorer.leaf(0, {}), 0, scorer.base(), 0);
    kept.push_back(KeptNode<Position>{0, 0, NO_SYMBOL, NOT_KEPT, 0, 0, 0, root.split});
  } else {
    const std::vector<std::uint8_t> split = decide_every_node(leaves, codes, levels, scorer);
    // Collect the kept nodes with their records; the records of the others
    // are not tracked.
    std::vector<std::uint32_t> kept_at(levels, NOT_KEPT);
    std::vector<std::size_t> preorder(levels);
    std::size_t next = 0, records_before = 0;
    scan_context_order(
        leaves, codes, levels,
        [&](std::size_t, std::uint32_t code, const auto& entry) {
          records.push_back(KeptRecord<Position>{entry.first, entry.count, codes.symbol(code)});
        },
        [&](std::size_t d, const auto& run, Position) {
          if (kept_at[d] == NOT_KEPT) return;
          KeptNode<Position>& node = kept[kept_at[d]];
          node.first = run.first;
          node.count = run.count;
          node.symbol = d == 0 ? NO_SYMBOL : Symbol{symbols[leaves.first[run.start] - d]};
          node.records_begin = static_cast<std::uint32_t>(records_before);
          node.records_end = static_cast<std::uint32_t>(records.size());
          records_before = records.size();
        },
        [&](std::size_t d) {
          preorder[d] = next++;
          const bool is_kept =
              d == 0 || (kept_at[d - 1] != NOT_KEPT && split[preorder[d - 1]] != 0);
          kept_at[d] = NOT_KEPT;
          if (!is_kept) return;
          if (kept.size() >= MAX_RECORDS) throw CapacityExhausted{};
          kept_at[d] = static_cast<std::uint32_t>(kept.size());
          kept.push_back(KeptNode<Position>{0, 0, NO_SYMBOL, d == 0 ? NOT_KEPT : kept_at[d - 1], 0,
                                            0, static_cast<Depth>(d), split[preorder[d]] != 0});
        },
        [&](std::size_t d) { return kept_at[d] != NOT_KEPT; });
  }
  const std::size_t existing = kept.size();

  // Each kept node's children, in creation order (by first offset).
  std::vector<std::uint32_t> child_begin(existing + 1, 0), children(existing - 1);
  for (std::size_t v = 1; v < existing; ++v) ++child_begin[kept[v].parent + 1];
  for (std::size_t v = 0; v < existing; ++v) child_begin[v + 1] += child_begin[v];
  {
    std::vector<std::uint32_t> fill(child_begin.begin(), child_begin.end() - 1);
    for (std::size_t v = 1; v < existing; ++v) {
      children[fill[kept[v].parent]++] = static_cast<std::uint32_t>(v);
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
    std::vector<std::uint32_t> by_symbol, stack{0};
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
        std::span(records).subspan(node.records_begin, node.records_end - node.records_begin);
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
                        v == 0 ? NO_INDEX : number[node.parent],
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

}  // namespace

template <class Position>
std::optional<std::pair<CountTrie, std::vector<std::uint8_t>>> selected_trie(
    const Rows& rows, const FitConfig& config, SortStrategy strategy) {
  const std::size_t depth = config.max_depth;
  const Count sample_size = counted_positions(rows, depth);
  const Leaves<Position> leaves = sorted_leaves<Position>(rows, depth, depth, strategy);
  return rows.visit([&](auto symbols)
                        -> std::optional<std::pair<CountTrie, std::vector<std::uint8_t>>> {
    if (config.method == SelectionMethod::Bct) {
      BctScorer scorer{bct::Rule(config.alphabet_size, depth, config.beta)};
      const auto& depth_split = scorer.rule.depth_split();
      if (std::find(depth_split.begin(), depth_split.end(), 1) != depth_split.end()) {
        return std::nullopt;
      }
      return select_from_leaves(symbols, leaves, config.alphabet_size, depth, sample_size, scorer);
    }
    if (config.method == SelectionMethod::Bic) {
      BicScorer scorer{bic::Rule(config.alphabet_size, depth, sample_size, config.penalty)};
      return select_from_leaves(symbols, leaves, config.alphabet_size, depth, sample_size, scorer);
    }
    return std::nullopt;
  });
}

template std::optional<std::pair<CountTrie, std::vector<std::uint8_t>>>
selected_trie<std::uint32_t>(const Rows&, const FitConfig&, SortStrategy);
template std::optional<std::pair<CountTrie, std::vector<std::uint8_t>>>
selected_trie<std::uint64_t>(const Rows&, const FitConfig&, SortStrategy);

}  // namespace ostrel::detail
