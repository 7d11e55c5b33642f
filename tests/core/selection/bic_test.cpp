// Tests for the bic rule through the plain selector: documented decisions, the penalty that turns a
// split into a leaf and ties (agreement with the dense recursion: dense_agreement_test.cpp).

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

}  // namespace
}  // namespace ostrel
