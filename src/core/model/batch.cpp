// Each history walked to the node that answers it, and that node's answer
// written out; the distribution's entries are computed exactly as the model's
// distribution computes them, in the same operations.

#include "model/batch.hpp"

#include <algorithm>
#include <limits>

#include "model/context_lookup.hpp"
#include "util/result_memory.hpp"

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

// The distribution that `node` answers, alphabet_size entries into `out`.
void write_distribution(const CountTrie& trie, NodeIndex node, double* out) {
  const double total = smoothed_total(trie, node);
  std::fill_n(out, trie.alphabet_size(), 0.5 / total);
  for (const OutcomeCount& outcome : trie.outcomes(node)) {
    out[outcome.symbol] = (static_cast<double>(outcome.count) + 0.5) / total;
  }
}

// The rows of `table`, one per history. When the histories are many beside
// the tree, most nodes answer several: a node's row is made the first time
// and copied after that, through a table by node that stays small beside the
// result. Written in place, a row is in the cache while its outcomes are
// scattered, and later rows copy the first. When `Streamed` (the table is
// mapped already), rows are made in the cache and streamed out past it, so
// they are not read back: a node's first row is kept apart while the kept
// rows stay within a sixteenth of the table, and other rows are made in a
// scratch row.
template <bool Streamed>
void write_rows(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                const Rows& histories, double* table) {
  const std::size_t alphabet_size = trie.alphabet_size();
  auto place = [&](const double* row, double* out) {
    if constexpr (Streamed) {
      stream_copy(row, out, alphabet_size);
    } else {
      std::copy_n(row, alphabet_size, out);
    }
  };
  constexpr std::size_t NO_ROW = static_cast<std::size_t>(-1);
  const bool reuse = trie.node_count() <= histories.size() / 16 * alphabet_size;
  const std::size_t most_kept = histories.size() / 16;
  // A node's row: a row of the table, or when streamed a row of `kept`.
  IndexVector<NodeIndex, std::size_t> first_row(reuse ? trie.node_count() : 0, NO_ROW);
  std::vector<double> kept;
  std::vector<double> scratch(Streamed ? alphabet_size : 0);
  std::size_t r = 0;
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    const std::size_t row = r++;
    double* out = table + row * alphabet_size;
    if (reuse) {
      std::size_t& at = first_row[node];
      if (at != NO_ROW) {
        place((Streamed ? kept.data() : table) + at * alphabet_size, out);
        return;
      }
      if constexpr (!Streamed) {
        at = row;
      } else if (kept.size() / alphabet_size < most_kept) {
        at = kept.size() / alphabet_size;
        kept.resize(kept.size() + alphabet_size);
        write_distribution(trie, node, kept.data() + at * alphabet_size);
        place(kept.data() + at * alphabet_size, out);
        return;
      }
    }
    if constexpr (Streamed) {
      write_distribution(trie, node, scratch.data());
      place(scratch.data(), out);
    } else {
      write_distribution(trie, node, out);
    }
  });
  if constexpr (Streamed) finish_streaming();
}

}  // namespace

ResultVector<double> batch_distributions(const CountTrie& trie,
                                         std::span<const std::uint8_t> terminal,
                                         const Rows& histories) {
  ResultVector<double> out;
  out.resize(histories.size() * trie.alphabet_size());  // unset until written
  batch_distributions(trie, terminal, histories, out);
  return out;
}

void batch_distributions(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                         const Rows& histories, std::span<double> out) {
  const std::size_t alphabet_size = trie.alphabet_size();
  if (out.size() / alphabet_size != histories.size() || out.size() % alphabet_size != 0) {
    throw InternalFault("batch distributions: the table does not fit the histories");
  }
  if (map_for_writing(out.data(), out.size_bytes())) {
    write_rows<true>(trie, terminal, histories, out.data());
  } else {
    write_rows<false>(trie, terminal, histories, out.data());
  }
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
