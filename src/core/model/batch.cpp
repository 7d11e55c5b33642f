// Each history walked to the node that answers it, and that node's answer
// written out; the distribution's entries are computed exactly as the model's
// distribution computes them, in the same operations.

#include "model/batch.hpp"

#include <algorithm>
#include <limits>

#include "model/context_lookup.hpp"

namespace ostrel {

namespace {

// n + A/2, the smoothed total of a node of count n over A symbols.
double smoothed_total(const CountTrie& trie, NodeIndex node) {
  return static_cast<double>(trie.node(node).count) +
         static_cast<double>(trie.alphabet_size()) * 0.5;
}

// Calls f(node) with the node that answers each history, in order.
template <class F>
void for_each_answer(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                     const Rows& histories, F&& f) {
  const ContextLookup lookup(trie, terminal, histories.size());
  histories.visit([&](auto symbols) {
    for (std::size_t r = 0; r < histories.size(); ++r) {
      f(lookup.walk(symbols.subspan(histories.row_begin(r), histories.row_length(r))).answer);
    }
  });
}

}  // namespace

std::vector<double> batch_distributions(const CountTrie& trie,
                                        std::span<const std::uint8_t> terminal,
                                        const Rows& histories) {
  const std::size_t alphabet_size = trie.alphabet_size();
  std::vector<double> out;
  out.reserve(histories.size() * alphabet_size);
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    const double total = smoothed_total(trie, node);
    const std::size_t row = out.size();
    out.insert(out.end(), alphabet_size, 0.5 / total);
    for (const OutcomeCount& outcome : trie.outcomes(node)) {
      out[row + outcome.symbol] = (static_cast<double>(outcome.count) + 0.5) / total;
    }
  });
  return out;
}

TopSymbols top_symbols(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                       const Rows& histories, std::size_t k) {
  const std::size_t columns = std::min(k, trie.alphabet_size());
  TopSymbols out{columns, {}, {}};
  out.symbols.reserve(histories.size() * columns);
  out.probabilities.reserve(histories.size() * columns);

  struct Entry {
    Symbol symbol;
    double probability;
  };
  std::vector<Entry> recorded;
  std::vector<Symbol> seen;
  // A node's answer, written at the end of `into`.
  auto answer = [&](NodeIndex node, std::vector<Entry>& into) {
    const double total = smoothed_total(trie, node);
    recorded.clear();
    for (const OutcomeCount& outcome : trie.outcomes(node)) {
      recorded.push_back(Entry{outcome.symbol, (static_cast<double>(outcome.count) + 0.5) / total});
    }
    const auto before = [](const Entry& a, const Entry& b) {
      return a.probability != b.probability ? a.probability > b.probability : a.symbol < b.symbol;
    };
    const std::size_t taken = std::min(columns, recorded.size());
    std::partial_sort(recorded.begin(), recorded.begin() + static_cast<std::ptrdiff_t>(taken),
                      recorded.end(), before);
    into.insert(into.end(), recorded.begin(),
                recorded.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken == columns) return;
    // Every symbol without a record has probability 0.5 / total, below every
    // recorded one: the smallest of them follow, in ascending order.
    seen.clear();
    for (const Entry& entry : recorded) seen.push_back(entry.symbol);
    std::sort(seen.begin(), seen.end());
    const double unseen = 0.5 / total;
    // There are at least as many of them as are wanted: columns <= alphabet_size.
    std::size_t next = 0;
    for (Symbol s = 0, wanted = columns - taken; wanted > 0; ++s) {
      if (next < seen.size() && seen[next] == s) {
        ++next;
        continue;
      }
      into.push_back(Entry{s, unseen});
      --wanted;
    }
  };

  // When the histories are many next to the nodes, each node's answer is
  // worked out once: the cache never holds more entries than the result.
  const std::size_t nodes = trie.node_count();
  const bool cache = nodes <= 4 * histories.size();
  constexpr std::uint32_t NOT_YET = std::numeric_limits<std::uint32_t>::max();
  IndexVector<NodeIndex, std::uint32_t> cached_at(cache ? nodes : 0, NOT_YET);
  std::vector<Entry> pool, scratch;
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    const Entry* entries;
    if (cache) {
      if (cached_at[node] == NOT_YET) {
        if (pool.size() / columns >= NOT_YET) throw CapacityExhausted{};
        cached_at[node] = static_cast<std::uint32_t>(pool.size() / columns);
        answer(node, pool);
      }
      entries = pool.data() + std::size_t{cached_at[node]} * columns;
    } else {
      scratch.clear();
      answer(node, scratch);
      entries = scratch.data();
    }
    for (std::size_t c = 0; c < columns; ++c) {
      out.symbols.push_back(entries[c].symbol);
      out.probabilities.push_back(entries[c].probability);
    }
  });
  return out;
}

}  // namespace ostrel
