// Checking a tree given by its contexts: what is accepted, and the message
// that names the first wrong context.

#include "representation/context_tree.hpp"

#include <gtest/gtest.h>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

using testing_support::complete_trees;
using testing_support::rows_of;

TEST(ContextTree, AcceptsEveryCompleteTreeInAnyOrder) {
  for (auto tree : complete_trees(3, 2)) {
    std::reverse(tree.begin(), tree.end());
    const auto built = ContextTree::build(rows_of(tree), 3, 2);
    ASSERT_TRUE(built.has_value()) << built.error();
    EXPECT_EQ(built->leaf_count(), tree.size());
    EXPECT_EQ(built->inner_count(), (tree.size() - 1) / 2);
  }
}

TEST(ContextTree, NamesTheWrongContext) {
  struct Case {
    std::vector<std::vector<Symbol>> contexts;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "contexts holds no context; the tree of the root alone is [[]]"},
      {{{0, 1, 0}, {1}}, "contexts[0] = [0, 1, 0] is longer than max_depth 2"},
      {{{0}, {3, 1}}, "contexts[1] = [3, 1] holds symbol 3, outside 0..3"},
      {{{0}, {1}, {2}, {1}}, "contexts[3] = [1] repeats contexts[1]"},
      {{{0}, {1}, {2}, {0, 2}},
       "contexts[2] = [2] is a suffix of contexts[3] = [0, 2], so it is an "
       "inner node of the tree, not a context"},
      {{{1}, {2}},
       "contexts[0] = [1] lies below the node [], which is not a context and has no child for "
       "symbol 0: such a node needs all 3 children"},
      {{{0}, {2}},
       "contexts[0] = [0] lies below the node [], which is not a context and has no child for "
       "symbol 1: such a node needs all 3 children"},
      {{{0}, {1}},
       "contexts[1] = [1] lies below the node [], which is not a context and has no child for "
       "symbol 2: such a node needs all 3 children"},
      {{{0}, {1}, {0, 2}, {1, 2}},
       "contexts[3] = [1, 2] lies below the node [2], which is not a context and has no child for "
       "symbol 2: such a node needs all 3 children"},
  };
  for (const Case& c : cases) {
    const auto built = ContextTree::build(rows_of(c.contexts), 3, 2);
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error(), c.message);
  }
}

TEST(ContextTree, WalksKeysToTheLeafTheirContextEndsIn) {
  // Leaves in context order (most recent symbol first): [0], [1, 1]... read as
  // contexts oldest first: [0], [0, 1], [1, 1].
  const auto tree = ContextTree::build(rows_of({{1, 1}, {0}, {0, 1}}), 2, 3).value();
  LeafWalk walk(tree);
  // Keys most recent first: 0 ..., then 1 0 ..., then 1 1 ...
  const std::vector<std::vector<Symbol>> keys = {{0, 0, 0}, {0, 1, 1}, {1, 0, 0}, {1, 1, 0}};
  const std::size_t shared[] = {0, 1, 0, 1};
  const std::size_t expected[] = {0, 0, 1, 2};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(walk.next(shared[i], [&](std::size_t d) { return keys[i][d - 1]; }), expected[i]);
  }
}

}  // namespace
}  // namespace ostrel
