// Bottom-up maximal probabilities in log space. Ties keep the leaf.

#include "selection/bct.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "math.hpp"

namespace ostrel::bct {

namespace {

// log_gamma(0.5) with a correctly rounded logarithm: subtracting it makes the
// term of a symbol never seen at a node exactly zero.
constexpr double LOG_GAMMA_HALF = 0.5723649429246995;

// f(k) = log_gamma(base + k) (+ shift) for small whole k, computed on first
// use. Counts at most nodes are small, so most calls are table reads; the
// values are those of the direct evaluation, bit for bit.
class LogGammaTable {
 public:
  LogGammaTable(double base, double shift)
      : base_(base), shift_(shift), values_(SIZE, std::numeric_limits<double>::quiet_NaN()) {}

  double operator()(Count k) {
    if (k >= SIZE) return evaluate(k);
    double& value = values_[k];
    if (std::isnan(value)) value = evaluate(k);
    return value;
  }

 private:
  static constexpr Count SIZE = 4096;
  double evaluate(Count k) const {
    const double lg = log_gamma(base_ + static_cast<double>(k));
    return shift_ == 0.0 ? lg : lg + shift_;
  }
  double base_;
  double shift_;
  std::vector<double> values_;
};

}  // namespace

SplitPlan select(const CountTrie& trie, double beta) {
  const std::size_t m = trie.alphabet_size();
  const std::size_t depth_limit = trie.storage_depth();
  const std::size_t n = trie.node_count();
  const double alphabet = static_cast<double>(m);

  const double lb = std::log(beta);
  const double l1b = std::log1p(-beta);

  SplitPlan plan{std::vector<std::uint8_t>(n, 0), std::vector<std::uint8_t>(depth_limit + 1, 0)};
  std::vector<double> unseen_log_max_prob(depth_limit + 1, 0.0);
  for (std::size_t d = depth_limit; d-- > 0;) {
    const double s = l1b + unseen_log_max_prob[d + 1] * alphabet;
    if (s > lb) {
      unseen_log_max_prob[d] = s;
      plan.depth_split[d] = 1;
    } else {
      unseen_log_max_prob[d] = lb;
    }
  }

  const double half = alphabet * 0.5;
  const double lg_half = log_gamma(half);
  LogGammaTable lg_half_plus(half, 0.0);        // log_gamma(half + N)
  LogGammaTable kt_term(0.5, -LOG_GAMMA_HALF);  // log_gamma(c + 0.5) - log_gamma(0.5)
  // The term of an absent symbol. With a correctly rounded logarithm it is
  // +0.0, and adding +0.0 changes no partial sum (none is ever -0.0, since
  // every summand is a finite value other than -0.0), so absent symbols can be
  // skipped. Any other value is added symbol by symbol, as written.
  const double absent_term = log_gamma(0.5) + (-LOG_GAMMA_HALF);
  const bool skip_absent = absent_term == 0.0 && !std::signbit(absent_term);

  std::vector<double> log_max_prob(n, 0.0);
  std::vector<SymbolCount> present;
  const auto& edges = trie.edges();
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    double e = lg_half - lg_half_plus(node.count);
    sorted_outcomes(trie, static_cast<NodeIndex>(i), present);
    if (skip_absent) {
      for (const SymbolCount& record : present) e = e + kt_term(record.count);
    } else {
      Symbol next = 0;
      for (const SymbolCount& record : present) {
        for (; next < record.symbol; ++next) e = e + absent_term;
        e = e + kt_term(record.count);
        next = record.symbol + 1;
      }
      for (; next < m; ++next) e = e + absent_term;
    }

    if (node.depth == depth_limit) {
      log_max_prob[i] = e;
      continue;
    }
    if (node.depth > depth_limit) throw InternalFault("bct: node below the storage depth");
    double f = l1b;
    std::size_t k = 0;
    for (EdgeIndex edge = node.first_child; edge != NO_INDEX; edge = edges[edge].next) {
      f = f + log_max_prob[edges[edge].child];
      ++k;
    }
    f = f + unseen_log_max_prob[node.depth + 1] * static_cast<double>(m - k);
    const double l = lb + e;
    if (f > l) {
      log_max_prob[i] = f;
      plan.node_split[i] = 1;
    } else {
      log_max_prob[i] = l;
    }
  }
  return plan;
}

}  // namespace ostrel::bct
