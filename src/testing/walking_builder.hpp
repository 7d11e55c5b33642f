#pragma once
// FOR TESTING ONLY: the count trie built by the rule as written, kept for tests
// to compare the sorting builder against.

#include <cstddef>
#include <expected>
#include <string>

#include "representation/rows.hpp"
#include "representation/trie.hpp"

namespace ostrel::oracle {

// One position after the other: each walks the path of its preceding symbols,
// creating what is missing, and counts its symbol at every node on it. Fails
// as from_rows_with_storage does, before counting anything.
std::expected<CountTrie, std::string> from_rows_by_walking(const Rows& rows,
                                                           std::size_t alphabet_size,
                                                           std::size_t conditioning_depth,
                                                           std::size_t storage_depth);

}  // namespace ostrel::oracle
