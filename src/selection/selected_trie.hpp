#pragma once
// The fitted trie of the bct and bic selectors, computed from the sorted
// leaves of the rows without building the whole count trie: the compacted
// trie and terminal flags that counting, selecting and compacting give,
// record for record.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "config.hpp"
#include "context_scan.hpp"
#include "rows.hpp"
#include "trie.hpp"

namespace ostrel::detail {

// For `config.method` bct or bic, with storage and conditioning depth
// `config.max_depth`; every symbol of `rows` must be below the alphabet size.
// Empty when the selector would split nodes that have no data (never for a
// beta the configuration accepts), a case only the whole trie covers.
template <class Position>
std::optional<std::pair<CountTrie, std::vector<std::uint8_t>>> selected_trie(
    const Rows& rows, const FitConfig& config, SortStrategy strategy = SortStrategy::Automatic);

}  // namespace ostrel::detail
