// The statistics of a given tree against every tree of a tiny alphabet, scored
// from first principles, and against the ranked trees.

#include "posterior/tree_statistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core_test_support.hpp"
#include "posterior/posterior.hpp"
#include "testing/plain_given_tree.hpp"

namespace ostrel {
namespace {

using testing_support::complete_trees;
using testing_support::counts_of;
using testing_support::rows_of;

// ln of the Krichevsky-Trofimov probability of counts.
long double kt(const std::vector<Count>& counts) {
  long double n = 0, out = 0;
  for (const Count c : counts) {
    out += std::lgamma(static_cast<long double>(c) + 0.5L) - std::lgamma(0.5L);
    n += static_cast<long double>(c);
  }
  const long double half = counts.size() * 0.5L;
  return out + std::lgamma(half) - std::lgamma(half + n);
}

TEST(TreeStatistics, PosteriorsOfEveryTreeFromFirstPrinciples) {
  std::mt19937_64 rng(52);
  for (const std::size_t alphabet : {2u, 3u}) {
    const std::size_t depth = 2;
    const double beta = 0.6;
    const Rows rows =
        testing_support::random_rows(rng, testing_support::Source::Markov, alphabet, 2, 10, 120);
    const Counts counts = counts_of(rows, alphabet, depth);
    const bct::BctPrior prior(beta);
    const auto trees = complete_trees(alphabet, depth);
    std::vector<long double> value(trees.size());
    long double evidence = -INFINITY;
    for (std::size_t t = 0; t < trees.size(); ++t) {
      long double v = static_cast<long double>((trees[t].size() - 1) / (alphabet - 1)) *
                      std::log1p(-static_cast<long double>(beta));
      for (const auto& context : trees[t]) {
        if (context.size() < depth) v += std::log(static_cast<long double>(beta));
        const auto all = oracle::plain_context_counts(rows, alphabet, depth, context.size());
        const auto found = all.find(context);
        if (found != all.end()) v += kt(found->second);
      }
      value[t] = v;
      evidence = std::max(evidence, v) + std::log1p(std::exp(-std::fabs(evidence - v)));
    }
    for (std::size_t t = 0; t < trees.size(); ++t) {
      SCOPED_TRACE(testing::Message() << alphabet << " tree " << t);
      const auto tree = ContextTree::build(rows_of(trees[t]), alphabet, depth).value();
      const auto got = bct::tree_statistics(counts, tree, prior);
      const long double expected = value[t] - evidence;
      EXPECT_NEAR(got.log_posterior, static_cast<double>(expected),
                  1e-12 * std::fabs(static_cast<double>(value[t])));
      const auto fitted = oracle::plain_fit_given_tree(rows, alphabet, depth, trees[t]);
      const ModelSummary summary = summarise(fitted.first, fitted.second);
      EXPECT_EQ(got.summary.log_likelihood, summary.log_likelihood);
      EXPECT_EQ(got.summary.aic, summary.aic);
      EXPECT_EQ(got.summary.contexts, trees[t].size());
    }
  }
}

TEST(TreeStatistics, TheRankedTreesKeepTheirPosteriors) {
  for (const auto& input : testing_support::inputs()) {
    if (input.conditioning != input.storage || input.alphabet > 300 || input.storage > 8) continue;
    SCOPED_TRACE(input.name);
    const Counts counts = counts_of(input.rows, input.alphabet, input.storage);
    const bct::BctPrior prior(0.7);
    const auto ranked = bct::posterior(counts, prior, 4).top_trees;
    for (std::size_t r = 0; r < ranked.size(); ++r) {
      const auto tree =
          ContextTree::build(rows_of(ranked[r].contexts()), input.alphabet, input.storage).value();
      const double got = bct::tree_statistics(counts, tree, prior).log_posterior;
      if (r == 0) {
        EXPECT_EQ(got, ranked[0].log_posterior);  // bct's value, bit for bit
      } else {
        EXPECT_NEAR(got, ranked[r].log_posterior, 1e-12 * std::fabs(ranked[r].log_value));
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
