// The fit, phase after phase.

#include "fit/fit.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "fit/assemble.hpp"
#include "fit/compact.hpp"
#include "fit/select_tree.hpp"
#include "representation/trie.hpp"
#include "selection/peres_shield.hpp"

namespace ostrel {

namespace {

// Selecting under bct or bic from leaves whose keys `keys` reads, and storing.
template <class Position, class Keys>
FittedTrie select_and_store(const Keys& keys, const detail::Leaves<Position>& leaves,
                            Count sample_size, const FitConfig& config) {
  const detail::SymbolCodes codes(keys, leaves.size());
  auto context = [&](std::size_t leaf, std::size_t d) { return keys.context(leaf, d); };
  detail::SelectedTree<Position> tree =
      detail::select_tree(leaves, codes, context, sample_size, config);
  return detail::store(tree);
}

// peres_shield on the whole count trie, then compaction to its tree.
FittedTrie select_peres_shield(CountTrie trie) {
  TreeMask mask = peres_shield::select(trie);
  return compact(std::move(trie), mask.kept, mask.terminal);
}

}  // namespace

std::size_t storage_depth_for(const FitConfig& config, Count positions) {
  if (config.method != SelectionMethod::PeresShield) return config.max_depth;
  return std::min(config.max_depth, peres_shield::log_log_depth(positions));
}

namespace detail {

template <class Position>
FittedTrie fit_by_selection(const Rows& rows, const FitConfig& config, SortStrategy strategy) {
  const std::size_t depth = config.max_depth;
  const Leaves<Position> leaves = sorted_leaves<Position>(rows, depth, depth, strategy);
  return rows.visit([&](auto symbols) {
    return select_and_store(RowKeys{symbols, std::span<const Position>(leaves.first)}, leaves,
                            counted_positions(rows, depth), config);
  });
}

template FittedTrie fit_by_selection<std::uint32_t>(const Rows&, const FitConfig&, SortStrategy);
template FittedTrie fit_by_selection<std::uint64_t>(const Rows&, const FitConfig&, SortStrategy);

}  // namespace detail

std::expected<FittedTrie, std::string> fit_rows(const Rows& rows, const FitConfig& config) {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return detail::with_offset_type(rows, [&](auto offset) -> FittedTrie {
    using Position = decltype(offset);
    if (config.method == SelectionMethod::PeresShield) {
      return select_peres_shield(detail::count_by_sorting<Position>(
          rows, config.alphabet_size, config.max_depth,
          storage_depth_for(config, counted_positions(rows, config.max_depth))));
    }
    return detail::fit_by_selection<Position>(rows, config, detail::SortStrategy::Automatic);
  });
}

FittedTrie fit_counts(const Counts& counts, const FitConfig& config) {
  if (counts.alphabet_size() != config.alphabet_size || counts.max_depth() != config.max_depth) {
    throw InternalFault("fit_counts: counts of another alphabet or depth");
  }
  const detail::KeyedLeaves& keyed = counts.keyed();
  if (config.method == SelectionMethod::PeresShield) {
    const std::size_t depth = storage_depth_for(config, counts.sample_size());
    return select_peres_shield(
        depth == keyed.depth ? detail::whole_trie(keyed, config.alphabet_size, counts.sample_size())
                             : detail::whole_trie(detail::truncated(keyed, depth),
                                                  config.alphabet_size, counts.sample_size()));
  }
  return detail::with_front_keys(keyed, [&](const auto& keys) {
    return select_and_store(keys, keyed.leaves, counts.sample_size(), config);
  });
}

}  // namespace ostrel
