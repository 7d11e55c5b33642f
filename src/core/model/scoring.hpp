#pragma once
// What a fitted model says about data: the training positions charged to each
// context, the maximised log-likelihood they give, and the probabilities
// predict_proba gives, as natural logarithms.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "representation/rows.hpp"
#include "representation/trie.hpp"

namespace ostrel {

// The statistics a summary reports.
struct ModelSummary {
  std::size_t contexts;
  Count sample_size;
  // contexts * (alphabet_size - 1), exactly, in two 64-bit halves.
  std::uint64_t parameters_high;
  std::uint64_t parameters_low;
  double log_likelihood;
  double aic;
  double bic;
};

// The counted training positions charged to each outcome record (indexed as
// the trie's outcome arena): the record's count less the counts of the same
// symbol at the node's children. In a fitted trie a position is counted along
// its context path, so this counts the positions whose path ends at the node,
// the node predict_proba answers them from. The error names the first node,
// in index order, that counts a symbol more often than its parent has left.
std::expected<std::vector<Count>, std::string> charged_counts(const CountTrie& trie);

// sum over nodes in index order, and over each node's symbols in ascending
// order, of m * ln(m / M) for every charged count m > 0, M being the node's
// charged total; added one term after the other from 0.0.
double maximised_log_likelihood(const CountTrie& trie, std::span<const Count> charged);

// ln((c + 1/2) / (n + A/2)) for the count c of a symbol at a node of count n,
// computed as the model's distribution computes the probability; remembered
// per node and symbol when the lookups will be many next to the tree's size.
class LogProbabilities {
 public:
  LogProbabilities(const CountTrie& trie, Count queries);

  double operator()(NodeIndex node, Symbol symbol) {
    if (cache_.empty()) return compute(node, symbol);
    double& slot = cache_[static_cast<std::size_t>(node.value()) * trie_.alphabet_size() + symbol];
    // A logarithm of a probability is at most 0: 1.0 marks an empty slot.
    if (slot > 0.0) slot = compute(node, symbol);
    return slot;
  }

 private:
  double compute(NodeIndex node, Symbol symbol) const;

  const CountTrie& trie_;
  std::vector<double> cache_;
};

// The log-likelihood of each row of `rows` from position `skip` on: bit for
// bit the loop that adds, left to right from 0.0, the logarithm of
// predict_proba's probability of each symbol given the symbols before it in
// its row. `terminal`: the fitted model's context flags. Symbols must be
// below the alphabet size.
std::vector<double> log_likelihoods(const CountTrie& trie, std::span<const std::uint8_t> terminal,
                                    const Rows& rows, std::size_t skip);

// The terms that log_likelihoods adds: one per scored position, rows one
// after another, in order.
std::vector<double> pointwise_log_likelihoods(const CountTrie& trie,
                                              std::span<const std::uint8_t> terminal,
                                              const Rows& rows, std::size_t skip);

// The criteria a summary reports for `contexts` contexts over `alphabet_size`
// symbols fitted to `sample_size` positions with this maximised
// log-likelihood: the parameters, AIC and BIC, as summarise computes them.
ModelSummary criteria(std::size_t contexts, std::size_t alphabet_size, Count sample_size,
                      double log_likelihood);

// The summary of a fitted trie: its contexts, sample size, parameters
// (contexts times alphabet_size - 1, exactly), the maximised log-likelihood of
// the charged counts, AIC and BIC (nan without counted positions).
ModelSummary summarise(const CountTrie& trie, std::span<const std::uint8_t> terminal);

}  // namespace ostrel
