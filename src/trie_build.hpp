#pragma once
// Counting training rows into a count trie by sorting instead of walking.
// The result is the trie that walking the building rules position by position
// gives, record for record: the same numbering, list order and counts.
// Exposed here so that the core tests can drive each sorting strategy and the
// wide position type directly.

#include <cstddef>
#include <cstdint>

#include "context_scan.hpp"
#include "leaves.hpp"
#include "rows.hpp"
#include "trie.hpp"

namespace ostrel::detail {

// Counts every position of `rows` that follows `conditioning_depth` symbols of
// its own row, at the root and at every node of its `storage_depth` preceding
// symbols. Every symbol must already be below `alphabet_size`, and
// storage_depth <= conditioning_depth. `Position` indexes the rows' symbols
// (std::uint32_t or std::uint64_t; it must reach every symbol). A strategy that
// does not apply to the input falls back to Digits.
template <class Position>
CountTrie count_by_sorting(const Rows& rows, std::size_t alphabet_size,
                           std::size_t conditioning_depth, std::size_t storage_depth,
                           SortStrategy strategy = SortStrategy::Automatic);

// The whole count trie of counts' keys (of storage depth keyed.depth), whose
// positions number `sample_size`.
CountTrie whole_trie(const KeyedLeaves& keyed, std::size_t alphabet_size, Count sample_size);

}  // namespace ostrel::detail
