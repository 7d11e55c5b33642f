#pragma once
// Answers for many histories at once, each exactly the answer that the query
// of its one history gives: the smoothed distribution predict_proba returns,
// or its k most probable symbols. Histories are rows (most recent symbol
// last) whose symbols are below the alphabet size; `terminal` holds the
// fitted model's context flags.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/top_symbols.hpp"
#include "representation/rows.hpp"
#include "representation/trie.hpp"
#include "util/result_memory.hpp"

namespace ostrel {

// The distribution of each history, alphabet_size entries each, one history
// after another. The caller has made sure they fit in memory.
ResultVector<double> batch_distributions(const CountTrie& trie,
                                         std::span<const std::uint8_t> terminal,
                                         const Rows& histories);
// The same into `out`, histories.size() x alphabet_size entries.
void batch_distributions(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                         const Rows& histories, std::span<double> out);

// The min(k, alphabet_size) most probable next symbols after each history,
// most probable first and equal probabilities in ascending symbol order, with
// their probabilities (the distribution's entries, bit for bit). Symbols
// recorded at the answering node are ordered by their probabilities; every
// symbol not recorded there has the smallest probability, so those follow in
// ascending order, and the distribution is never built whole.
TopSymbols top_symbols(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                       const Rows& histories, std::size_t k);

}  // namespace ostrel
