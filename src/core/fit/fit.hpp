#pragma once
// Fitting, as its phases in order, each handing the next one whole
// representation:
//   convert (the binding): the caller's objects -> rows (rows.hpp)
//   count (count.hpp):      rows -> leaves, the distinct keys in context order
//                           (or the keys that counts gathered, counts.hpp)
//   select (select_tree.hpp): leaves -> the tree the selector keeps
//   store (store.hpp):      that tree -> the fitted trie and its terminal flags
// Under bct and bic, selecting is one scan of the leaves that never holds the
// whole count trie. peres_shield compares every shallow node with its
// ancestors, so it counts into the whole trie of the depth its sample allows
// (assemble.hpp), selects on it and compacts it. Either way the result is,
// record for record, the trie that counting position by position, selecting
// and compacting gives.

#include <expected>
#include <string>

#include "config/config.hpp"
#include "counts/counts.hpp"
#include "fit/count.hpp"
#include "fit/store.hpp"
#include "representation/rows.hpp"

namespace ostrel {

using detail::FittedTrie;

// The depth to which fitting stores contexts, given the number of counted
// positions: max_depth for bct and bic; for peres_shield floor(ln ln n) of
// them, at most max_depth.
std::size_t storage_depth_for(const FitConfig& config, Count positions);

// Fails with the message of the first symbol, by row and position, that is
// outside the alphabet.
std::expected<FittedTrie, std::string> fit_rows(const Rows& rows, const FitConfig& config);

// Counts of the configuration's alphabet size and depth.
FittedTrie fit_counts(const Counts& counts, const FitConfig& config);

namespace detail {

// fit_rows under bct or bic, counting with `strategy` and offsets of type
// `Position`; every symbol must be below the alphabet size.
template <class Position>
FittedTrie fit_by_selection(const Rows& rows, const FitConfig& config, SortStrategy strategy);

}  // namespace detail

}  // namespace ostrel
