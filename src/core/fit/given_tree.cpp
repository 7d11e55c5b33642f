// Keeping the nodes of a given tree from one bottom-up scan of the leaves,
// as select_tree keeps a selector's: a node of the count trie is a node of
// the given tree exactly when its depth is at most that of the tree's leaf
// that its keys' contexts end in, and it splits when it lies above that leaf.
// The scan meets nodes in postorder, so the nodes kept are the tree's nodes
// with data in the postorder the store phase takes.

#include "fit/given_tree.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "fit/count.hpp"
#include "representation/context_scan.hpp"

namespace ostrel {

namespace {

using detail::KeptNode;
using detail::KeptRecord;
using detail::NOT_KEPT;

template <class Position>
class GivenRetention {
 public:
  using Value = char;  // the tree is given: nothing is valued
  using Run = typename detail::RunStack<Position>::Run;

  // `bottom[i]`: the depth of the tree's leaf that leaf i's context ends in.
  explicit GivenRetention(std::span<const Depth> bottom) : bottom_(bottom) {}

  Arena<KeptNode<Position>> kept;
  Arena<KeptRecord<Position>> records;

  Value node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
             std::span<const Position> firsts,
             std::span<const detail::ChildValue<Position, Value>>) {
    const std::size_t bottom = bottom_[static_cast<std::size_t>(run.start)];
    if (depth <= bottom) add(depth, depth < bottom, run, outcomes, firsts);
    return 0;
  }

  // The nodes of one leaf alone, from depth levels - 1 up to `top`: those
  // node() keeps, in the same order.
  Value chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome,
              Position first) {
    const std::size_t bottom = bottom_[static_cast<std::size_t>(run.start)];
    for (std::size_t d = std::min(bottom, levels - 1) + 1; d-- > top;) {
      add(d, d < bottom, run, std::span<const SymbolCount>(&outcome, 1),
          std::span<const Position>(&first, 1));
    }
    return 0;
  }

 private:
  void add(std::size_t depth, bool split, const Run& run, std::span<const SymbolCount> outcomes,
           std::span<const Position> firsts) {
    if (kept.size() >= MAX_RECORDS) throw CapacityExhausted{};
    const auto r = static_cast<std::uint32_t>(records.size());
    kept.push_back(KeptNode<Position>{run.first, run.start, run.count, NO_SYMBOL, NOT_KEPT, r, r,
                                      static_cast<Depth>(depth), split});
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      records.push_back(KeptRecord<Position>{firsts[i], outcomes[i].count, outcomes[i].symbol});
    }
    kept.back().records_end = static_cast<std::uint32_t>(records.size());
  }

  std::span<const Depth> bottom_;
};

template <class Position, class Keys>
detail::FittedTrie keep_and_store(const Keys& keys, const detail::Leaves<Position>& leaves,
                                  Count sample_size, const ContextTree& given,
                                  const FitConfig& config) {
  const std::size_t n = leaves.size();
  // The tree's leaf of every key's context.
  std::vector<std::uint32_t> leaf(n);
  std::vector<Depth> bottom(n);
  {
    LeafWalk walk(given);
    for (std::size_t i = 0; i < n; ++i) {
      leaf[i] = static_cast<std::uint32_t>(
          walk.next(leaves.shared[i], [&](std::size_t d) { return keys.context(i, d); }));
      bottom[i] = static_cast<Depth>(given.leaf_depth(leaf[i]));
    }
  }
  GivenRetention<Position> retention{std::span<const Depth>(bottom)};
  if (n == 0) {
    retention.kept.push_back(
        KeptNode<Position>{0, 0, 0, NO_SYMBOL, NOT_KEPT, 0, 0, 0, !given.root_is_leaf()});
  } else {
    const detail::SymbolCodes codes(keys, n);
    detail::scan_bottom_up(leaves, codes, config.max_depth + 1, retention);
  }
  detail::SelectedTree<Position> tree;
  tree.alphabet_size = config.alphabet_size;
  tree.depth = config.max_depth;
  tree.sample_size = sample_size;
  tree.nodes = std::move(retention.kept);
  tree.records = std::move(retention.records);
  auto& kept = tree.nodes;
  detail::GivenSplits splits{&given, std::vector<std::size_t>(kept.size(), 0)};
  for (std::size_t v = 0; v < kept.size(); ++v) {
    const auto start = static_cast<std::size_t>(kept[v].start);
    if (kept[v].depth > 0) kept[v].symbol = keys.context(start, kept[v].depth);
    if (kept[v].split) splits.inner[v] = n == 0 ? 0 : given.ancestor(leaf[start], kept[v].depth);
  }
  // Parents from the postorder, the root last (as select_tree finds them).
  std::vector<std::uint32_t> open;
  for (std::uint32_t v = 0; v < kept.size(); ++v) {
    while (!open.empty() && kept[open.back()].depth == kept[v].depth + 1) {
      kept[open.back()].parent = v;
      open.pop_back();
    }
    open.push_back(v);
  }
  return detail::store(tree, &splits);
}

}  // namespace

std::expected<detail::FittedTrie, std::string> fit_given_rows(const Rows& rows,
                                                              const ContextTree& tree,
                                                              const FitConfig& config) {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  const std::size_t depth = config.max_depth;
  return detail::with_offset_type(rows, [&](auto offset) -> detail::FittedTrie {
    using Position = decltype(offset);
    const auto leaves =
        detail::sorted_leaves<Position>(rows, depth, depth, detail::SortStrategy::Automatic);
    return rows.visit([&](auto symbols) {
      return keep_and_store(detail::RowKeys{symbols, std::span<const Position>(leaves.first)},
                            leaves, counted_positions(rows, depth), tree, config);
    });
  });
}

detail::FittedTrie fit_given_counts(const Counts& counts, const ContextTree& tree,
                                    const FitConfig& config) {
  if (counts.alphabet_size() != config.alphabet_size || counts.max_depth() != config.max_depth) {
    throw InternalFault("fit_given_counts: counts of another alphabet or depth");
  }
  const detail::KeyedLeaves& keyed = counts.keyed();
  return detail::with_front_keys(keyed, [&](const auto& keys) {
    return keep_and_store(keys, keyed.leaves, counts.sample_size(), tree, config);
  });
}

}  // namespace ostrel
