// The stationary law of a chain of contexts, and the rates summed over it.

#include "model/rates.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

// The next-symbol probabilities of the nodes a model answers from, dense,
// as the model's distribution computes them.
class Distributions {
 public:
  Distributions(const ChainModel& model, std::span<const NodeIndex> answers)
      : trie_(model.trie), row_(model.trie.node_count(), NO_ROW) {
    const std::size_t alphabet = trie_.alphabet_size();
    for (const NodeIndex node : answers) {
      if (row_[node] != NO_ROW) continue;
      row_[node] = probabilities_.size() / alphabet;
      const TrieNode& record = trie_.node(node);
      const double denominator =
          static_cast<double>(record.count) + static_cast<double>(alphabet) * 0.5;
      const std::size_t begin = probabilities_.size();
      probabilities_.resize(begin + alphabet, 0.5 / denominator);
      for (const OutcomeCount& outcome : trie_.outcomes(node)) {
        probabilities_[begin + outcome.symbol] =
            (static_cast<double>(outcome.count) + 0.5) / denominator;
      }
    }
  }

  // The probabilities after `node`, entry s for symbol s.
  const double* of(NodeIndex node) const {
    return probabilities_.data() + row_[node] * trie_.alphabet_size();
  }
  // Which of the distinct distributions is `node`'s, and how many there are.
  std::size_t row(NodeIndex node) const { return row_[node]; }
  std::size_t rows() const { return probabilities_.size() / trie_.alphabet_size(); }

 private:
  const CountTrie& trie_;
  static constexpr std::size_t NO_ROW = ~std::size_t{0};
  IndexVector<NodeIndex, std::size_t> row_;  // node -> its distribution's row, or NO_ROW
  std::vector<double> probabilities_;
};

// Grassmann-Taksar-Heyman: states eliminated from the last, each one's
// outflow to the states left taken as the sum of those entries (never as one
// less the rest), then the law rebuilt from the first state.
std::vector<double> eliminate(std::vector<double> p, std::size_t n) {
  for (std::size_t k = n; k-- > 1;) {
    double out = 0.0;
    for (std::size_t j = 0; j < k; ++j) out += p[k * n + j];
    // Every state reaches every other one: the states left are reached.
    if (!(out > 0.0)) throw InternalFault("a state of the chain cannot be left");
    for (std::size_t i = 0; i < k; ++i) p[i * n + k] /= out;
    for (std::size_t i = 0; i < k; ++i) {
      const double via = p[i * n + k];
      if (via == 0.0) continue;  // adds +0.0 to every entry: leaves them as they are
      for (std::size_t j = 0; j < k; ++j) p[i * n + j] += via * p[k * n + j];
    }
  }
  std::vector<double> law(n, 0.0);
  law[0] = 1.0;
  double total = 1.0;
  for (std::size_t j = 1; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i < j; ++i) sum += law[i] * p[i * n + j];
    law[j] = sum;
    total += sum;
  }
  for (double& x : law) x /= total;
  return law;
}

}  // namespace

std::expected<std::vector<double>, std::string> stationary_law(const ContextChain& chain,
                                                               const ChainModel& model) {
  const std::size_t n = chain.states;
  const std::size_t alphabet = chain.alphabet_size;
  const Distributions rows(model, chain.answers[0]);
  if (n <= GTH_LIMIT) {
    std::vector<double> p(n * n, 0.0);
    for (std::size_t w = 0; w < n; ++w) {
      const double* q = rows.of(chain.answers[0][w]);
      for (std::size_t s = 0; s < alphabet; ++s) p[w * n + chain.next[w * alphabet + s]] += q[s];
    }
    return eliminate(std::move(p), n);
  }
  std::vector<double> law(n, 1.0 / static_cast<double>(n));
  std::vector<double> moved(n);
  // The moves shrink geometrically, by `ratio` a step once the slowest mode
  // is left: what is still to move is about change * ratio / (1 - ratio).
  double last_change = 2.0, ratio = 1.0;
  for (std::size_t iteration = 0; iteration < ITERATION_LIMIT; ++iteration) {
    std::fill(moved.begin(), moved.end(), 0.0);
    for (std::size_t w = 0; w < n; ++w) {
      const double* q = rows.of(chain.answers[0][w]);
      const std::uint32_t* to = chain.next.data() + w * alphabet;
      for (std::size_t s = 0; s < alphabet; ++s) moved[to[s]] += law[w] * q[s];
    }
    double total = 0.0;
    for (const double x : moved) total += x;
    double change = 0.0;
    for (std::size_t w = 0; w < n; ++w) {
      moved[w] /= total;
      change += std::fabs(moved[w] - law[w]);
    }
    law.swap(moved);
    if (change < last_change) {
      ratio = change / last_change;
      if (change * ratio < CONVERGED * (1.0 - ratio)) return law;
    } else if (ratio <= FAST && change < STALLED) {
      // No longer shrinking: rounding moves it now. The rounding of each step
      // adds up to about its size / (1 - ratio), small only for a chain that
      // forgets its start fast.
      return law;
    }
    last_change = change;
  }
  return std::unexpected("the stationary law of the model's chain of " + std::to_string(n) +
                         " states did not converge in " + std::to_string(ITERATION_LIMIT) +
                         " steps");
}

std::expected<double, std::string> entropy_rate(const ChainModel& model) {
  const ChainModel models[] = {model};
  const ContextChain chain = build_chain(models);
  auto law = stationary_law(chain, model);
  if (!law) return std::unexpected(std::move(law.error()));
  const Distributions rows(model, chain.answers[0]);
  const std::size_t alphabet = chain.alphabet_size;
  // Each distinct distribution's entropy, once; the states then add theirs.
  std::vector<double> entropies(rows.rows());
  std::vector<std::uint8_t> known(rows.rows(), 0);
  double rate = 0.0;
  for (std::size_t w = 0; w < chain.states; ++w) {
    const NodeIndex node = chain.answers[0][w];
    const std::size_t row = rows.row(node);
    if (known[row] == 0) {
      const double* p = rows.of(node);
      double entropy = 0.0;
      for (std::size_t s = 0; s < alphabet; ++s) entropy -= p[s] * std::log(p[s]);
      entropies[row] = entropy;
      known[row] = 1;
    }
    rate += (*law)[w] * entropies[row];
  }
  return rate;
}

std::expected<double, std::string> divergence_rate(const ChainModel& p, const ChainModel& q) {
  const ChainModel models[] = {p, q};
  const ContextChain chain = build_chain(models);
  auto law = stationary_law(chain, p);
  if (!law) return std::unexpected(std::move(law.error()));
  const Distributions p_rows(p, chain.answers[0]);
  const Distributions q_rows(q, chain.answers[1]);
  const std::size_t alphabet = chain.alphabet_size;
  double rate = 0.0;
  for (std::size_t w = 0; w < chain.states; ++w) {
    const double* pw = p_rows.of(chain.answers[0][w]);
    const double* qw = q_rows.of(chain.answers[1][w]);
    double divergence = 0.0;
    for (std::size_t s = 0; s < alphabet; ++s) divergence += pw[s] * std::log(pw[s] / qw[s]);
    rate += (*law)[w] * divergence;
  }
  return rate;
}

}  // namespace ostrel
