#pragma once
// Counting, the first phase of a fit.
// Takes: training rows whose symbols are all below the alphabet size.
// Hands on: the leaves of every position that follows `conditioning_depth`
// symbols of its own row, keyed by its `depth` preceding symbols (leaves.hpp):
// the distinct keys in context order, each with its count, the offset of its
// first position in the rows' flat symbol buffer, and the context symbols it
// shares with its predecessor; on request also the keys themselves, packed.
// Counting sorts the positions; it never walks a trie.

#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/types.hpp"
#include "representation/leaves.hpp"
#include "representation/rows.hpp"

namespace ostrel {

// Positions that fitting counts: the sum over rows of (length -
// conditioning_depth) for rows longer than that. It never overflows: it is at
// most the number of symbols the rows hold.
inline Count counted_positions(const Rows& rows, std::size_t conditioning_depth);

namespace detail {

// How the counted positions are brought into context order.
enum class SortStrategy : std::uint8_t {
  Automatic,  // the cheapest that applies
  Table,      // a directly addressed table of packed keys
  Buckets,    // packed keys split by their high bits, each part counted in a small table
  Packed,     // radix sort of packed (key, position) words
  Digits,     // radix sort over the symbols themselves; always applies
};

// Whether `strategy` can sort the keys of `rows` at `depth`: their packed
// width leaves room for it. Automatic and Digits always can.
bool strategy_applies(const Rows& rows, std::size_t depth, SortStrategy strategy);

// The leaves of `rows`. `Position` must reach every symbol of the rows
// (std::uint32_t or std::uint64_t; see with_offset_type). A strategy other
// than Automatic must apply (strategy_applies); one that does not is an
// internal fault. `keep_keys` keeps the packed keys where the strategy packs
// them (not Digits).
template <class Position>
Leaves<Position> sorted_leaves(const Rows& rows, std::size_t conditioning_depth, std::size_t depth,
                               SortStrategy strategy, bool keep_keys = false);

// Calls f(lo, hi) with the offsets [lo, hi) of the counted positions of every
// row that has some, in row order.
template <class F>
void for_each_counted(const Rows& rows, std::size_t conditioning_depth, F&& f) {
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t length = rows.row_length(r);
    if (length > conditioning_depth) {
      f(rows.row_begin(r) + conditioning_depth, rows.row_begin(r) + length);
    }
  }
}

// Calls f with a value of the narrowest offset type (std::uint32_t or
// std::uint64_t) that reaches every symbol of `rows`.
template <class F>
decltype(auto) with_offset_type(const Rows& rows, F&& f) {
  if (rows.symbol_count() < std::numeric_limits<std::uint32_t>::max()) return f(std::uint32_t{});
  return f(std::uint64_t{});
}

}  // namespace detail

inline Count counted_positions(const Rows& rows, std::size_t conditioning_depth) {
  Count n = 0;
  detail::for_each_counted(rows, conditioning_depth,
                           [&](std::size_t lo, std::size_t hi) { n += hi - lo; });
  return n;
}

}  // namespace ostrel
