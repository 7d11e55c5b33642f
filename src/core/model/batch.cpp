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

namespace {

// The distributions, row r written at row(r) (alphabet_size entries, called
// once per history in order); written(r) reads a row already written.
template <class Row, class Written>
void write_distributions(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                         const Rows& histories, Row&& row, Written&& written) {
  const std::size_t alphabet_size = trie.alphabet_size();
  // When the histories are many beside the tree, most nodes answer several:
  // a node's row is computed the first time and copied after that (the same
  // entries), through a table by node that stays small beside the result.
  constexpr std::size_t NO_ROW = static_cast<std::size_t>(-1);
  const bool reuse = trie.node_count() <= histories.size() / 16 * alphabet_size;
  IndexVector<NodeIndex, std::size_t> first_row(reuse ? trie.node_count() : 0, NO_ROW);
  std::size_t r = 0;
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    double* out = row(r);
    if (reuse) {
      std::size_t& seen = first_row[node];
      if (seen != NO_ROW) {
        std::copy_n(written(seen), alphabet_size, out);
        ++r;
        return;
      }
      seen = r;
    }
    const double total = smoothed_total(trie, node);
    std::fill_n(out, alphabet_size, 0.5 / total);
    for (const OutcomeCount& outcome : trie.outcomes(node)) {
      out[outcome.symbol] = (static_cast<double>(outcome.count) + 0.5) / total;
    }
    ++r;
  });
}

}  // namespace

std::vector<double> batch_distributions(const CountTrie& trie,
                                        std::span<const std::uint8_t> terminal,
                                        const Rows& histories) {
  const std::size_t alphabet_size = trie.alphabet_size();
  std::vector<double> out;
  out.reserve(histories.size() * alphabet_size);
  // Grown a row at a time: each row is written while it is in the cache.
  write_distributions(
      trie, terminal, histories,
      [&](std::size_t r) {
        out.resize((r + 1) * alphabet_size);
        return out.data() + r * alphabet_size;
      },
      [&](std::size_t r) -> const double* { return out.data() + r * alphabet_size; });
  return out;
}

void batch_distributions(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                         const Rows& histories, std::span<double> out) {
  const std::size_t alphabet_size = trie.alphabet_size();
  if (out.size() / alphabet_size != histories.size() || out.size() % alphabet_size != 0) {
    throw InternalFault("batch distributions: the table does not fit the histories");
  }
  write_distributions(
      trie, terminal, histories, [&](std::size_t r) { return out.data() + r * alphabet_size; },
      [&](std::size_t r) -> const double* { return out.data() + r * alphabet_size; });
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
