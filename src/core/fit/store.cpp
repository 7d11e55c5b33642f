// Numbering and writing the selected tree: the kept nodes in creation order,
// then the children that the expansion creates, every list in creation order.

#include "fit/store.hpp"

#include <algorithm>
#include <span>

#include "representation/trie_writer.hpp"

namespace ostrel::detail {

template <class Position>
FittedTrie store(SelectedTree<Position>& tree, const GivenSplits* given) {
  auto& kept = tree.nodes;
  auto& records = tree.records;
  const std::size_t alphabet_size = tree.alphabet_size;
  const auto root = static_cast<std::uint32_t>(kept.size() - 1);
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
  // creating the missing ones as it goes. Created nodes are leaves unless the
  // given tree splits them; a created node that splits has only created
  // children, made when it is popped.
  constexpr std::size_t LEAF = ~std::size_t{0};
  struct Created {
    std::uint32_t parent;  // a kept node, or with `created_parent` a created one
    bool created_parent;
    Symbol symbol;
    std::size_t inner;                 // the given tree's inner node when it splits, else LEAF
    std::uint32_t begin = 0, end = 0;  // its children among `created`
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
    // The given tree's decision for the child for `s` of its inner node `v`.
    auto given_child = [&](std::size_t v, Symbol s) -> std::size_t {
      if (given == nullptr) return LEAF;
      const std::uint64_t entry = given->tree->child(v, s);
      return (entry & ContextTree::LEAF) != 0 ? LEAF : static_cast<std::size_t>(entry);
    };
    auto create = [&](std::uint32_t parent, bool created_parent, Symbol s, std::size_t inner) {
      if (created.size() + existing >= MAX_RECORDS) throw CapacityExhausted{};
      created.push_back(Created{parent, created_parent, s, inner});
    };
    // Stack entries: a kept node, or (with the top bit) a created one.
    constexpr std::uint64_t CREATED = std::uint64_t{1} << 63;
    std::vector<std::uint32_t> by_symbol;
    std::vector<std::uint64_t> stack{root};
    while (!stack.empty()) {
      const std::uint64_t top = stack.back();
      stack.pop_back();
      if ((top & CREATED) != 0) {
        const auto c = static_cast<std::uint32_t>(top & ~CREATED);
        const std::size_t inner = created[c].inner;
        created[c].begin = static_cast<std::uint32_t>(created.size());
        for (Symbol s = 0; s < alphabet_size; ++s) {
          const std::size_t child = given_child(inner, s);
          create(c, true, s, child);
          if (child != LEAF) stack.push_back(CREATED | (created.size() - 1));
        }
        created[c].end = static_cast<std::uint32_t>(created.size());
        continue;
      }
      const auto v = static_cast<std::uint32_t>(top);
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
          const std::size_t child = given == nullptr ? LEAF : given_child(given->inner[v], s);
          create(v, false, s, child);
          if (child != LEAF) stack.push_back(CREATED | (created.size() - 1));
        }
      }
      created_end[v] = static_cast<std::uint32_t>(created.size());
    }
  }

  // The records, node by node in the new order. Compaction puts each old
  // record at the front of the new list as it walks the old one, newest first,
  // so records are written newest first and the lists read oldest first.
  const std::size_t node_total = existing + created.size();
  TrieWriter out(alphabet_size, tree.depth, tree.sample_size, node_total);
  out.reserve(node_total - 1, records.size());
  std::vector<std::uint8_t> terminal(node_total, 1);
  std::vector<std::pair<NodeIndex, Symbol>> list;  // a node's children, oldest first
  for (std::size_t r = 0; r < existing; ++r) {
    const std::uint32_t v = order[r];
    const KeptNode<Position>& node = kept[v];
    const auto n = static_cast<NodeIndex>(r);
    out.node(n, node.count, node.symbol, node.depth);
    list.clear();
    if (node.split) {
      for (const std::uint32_t c : children_of(v)) list.emplace_back(number[c], kept[c].symbol);
      for (std::uint32_t c = created_begin[v]; c < created_end[v]; ++c) {
        list.emplace_back(static_cast<NodeIndex>(existing + c), created[c].symbol);
      }
      terminal[r] = 0;
    }
    for (std::size_t i = list.size(); i-- > 0;) out.push_child(n, list[i].second, list[i].first);
    const auto own =
        records.span().subspan(node.records_begin, node.records_end - node.records_begin);
    std::sort(own.begin(), own.end(),
              [](const KeptRecord<Position>& a, const KeptRecord<Position>& b) {
                return a.first < b.first;
              });
    for (std::size_t i = own.size(); i-- > 0;) out.push_outcome(n, own[i].symbol, own[i].count);
    out.close(n, list.size(), own.size());
  }
  std::vector<Depth> created_depth(created.size());
  for (std::size_t c = 0; c < created.size(); ++c) {
    const Created& node = created[c];
    const std::size_t above =
        node.created_parent ? created_depth[node.parent] : kept[node.parent].depth;
    created_depth[c] = static_cast<Depth>(above + 1);
    const auto n = static_cast<NodeIndex>(existing + c);
    out.node(n, 0, node.symbol, created_depth[c]);
    if (node.inner == LEAF) continue;
    terminal[existing + c] = 0;
    for (std::uint32_t i = node.end; i-- > node.begin;) {
      out.push_child(n, created[i].symbol, static_cast<NodeIndex>(existing + i));
    }
    out.close(n, node.end - node.begin, 0);
  }
  return {std::move(out).finish(), std::move(terminal)};
}

template FittedTrie store(SelectedTree<std::uint32_t>&, const GivenSplits*);
template FittedTrie store(SelectedTree<std::uint64_t>&, const GivenSplits*);

}  // namespace ostrel::detail
