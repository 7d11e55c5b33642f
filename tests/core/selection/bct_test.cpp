// Tests for the bct rule through the plain selector: documented decisions, ties, the table of
// subtrees without data, and agreement with the maximal-probability recursion evaluated densely
// over every symbol.

#include "selection/bct.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/math.hpp"
#include "core_test_support.hpp"
#include "testing/plain_selection.hpp"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BctTest, DocumentedDecisions) {
  struct Case {
    Rows rows;
    std::size_t depth;
    double beta;
    Bytes node_split, depth_split;
  };
  const Case cases[] = {
      // Root 4 x 0 and 5 x 1; after 0 always 1, after 1 always 0: split.
      {{{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}}, 1, 0.5, {1, 0, 0}, {0, 0}},
      {{{0, 1, 0, 1, 0, 1}}, 0, 0.5, {0}, {0}},
      // No data: log1p(-0.5) against ln(0.5) + 0.0 is a tie, and the root stays a leaf.
      {{}, 1, 0.5, {0}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    const auto trie = from_rows_with_storage(c.rows, 2, c.depth, c.depth);
    ASSERT_TRUE(trie.has_value());
    const oracle::SplitPlan plan = oracle::plain_bct_select(*trie, c.beta);
    EXPECT_EQ(plan.node_split, c.node_split);
    EXPECT_EQ(plan.depth_split, c.depth_split);
  }
}

TEST(BctTest, SubtreesWithoutDataAreNeverSplit) {
  for (double beta : {0.5, 0.5000000000000001, 0.75, 0.9, 0.9999999999999999}) {
    for (std::size_t alphabet : {2u, 300u}) {
      SCOPED_TRACE(testing::Message() << beta << " " << alphabet);
      const oracle::SplitPlan plan = oracle::plain_bct_select(CountTrie(alphabet, 40), beta);
      EXPECT_EQ(plan.depth_split, Bytes(41, 0));
      EXPECT_EQ(plan.node_split, Bytes{0});
    }
  }
}

// The recursion as written: every symbol 0..m-1 looked up on the plain outcome list and
// added in ascending order, absent ones included.
oracle::SplitPlan dense_bct(const CountTrie& trie, double beta) {
  const std::size_t m = trie.alphabet_size(), depth = trie.storage_depth(), n = trie.node_count();
  const double lb = std::log(beta), l1b = std::log1p(-beta);
  oracle::SplitPlan plan{Bytes(n, 0), Bytes(depth + 1, 0)};
  std::vector<double> unseen(depth + 1, 0.0), best(n, 0.0);
  for (std::size_t d = depth; d-- > 0;) {
    const double s = l1b + unseen[d + 1] * static_cast<double>(m);
    plan.depth_split[d] = s > lb;
    unseen[d] = s > lb ? s : lb;
  }
  const double half = static_cast<double>(m) * 0.5, lg_half = log_gamma(half);
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    double e = lg_half - log_gamma(half + static_cast<double>(node.count));
    for (Symbol j = 0; j < m; ++j) {
      double x = 0.5;
      for (OutcomeIndex o = node.first_outcome; o != NO_INDEX; o = trie.outcomes()[o].next) {
        if (trie.outcomes()[o].symbol == j) {
          x = static_cast<double>(trie.outcomes()[o].count) + 0.5;
          break;
        }
      }
      e = e + (log_gamma(x) + (-0.5723649429246995));
    }
    if (node.depth == depth) {
      best[i] = e;
      continue;
    }
    double f = l1b;
    std::size_t k = 0;
    for (EdgeIndex edge = node.first_child; edge != NO_INDEX; edge = trie.edges()[edge].next) {
      f = f + best[trie.edges()[edge].child.value()];
      ++k;
    }
    f = f + unseen[node.depth + 1] * static_cast<double>(m - k);
    const double l = lb + e;
    plan.node_split[i] = f > l;
    best[i] = f > l ? f : l;
  }
  return plan;
}

struct RandomCase {
  std::size_t alphabet, depth, length;
  double beta, follow;
};

class BctDenseAgreementTest : public testing::TestWithParam<RandomCase> {};

TEST_P(BctDenseAgreementTest, SameDecisionsAsDenseRecursion) {
  const RandomCase& c = GetParam();
  testing_support::expect_plans_agree(
      21, c.alphabet, c.depth, c.length, c.follow,
      [&](const CountTrie& trie) { return oracle::plain_bct_select(trie, c.beta); },
      [&](const CountTrie& trie) { return dense_bct(trie, c.beta); });
}

INSTANTIATE_TEST_SUITE_P(Alphabets, BctDenseAgreementTest,
                         testing::Values(RandomCase{2, 6, 400, 0.5, 0.6},
                                         RandomCase{3, 4, 400, 0.75, 0.6},
                                         RandomCase{5, 3, 600, 0.6, 0.7},
                                         RandomCase{300, 2, 3000, 0.999, 0.9},
                                         RandomCase{320, 3, 2000, 0.9, 0.95}));

}  // namespace
}  // namespace ostrel
