// Tests for the bct rule through the plain selector: documented decisions, ties and the table
// of subtrees without data (agreement with the dense recursion: dense_agreement_test.cpp).

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

}  // namespace
}  // namespace ostrel
