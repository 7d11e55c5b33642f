// Tests for the bic rule through the plain selector: documented decisions, the penalty that turns a
// split into a leaf, ties, and agreement with the penalised-likelihood recursion evaluated densely.

#include "selection/bic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core_test_support.hpp"
#include "testing/plain_selection.hpp"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BicTest, DocumentedDecisions) {
  // Alternating row: 9 positions, root 4 x 0 and 5 x 1, each child pure. Per-leaf penalty
  // P = ln 9 * penalty / 2; the root splits while -2P > 4 ln(4/9) + 5 ln(5/9) - P, that is
  // while penalty < 6.1826... / 1.0986... = 5.6277...
  const Rows alternating{{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}};
  struct Case {
    Rows rows;
    std::size_t depth;
    double penalty;
    Bytes node_split;
  };
  const Case cases[] = {
      {alternating, 1, 1.0, {1, 0, 0}},
      {alternating, 1, 5.5, {1, 0, 0}},
      {alternating, 1, 5.75, {0, 0, 0}},
      {alternating, 1, 100.0, {0, 0, 0}},
      {alternating, 3, 1.0, {1, 0, 0, 0, 0, 0, 0}},
      {alternating, 0, 1.0, {0}},
      {{}, 1, 1.0, {0}},
      {{{0, 1}}, 1, 1.0, {0, 0}},  // sample size 1: penalty 0.0, scores tie, leaf kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    const auto trie = from_rows_with_storage(c.rows, 2, c.depth, c.depth);
    ASSERT_TRUE(trie.has_value());
    const oracle::SplitPlan plan = oracle::plain_bic_select(*trie, c.penalty);
    EXPECT_EQ(plan.node_split, c.node_split);
    EXPECT_EQ(plan.depth_split, Bytes(c.depth + 1, 0));
  }
}

TEST(BicTest, NodeWithoutChildrenStaysLeaf) {
  // Mixed root counts, no children: splitting would only be scored against unseen leaves.
  CountTrie trie(2, 1);
  const NodeIndex root[] = {ROOT};
  for (Symbol i = 0; i < 100; ++i) trie.count_position(root, i % 2);
  const oracle::SplitPlan plan = oracle::plain_bic_select(trie, 1e-3);
  EXPECT_EQ(plan.node_split, Bytes{0});
}

oracle::SplitPlan dense_bic(const CountTrie& trie, double penalty) {
  const std::size_t m = trie.alphabet_size(), depth = trie.storage_depth(), n = trie.node_count();
  const double node_penalty =
      std::log(static_cast<double>(std::max<Count>(trie.sample_size(), 1))) *
      ((penalty * 0.5) * static_cast<double>(m - 1));
  oracle::SplitPlan plan{Bytes(n, 0), Bytes(depth + 1, 0)};
  std::vector<double> score(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    double total = 0.0;
    for (Symbol j = 0; node.count != 0 && j < m; ++j) {
      for (OutcomeIndex o = node.first_outcome; o != NO_INDEX; o = trie.outcomes()[o].next) {
        const OutcomeCount record = trie.outcomes()[o];
        if (record.symbol != j) continue;
        const double c = static_cast<double>(record.count);
        if (record.count != 0) total = total + std::log(c / static_cast<double>(node.count)) * c;
        break;
      }
    }
    score[i] = total - node_penalty;
    if (node.depth == depth || node.first_child == NO_INDEX) continue;
    double sum = 0.0;
    std::size_t k = 0;
    for (EdgeIndex e = node.first_child; e != NO_INDEX; e = trie.edges()[e].next) {
      sum = sum + score[trie.edges()[e].child.value()];
      ++k;
    }
    sum = sum - node_penalty * static_cast<double>(m - k);
    if (sum > score[i]) {
      score[i] = sum;
      plan.node_split[i] = 1;
    }
  }
  return plan;
}

struct RandomCase {
  std::size_t alphabet, depth, length;
  double penalty, follow;
};

class BicDenseAgreementTest : public testing::TestWithParam<RandomCase> {};

TEST_P(BicDenseAgreementTest, SameDecisionsAsDenseRecursion) {
  const RandomCase& c = GetParam();
  testing_support::expect_plans_agree(
      31, c.alphabet, c.depth, c.length, c.follow,
      [&](const CountTrie& trie) { return oracle::plain_bic_select(trie, c.penalty); },
      [&](const CountTrie& trie) { return dense_bic(trie, c.penalty); });
}

INSTANTIATE_TEST_SUITE_P(Alphabets, BicDenseAgreementTest,
                         testing::Values(RandomCase{2, 6, 400, 1.0, 0.6},
                                         RandomCase{3, 4, 400, 0.5, 0.6},
                                         RandomCase{5, 3, 600, 0.3, 0.7},
                                         RandomCase{300, 2, 3000, 1e-3, 0.9},
                                         RandomCase{320, 3, 2000, 1e-3, 0.95}));

}  // namespace
}  // namespace ostrel
