// Tests for the plain selection and the expansion of a plan: the order in which an expansion
// creates nodes, the zero-count children of split nodes, the invariants of every returned mask, and
// errors passed through from child creation.

#include "selection/selection.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "core_test_support.hpp"
#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "testing/plain_selection.hpp"

namespace ostrel {
namespace {

using testing_support::expect_valid_mask;
using Bytes = std::vector<std::uint8_t>;

TEST(ExpandPlanTest, ExpandsTheHighestSymbolFirst) {
  CountTrie trie(3, 2);
  ASSERT_EQ(*trie.get_or_create_child(ROOT, 1), 1_node);
  // Split the root and every created depth-1 node; the existing node 1 is a leaf.
  const auto mask = oracle::expand_plan(trie, oracle::SplitPlan{{1, 0}, {0, 1, 0}});
  ASSERT_TRUE(mask.has_value());
  expect_valid_mask(trie, *mask, true);
  ASSERT_EQ(trie.node_count(), 10u);
  // Root: created 2 (symbol 0) and 3 (symbol 2). Node 3 is popped first: 4, 5, 6; then 7-9.
  const NodeIndex parents[] = {NO_INDEX, ROOT,   ROOT,   ROOT,   3_node,
                               3_node,   3_node, 2_node, 2_node, 2_node};
  const Symbol symbols[] = {NO_SYMBOL, 1, 0, 2, 0, 1, 2, 0, 1, 2};
  for (const NodeIndex i : IndexRange<NodeIndex>(1, 10)) {
    SCOPED_TRACE(i.value());
    EXPECT_EQ(trie.node(i).parent, parents[i.value()]);
    EXPECT_EQ(trie.node(i).symbol, symbols[i.value()]);
    EXPECT_EQ(trie.node(i).depth, i < 4_node ? 1 : 2);
    EXPECT_EQ(trie.node(i).count, 0u);
  }
  EXPECT_EQ(mask->kept, Bytes(10, 1));
  EXPECT_EQ(mask->terminal, (Bytes{0, 1, 0, 0, 1, 1, 1, 1, 1, 1}));
}

TEST(ExpandPlanTest, RootDecisionComesFromItsPlanEntry) {
  CountTrie leaf(4, 1);
  const auto one = oracle::expand_plan(leaf, oracle::SplitPlan{{0}, {0, 0}});
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->kept, Bytes{1});
  EXPECT_EQ(one->terminal, Bytes{1});

  CountTrie split(4, 1);
  const auto four = oracle::expand_plan(split, oracle::SplitPlan{{1}, {0, 0}});
  ASSERT_TRUE(four.has_value());
  expect_valid_mask(split, *four, true);
  EXPECT_EQ(four->terminal, (Bytes{0, 1, 1, 1, 1}));
  for (Symbol s = 0; s < 4; ++s) EXPECT_EQ(split.find_child(ROOT, s), NodeIndex(s + 1));
}

TEST(ExpandPlanTest, PassesOnDepthOverflow) {
  Rows rows;
  for (int i = 0; i <= 65535; ++i) rows.push_symbol(0);
  rows.end_row();
  auto trie = from_rows_with_storage(rows, 2, 65535, 65535);
  ASSERT_TRUE(trie.has_value());
  const auto mask = oracle::expand_plan(*trie, oracle::SplitPlan{Bytes(65536, 1), Bytes(65536, 0)});
  ASSERT_FALSE(mask.has_value());
  EXPECT_EQ(mask.error(), "count trie depth overflow");
}

TEST(SelectTest, BicAlphabetThreeAddsTheUnseenContext) {
  auto trie = from_rows_with_storage({{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}}, 3, 1, 1);
  ASSERT_TRUE(trie.has_value());
  const oracle::SplitPlan plan = oracle::plain_bic_select(*trie, 1.0);
  EXPECT_EQ(plan.node_split, (Bytes{1, 0, 0}));
  EXPECT_EQ(plan.depth_split, (Bytes{0, 0}));

  const auto config = FitConfig::create(3, 1, U"bic", {}, {}, U"condition");
  const auto mask = oracle::select(*trie, *config);
  ASSERT_TRUE(mask.has_value());
  expect_valid_mask(*trie, *mask, true);
  ASSERT_EQ(trie->node_count(), 4u);
  EXPECT_EQ(mask->kept, (Bytes{1, 1, 1, 1}));
  EXPECT_EQ(mask->terminal, (Bytes{0, 1, 1, 1}));
  EXPECT_EQ(trie->find_child(ROOT, 2), 3_node);
  EXPECT_EQ(trie->node(3_node).count, 0u);
  EXPECT_EQ(trie->node(3_node).first_outcome, NO_INDEX);
}

class SelectOnRandomTriesTest
    : public testing::TestWithParam<std::tuple<SelectionMethod, std::size_t>> {};

TEST_P(SelectOnRandomTriesTest, MaskFollowsThePlanAndKeepsItsInvariants) {
  const auto [method, alphabet] = GetParam();
  const std::size_t depth = 3;
  const bool large = alphabet > 50;
  // Large alphabets split only under a prior leaning towards splits, or a light penalty.
  const FitConfig config{large ? 0.999 : 0.5, large ? 1e-3 : 0.5, alphabet, depth, method};
  const double follow = method == SelectionMethod::PeresShield ? 0.95 : large ? 0.9 : 0.6;
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    const Rows rows = testing_support::markov_rows(seed, alphabet, 3, large ? 3000 : 400, follow);
    auto trie = from_rows_with_storage(rows, alphabet, depth, depth);
    ASSERT_TRUE(trie.has_value());
    const CountTrie before = *trie;
    oracle::SplitPlan plan;
    if (method == SelectionMethod::Bct) plan = oracle::plain_bct_select(before, config.beta);
    if (method == SelectionMethod::Bic) plan = oracle::plain_bic_select(before, config.penalty);

    const auto mask = oracle::select(*trie, config);
    ASSERT_TRUE(mask.has_value());
    if (method == SelectionMethod::PeresShield) {
      testing_support::expect_same_trie(before, *trie);
      expect_valid_mask(*trie, *mask, false);
      continue;
    }
    expect_valid_mask(*trie, *mask, true);
    for (const NodeIndex node_index : trie->nodes().indices()) {
      const std::size_t i = node_index.value();
      if (!mask->kept[i]) continue;
      const TrieNode& node = trie->node(node_index);
      if (i < before.node_count()) {
        EXPECT_EQ(mask->terminal[i], plan.node_split[i] ? 0 : 1) << "node " << i;
      } else {
        EXPECT_EQ(mask->terminal[i], 1) << "created node " << i;
        EXPECT_EQ(node.count, 0u);
        ASSERT_LT(node.parent.value(), before.node_count());  // created nodes are never split
        EXPECT_EQ(plan.node_split[node.parent.value()], 1);
      }
      EXPECT_LE(node.depth, depth);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, SelectOnRandomTriesTest,
    testing::Combine(testing::Values(SelectionMethod::Bct, SelectionMethod::Bic,
                                     SelectionMethod::PeresShield),
                     testing::Values(std::size_t{2}, std::size_t{5}, std::size_t{300})));

}  // namespace
}  // namespace ostrel
