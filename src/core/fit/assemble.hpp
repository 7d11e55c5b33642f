#pragma once
// The whole count trie from leaves: every node and record that counting
// position after position creates, numbered and listed as it creates them.
// Fitting builds it under peres_shield, whose test compares every shallow
// node with its ancestors; the tests compare it with the trie that walking
// the positions builds.
//
// Each node and each record is created by its run's owner (see leaves.hpp).
// A position that creates the node of its path at depth d also creates the
// deeper ones (their contexts extend one never seen before), and likewise
// records; so each leaf owns one chain of nodes and one chain of records,
// each running from some depth down to the storage depth. Numbering the
// leaves by first position, each chain in depth order, numbers nodes and
// records exactly as counting does.

#include <cstddef>
#include <expected>
#include <string>

#include "fit/count.hpp"
#include "representation/leaves.hpp"
#include "representation/rows.hpp"
#include "representation/trie.hpp"

namespace ostrel::detail {

// The whole trie of the positions of `rows` that follow `conditioning_depth`
// symbols of their own row, to `storage_depth`. Every symbol must already be
// below `alphabet_size`, and storage_depth <= conditioning_depth. `Position`
// as for sorted_leaves.
template <class Position>
CountTrie count_by_sorting(const Rows& rows, std::size_t alphabet_size,
                           std::size_t conditioning_depth, std::size_t storage_depth,
                           SortStrategy strategy = SortStrategy::Automatic);

// The whole trie of counts' keys (of storage depth keyed.depth), whose
// positions number `sample_size`.
CountTrie whole_trie(const KeyedLeaves& keyed, std::size_t alphabet_size, Count sample_size);

}  // namespace ostrel::detail

namespace ostrel {

// Counts every position of every row that follows `conditioning_depth`
// symbols of its own row: once at the root and once at each node on the path
// of its `storage_depth` preceding symbols. Fails before counting anything
// when storage_depth > conditioning_depth or a symbol is out of range.
std::expected<CountTrie, std::string> from_rows_with_storage(const Rows& rows,
                                                             std::size_t alphabet_size,
                                                             std::size_t conditioning_depth,
                                                             std::size_t storage_depth);

}  // namespace ostrel
