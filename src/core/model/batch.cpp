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

// When the histories are many beside the tree, most nodes answer several: a
// node's row is computed the first time and copied after that (the same
// entries), through a table by node that stays small beside the result.
bool reuses_rows(const CountTrie& trie, const Rows& histories) {
  return trie.node_count() <= histories.size() / 16 * trie.alphabet_size();
}

// Each row written in place: it is in the cache while its outcomes are
// scattered, and a node's later rows copy its first.
void write_in_place(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                    const Rows& histories, double* table) {
  const std::size_t alphabet_size = trie.alphabet_size();
  constexpr std::size_t NO_ROW = static_cast<std::size_t>(-1);
  const bool reuse = reuses_rows(trie, histories);
  IndexVector<NodeIndex, std::size_t> first_row(reuse ? trie.node_count() : 0, NO_ROW);
  std::size_t r = 0;
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    double* out = table + r * alphabet_size;
    if (reuse) {
      std::size_t& seen = first_row[node];
      if (seen != NO_ROW) {
        std::copy_n(table + seen * alphabet_size, alphabet_size, out);
        ++r;
        return;
      }
      seen = r;
    }
    write_distribution(trie, node, out);
    ++r;
  });
}

// Each row made in the cache and streamed out past it, into a table already
// mapped: a node's row is kept, while the kept rows stay within a sixteenth
// of the table, and copied from there after that; other rows are made in a
// scratch row.
void write_streamed(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                    const Rows& histories, double* table) {
  const std::size_t alphabet_size = trie.alphabet_size();
  constexpr std::size_t NO_ROW = static_cast<std::size_t>(-1);
  const bool reuse = reuses_rows(trie, histories);
  const std::size_t most_kept = histories.size() / 16;
  IndexVector<NodeIndex, std::size_t> kept_row(reuse ? trie.node_count() : 0, NO_ROW);
  std::vector<double> kept;
  std::vector<double> scratch(alphabet_size);
  std::size_t r = 0;
  for_each_answer(trie, terminal, histories, [&](NodeIndex node) {
    double* out = table + r++ * alphabet_size;
    if (reuse) {
      std::size_t& at = kept_row[node];
      if (at != NO_ROW) {
        stream_copy(kept.data() + at * alphabet_size, out, alphabet_size);
        return;
      }
      if (kept.size() / alphabet_size < most_kept) {
        at = kept.size() / alphabet_size;
        kept.resize(kept.size() + alphabet_size);
        write_distribution(trie, node, kept.data() + at * alphabet_size);
        stream_copy(kept.data() + at * alphabet_size, out, alphabet_size);
        return;
      }
    }
    write_distribution(trie, node, scratch.data());
    stream_copy(scratch.data(), out, alphabet_size);
  });
  finish_streaming();
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
    write_streamed(trie, terminal, histories, out.data());
  } else {
    write_in_place(trie, terminal, histories, out.data());
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
