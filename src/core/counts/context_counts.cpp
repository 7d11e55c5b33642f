// Reading counts by context: one walk over the keys, then the contexts put in
// the order of the model's context list.

#include "counts/context_counts.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>

namespace ostrel {

std::string depth_above_max_depth(std::size_t depth, std::size_t max_depth) {
  return "depth " + std::to_string(depth) + " is above the counts' max_depth " +
         std::to_string(max_depth);
}

std::expected<ContextCounts, std::string> context_counts(const Counts& counts, std::size_t depth) {
  if (counts.starts()) throw InternalFault("context_counts: counts from their rows' start");
  if (depth > counts.max_depth()) {
    return std::unexpected(depth_above_max_depth(depth, counts.max_depth()));
  }
  const detail::KeyedLeaves& keyed = counts.keyed();
  const std::size_t m = counts.alphabet_size();
  ContextCounts out;
  out.depth = depth;
  out.alphabet_size = m;
  // Each context's keys, and its symbols oldest first, in context order.
  std::vector<std::size_t> begin;
  std::vector<Symbol> symbols;
  detail::with_front_keys(keyed, [&](const auto& keys) {
    detail::for_each_context(keyed, keys, depth,
                             [&](std::size_t from, std::size_t, std::span<const Symbol> recent) {
                               begin.push_back(from);
                               symbols.insert(symbols.end(), recent.rbegin(), recent.rend());
                             });
    const std::size_t k = begin.size();
    begin.push_back(keyed.size());
    if (k != 0 && m > std::numeric_limits<std::size_t>::max() / sizeof(Count) / k) {
      throw std::bad_alloc();
    }
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto bits = static_cast<std::size_t>(std::bit_width(m - 1));
    const auto index_bits = static_cast<std::size_t>(std::bit_width(k));
    if (depth != 0 && depth * bits + index_bits <= 64) {
      // The symbols packed oldest highest above the context's index: one word
      // orders as the symbols do, and names the context.
      std::vector<std::uint64_t> words(k);
      for (std::size_t c = 0; c < k; ++c) {
        std::uint64_t word = 0;
        for (std::size_t q = 0; q < depth; ++q) word = (word << bits) | symbols[c * depth + q];
        words[c] = (word << index_bits) | c;
      }
      std::sort(words.begin(), words.end());
      const std::uint64_t mask = (std::uint64_t{1} << index_bits) - 1;
      for (std::size_t r = 0; r < k; ++r) order[r] = static_cast<std::size_t>(words[r] & mask);
    } else if (depth != 0) {
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto* x = symbols.data() + a * depth;
        const auto* y = symbols.data() + b * depth;
        return std::lexicographical_compare(x, x + depth, y, y + depth);
      });
    }
    out.contexts = k;
    out.counts.assign(k * m, 0);
    out.symbols.resize(k * depth);
    for (std::size_t r = 0; r < k; ++r) {
      const std::size_t c = order[r];
      std::copy_n(symbols.begin() + static_cast<std::ptrdiff_t>(c * depth), depth,
                  out.symbols.begin() + static_cast<std::ptrdiff_t>(r * depth));
      Count* row = out.counts.data() + r * m;
      for (std::size_t leaf = begin[c]; leaf < begin[c + 1]; ++leaf) {
        row[keys.own(leaf)] += keyed.leaves.count[leaf];
      }
    }
  });
  return out;
}

}  // namespace ostrel
