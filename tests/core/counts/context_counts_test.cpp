// Counts read by context, and the maximised log-likelihood, against counting
// position by position and against every tree of a tiny alphabet.

#include "counts/context_counts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core_test_support.hpp"
#include "counts/max_likelihood.hpp"
#include "model/scoring.hpp"
#include "testing/plain_given_tree.hpp"

namespace ostrel {
namespace {

using testing_support::complete_trees;
using testing_support::counts_of;
using testing_support::random_rows;
using testing_support::rows_of;
using testing_support::Source;

TEST(ContextCounts, EveryLengthMatchesCountingPositionByPosition) {
  std::mt19937_64 rng(25);
  for (const std::size_t alphabet : {2u, 3u, 7u, 300u}) {
    for (const std::size_t depth : {0u, 1u, 4u}) {
      const Rows rows = random_rows(rng, Source::Markov, alphabet, 5, 0, 400);
      const Counts counts = counts_of(rows, alphabet, depth);
      for (std::size_t length = 0; length <= depth; ++length) {
        SCOPED_TRACE(testing::Message() << alphabet << " " << depth << " " << length);
        const auto plain = oracle::plain_context_counts(rows, alphabet, depth, length);
        const auto got = context_counts(counts, length);
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(got->contexts, plain.size());
        std::size_t r = 0;
        for (const auto& [context, row] : plain) {  // std::map: the context list's order
          EXPECT_EQ(std::vector<Symbol>(got->symbols.begin() + r * length,
                                        got->symbols.begin() + (r + 1) * length),
                    context);
          EXPECT_EQ(std::vector<Count>(got->counts.begin() + r * alphabet,
                                       got->counts.begin() + (r + 1) * alphabet),
                    row);
          ++r;
        }
      }
    }
  }
}

TEST(ContextCounts, DepthAboveMaxDepthIsRefusedNamingIt) {
  const Counts counts = counts_of(Rows{{0, 1, 0}}, 2, 1);
  EXPECT_EQ(context_counts(counts, 2).error(), "depth 2 is above the counts' max_depth 1");
  EXPECT_EQ(max_log_likelihood(counts, 2).error(), "depth 2 is above the counts' max_depth 1");
  EXPECT_EQ(context_counts(counts_of(Rows{}, 2, 1), 1)->contexts, 0u);
  EXPECT_EQ(max_log_likelihood(counts_of(Rows{}, 2, 1), 1).value(), 0.0);
}

// The maximised log-likelihood of a tree from its contexts' counts, in long double.
long double tree_log_likelihood(const Rows& rows, std::size_t alphabet, std::size_t depth,
                                const std::vector<std::vector<Symbol>>& tree) {
  long double total = 0.0L;
  for (const auto& context : tree) {
    for (const auto& [c, row] :
         oracle::plain_context_counts(rows, alphabet, depth, context.size())) {
      if (c != context) continue;
      Count n = 0;
      for (const Count k : row) n += k;
      for (const Count k : row) {
        if (k != 0)
          total += static_cast<long double>(k) * std::log(static_cast<long double>(k) / n);
      }
    }
  }
  return total;
}

TEST(MaxLogLikelihood, IsTheBestOfEveryTreeAndTheFullTreesSummary) {
  std::mt19937_64 rng(2025);
  for (const std::size_t alphabet : {2u, 3u}) {
    const std::size_t depth = alphabet == 2 ? 3 : 2;
    const Rows rows = random_rows(rng, Source::Periodic, alphabet, 3, 20, 300);
    const Counts counts = counts_of(rows, alphabet, depth);
    for (std::size_t d = 0; d <= depth; ++d) {
      SCOPED_TRACE(testing::Message() << alphabet << " " << d);
      long double best = -INFINITY;
      for (const auto& tree : complete_trees(alphabet, d)) {
        best = std::max(best, tree_log_likelihood(rows, alphabet, depth, tree));
      }
      const double got = max_log_likelihood(counts, d).value();
      EXPECT_NEAR(got, static_cast<double>(best), 1e-12 * std::fabs(static_cast<double>(best)));
      // The full tree at depth d, fitted by the plain rule: its summary, bit for bit.
      const auto full = complete_trees(alphabet, d);
      const auto& deepest =
          *std::max_element(full.begin(), full.end(),
                            [](const auto& a, const auto& b) { return a.size() < b.size(); });
      const auto fitted = oracle::plain_fit_given_tree(rows, alphabet, depth, deepest);
      EXPECT_EQ(got, summarise(fitted.first, fitted.second).log_likelihood);
    }
  }
}

}  // namespace
}  // namespace ostrel
