// Scoring rows and summarising a fit. Every sum here runs in a fixed order,
// given where it is formed, so that its result is reproducible bit for bit.

#include "model/scoring.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "model/context_lookup.hpp"

namespace ostrel {

namespace {

// a * b as two 64-bit halves, for a below 2^32: the words' halves multiplied
// apart, so that no 128-bit type is needed.
std::pair<std::uint64_t, std::uint64_t> wide_product(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t low = a * (b & 0xFFFFFFFFu);
  const std::uint64_t high_part = a * (b >> 32);  // below 2^64: a < 2^32
  const std::uint64_t sum = low + (high_part << 32);
  const std::uint64_t carry = sum < low ? 1 : 0;
  return {(high_part >> 32) + carry, sum};
}

// The double nearest to high * 2^64 + low (ties to even): the top 64 bits,
// with the lowest one set when any bit below them is, round as the whole.
double to_double(std::uint64_t high, std::uint64_t low) {
  if (high == 0) return static_cast<double>(low);
  const int shift = std::bit_width(high);
  const std::uint64_t below = low & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t top = (high << (64 - shift)) | (low >> shift) | (below != 0 ? 1 : 0);
  return std::ldexp(static_cast<double>(top), shift);
}

}  // namespace

std::expected<std::vector<Count>, std::string> charged_counts(const CountTrie& trie) {
  const auto& records = trie.outcomes();
  std::vector<Count> left(records.size());  // per outcome record
  for (const OutcomeIndex r : records.indices()) left[r.value()] = records[r].count;
  for (const NodeIndex node : IndexRange<NodeIndex>(1, trie.node_count())) {
    const NodeIndex parent = trie.node(node).parent;
    for (const OutcomeCount& outcome : trie.outcomes(node)) {
      const OutcomeIndex at = trie.find_outcome(parent, outcome.symbol);
      if (!at.has_value() || left[at.value()] < outcome.count) {
        return std::unexpected("node " + std::to_string(node.value()) + " counts symbol " +
                               std::to_string(outcome.symbol) + " more often than its parent " +
                               std::to_string(parent.value()) + " has left");
      }
      left[at.value()] -= outcome.count;
    }
  }
  return left;
}

double maximised_log_likelihood(const CountTrie& trie, std::span<const Count> charged) {
  double total = 0.0;
  std::vector<SymbolCount> own;
  for (const NodeIndex node : trie.nodes().indices()) {
    own.clear();
    Count sum = 0;  // at most the node's count: no overflow
    for (auto it = trie.outcomes(node).begin(); it != trie.outcomes(node).end(); ++it) {
      const Count m = charged[it.index().value()];
      if (m == 0) continue;  // contributes nothing
      own.push_back(SymbolCount{it->symbol, m});
      sum += m;
    }
    std::sort(own.begin(), own.end(),
              [](const SymbolCount& a, const SymbolCount& b) { return a.symbol < b.symbol; });
    const double whole = static_cast<double>(sum);
    for (const SymbolCount& term : own) {
      const double m = static_cast<double>(term.count);
      total += m * std::log(m / whole);
    }
  }
  return total;
}

LogProbabilities::LogProbabilities(const CountTrie& trie, Count queries) : trie_(trie) {
  if (dense_table_pays(trie.node_count(), trie.alphabet_size(), queries)) {
    cache_.assign(trie.node_count() * trie.alphabet_size(), 1.0);
  }
}

double LogProbabilities::compute(NodeIndex node, Symbol symbol) const {
  // The operations of the model's distribution, in its order.
  const double denominator = static_cast<double>(trie_.node(node).count) +
                             static_cast<double>(trie_.alphabet_size()) * 0.5;
  const double numerator = static_cast<double>(trie_.outcome_count(node, symbol)) + 0.5;
  return std::log(numerator / denominator);
}

namespace {

// Calls term(log probability) for every scored position of every row, rows
// one after another, and row_end() after each row's last.
template <class Term, class RowEnd>
void score_rows(const CountTrie& trie, std::span<const std::uint8_t> terminal, const Rows& rows,
                std::size_t skip, Term&& term, RowEnd&& row_end) {
  Count positions = 0;  // at most the number of symbols: no overflow
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows.row_length(r) > skip) positions += rows.row_length(r) - skip;
  }
  ContextLookup lookup(trie, terminal, positions);
  LogProbabilities log_probability(trie, positions);
  rows.visit([&](auto symbols) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
      if (skip < row.size()) {
        ContextLookup::Walk walk = lookup.walk(row.first(skip));
        for (std::size_t t = skip;;) {
          term(log_probability(walk.answer, static_cast<Symbol>(row[t])));
          if (++t == row.size()) break;
          walk = lookup.walk_after(walk, row.first(t));
        }
      }
      row_end();
    }
  });
}

}  // namespace

std::vector<double> log_likelihoods(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                                    const Rows& rows, std::size_t skip) {
  std::vector<double> totals;
  totals.reserve(rows.size());
  // Left to right from 0.0, as a loop over predict_proba adds them.
  double total = 0.0;
  score_rows(
      trie, terminal, rows, skip, [&](double term) { total += term; },
      [&] {
        totals.push_back(total);
        total = 0.0;
      });
  return totals;
}

std::vector<double> pointwise_log_likelihoods(const CountTrie& trie,
                                              std::span<const std::uint8_t> terminal,
                                              const Rows& rows, std::size_t skip) {
  std::size_t positions = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows.row_length(r) > skip) positions += rows.row_length(r) - skip;
  }
  std::vector<double> terms;
  terms.reserve(positions);
  score_rows(trie, terminal, rows, skip, [&](double term) { terms.push_back(term); }, [] {});
  return terms;
}

ModelSummary summarise(const CountTrie& trie, std::span<const std::uint8_t> terminal) {
  auto charged = charged_counts(trie);
  // Fitting and loading both guarantee the nesting of counts.
  if (!charged) throw InternalFault("summary: " + charged.error());
  return criteria(static_cast<std::size_t>(std::count(terminal.begin(), terminal.end(), 1)),
                  trie.alphabet_size(), trie.sample_size(),
                  maximised_log_likelihood(trie, *charged));
}

ModelSummary criteria(std::size_t contexts, std::size_t alphabet_size, Count sample_size,
                      double log_likelihood) {
  ModelSummary out{};
  out.contexts = contexts;
  out.sample_size = sample_size;
  std::tie(out.parameters_high, out.parameters_low) = wide_product(out.contexts, alphabet_size - 1);
  out.log_likelihood = log_likelihood;
  const double parameters = to_double(out.parameters_high, out.parameters_low);
  out.aic = -2.0 * out.log_likelihood + 2.0 * parameters;
  // ln 0 leaves the criterion undefined without data.
  out.bic = out.sample_size == 0 ? std::numeric_limits<double>::quiet_NaN()
                                 : -2.0 * out.log_likelihood +
                                       parameters * std::log(static_cast<double>(out.sample_size));
  return out;
}

}  // namespace ostrel
