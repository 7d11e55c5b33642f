// The fit, phase after phase.

#include "fit.hpp"

#include <algorithm>
#include <utility>

#include "context_scan.hpp"
#include "selection/peres_shield.hpp"
#include "selection/selection.hpp"
#include "trie.hpp"
#include "trie_build.hpp"

namespace ostrel {

namespace {

// peres_shield on the whole count trie, then compaction to its tree.
FittedTrie select_peres_shield(CountTrie trie) {
  TreeMask mask = peres_shield::select(trie);
  return compact(std::move(trie), mask.kept, mask.terminal);
}

}  // namespace

Count counted_positions(const Rows& rows, std::size_t max_depth) {
  // The sum never reaches the largest count, where it would stick: it is at
  // most the number of symbols the rows hold.
  return detail::counted_positions(rows, max_depth);
}

std::size_t storage_depth_for(const FitConfig& config, const Rows& rows) {
  if (config.method != SelectionMethod::PeresShield) return config.max_depth;
  return std::min(config.max_depth,
                  peres_shield::log_log_depth(counted_positions(rows, config.max_depth)));
}

std::expected<FittedTrie, std::string> fit_rows(const Rows& rows, const FitConfig& config) {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return detail::with_offset_type(rows, [&](auto offset) -> FittedTrie {
    using Position = decltype(offset);
    if (config.method != SelectionMethod::PeresShield) {
      return detail::selected_trie<Position>(rows, config);
    }
    return select_peres_shield(detail::count_by_sorting<Position>(
        rows, config.alphabet_size, config.max_depth, storage_depth_for(config, rows)));
  });
}

FittedTrie fit_counts(const Counts& counts, const FitConfig& config) {
  if (counts.alphabet_size() != config.alphabet_size || counts.max_depth() != config.max_depth) {
    throw InternalFault("fit_counts: counts of another alphabet or depth");
  }
  const detail::KeyedLeaves& keyed = counts.keyed();
  if (config.method != SelectionMethod::PeresShield) {
    return detail::selected_trie(keyed, counts.sample_size(), config);
  }
  const std::size_t depth =
      std::min(config.max_depth, peres_shield::log_log_depth(counts.sample_size()));
  CountTrie trie = depth == keyed.depth
                       ? detail::whole_trie(keyed, config.alphabet_size, counts.sample_size())
                       : detail::whole_trie(detail::truncated(keyed, depth), config.alphabet_size,
                                            counts.sample_size());
  return select_peres_shield(std::move(trie));
}

}  // namespace ostrel
