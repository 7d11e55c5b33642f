#pragma once
// Fitting, as its phases in order: count the rows (or take counts gathered
// before), select the context tree, store it as the fitted trie. Each phase
// hands the next one whole representation:
//   rows --count--> leaves: distinct keys in context order (leaves.hpp)
//   leaves --select and store--> the fitted trie and its terminal flags
// Under bct and bic selection and storing run as one scan of the leaves that
// keeps only the selected tree (selection/selected_trie.hpp); peres_shield
// compares every shallow node with its ancestors, so it selects on the whole
// count trie of the depth its sample allows and compacts that. Either way
// the result is, record for record, the trie that counting position by
// position, selecting and compacting gives.

#include <expected>
#include <string>

#include "config.hpp"
#include "counts.hpp"
#include "rows.hpp"
#include "selection/selected_trie.hpp"

namespace ostrel {

using detail::FittedTrie;

// Positions that fitting will count: the sum over rows of (length - max_depth)
// for rows longer than max_depth, saturating at the largest count.
Count counted_positions(const Rows& rows, std::size_t max_depth);

// The depth to which fitting stores contexts: max_depth for bct and bic; for
// peres_shield floor(ln ln n) of the counted positions, at most max_depth.
std::size_t storage_depth_for(const FitConfig& config, const Rows& rows);

// Fails with the message of the first symbol, by row and position, that is
// outside the alphabet.
std::expected<FittedTrie, std::string> fit_rows(const Rows& rows, const FitConfig& config);

// Counts of the configuration's alphabet size and depth.
FittedTrie fit_counts(const Counts& counts, const FitConfig& config);

}  // namespace ostrel
