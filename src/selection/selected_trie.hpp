#pragma once
// The fitted trie of the bct and bic selectors, computed from the sorted
// leaves of the rows without building the whole count trie: the compacted
// trie and terminal flags that counting, selecting and compacting give,
// record for record.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "config.hpp"
#include "context_scan.hpp"
#include "leaves.hpp"
#include "rows.hpp"
#include "trie.hpp"

namespace ostrel::detail {

// A fitted trie and its terminal flags.
using FittedTrie = std::pair<CountTrie, std::vector<std::uint8_t>>;

// For `config.method` bct or bic, with storage and conditioning depth
// `config.max_depth`; every symbol of `rows` must be below the alphabet size.
template <class Position>
FittedTrie selected_trie(const Rows& rows, const FitConfig& config,
                         SortStrategy strategy = SortStrategy::Automatic);

// The same from the keys of counts of depth `config.max_depth`, whose
// positions number `sample_size`.
FittedTrie selected_trie(const KeyedLeaves& keyed, Count sample_size, const FitConfig& config);

}  // namespace ostrel::detail
