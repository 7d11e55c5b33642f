#pragma once
// Counts read by context: every context of one length that some counted
// position has, with how often each symbol followed it, and the walk over the
// counts' keys that meets those contexts one after the other. The keys are
// in context order (most recent symbol first, see leaves.hpp), so the keys of
// one context of d symbols are a run: a new run starts at every key that
// shares fewer than d context symbols with the one before it.

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "base/types.hpp"
#include "counts/counts.hpp"
#include "representation/leaves.hpp"

namespace ostrel {

// k contexts of `depth` symbols, in the order of the model's context list
// (from the oldest symbol on, the smaller first), row by row.
struct ContextCounts {
  std::size_t depth = 0;
  std::size_t alphabet_size = 0;
  std::size_t contexts = 0;     // k
  std::vector<Symbol> symbols;  // k x depth, each context oldest symbol first
  std::vector<Count> counts;    // k x alphabet_size: how often each symbol followed
};

// Counts of contexts over symbols only (not made from their rows' start).
// Fails, naming `depth`, when depth is above the counts' max_depth; throws
// std::bad_alloc when the k x alphabet_size table cannot be held.
std::expected<ContextCounts, std::string> context_counts(const Counts& counts, std::size_t depth);

// The message for a depth beyond the counts' keys.
std::string depth_above_max_depth(std::size_t depth, std::size_t max_depth);

namespace detail {

// Calls f(begin, end, recent) for every run of the keys of `keyed` that
// share their first `depth` context symbols, in context order; `recent`
// holds those symbols, most recent first. `keys` reads the keys (FrontKeys).
template <class Keys, class F>
void for_each_context(const KeyedLeaves& keyed, const Keys& keys, std::size_t depth, F&& f) {
  const std::size_t n = keyed.size();
  std::vector<Symbol> recent(depth);
  std::size_t begin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t shared = keyed.leaves.shared[i];
    if (i != 0 && shared >= depth) continue;
    if (i != 0) f(begin, i, std::span<const Symbol>(recent));
    begin = i;
    // A key stores the context symbols beyond those it shares.
    for (std::size_t d = i == 0 ? 1 : shared + 1; d <= depth; ++d)
      recent[d - 1] = keys.context(i, d);
  }
  if (n != 0) f(begin, n, std::span<const Symbol>(recent));
}

}  // namespace detail

}  // namespace ostrel
