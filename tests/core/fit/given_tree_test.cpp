// Fitting a given tree: the tree a selector chooses fits, record for record,
// as fitting with that selector; any tree fits as the rule as written fits it.

#include "fit/given_tree.hpp"

#include <gtest/gtest.h>

#include <random>

#include "core_test_support.hpp"
#include "testing/plain_given_tree.hpp"

namespace ostrel {
namespace {

using testing_support::counts_of;
using testing_support::expect_same_trie;
using testing_support::model_for;
using testing_support::random_tree;
using testing_support::rows_of;

TEST(GivenTree, TheSelectedTreeFitsAsTheSelectorsFit) {
  for (const auto& input : testing_support::inputs()) {
    if (input.conditioning != input.storage || input.storage > 12) continue;
    for (const char32_t* method : {U"bct", U"bic"}) {
      SCOPED_TRACE(input.name);
      OSTRELObject selected = model_for(input.alphabet, input.storage, method);
      ASSERT_TRUE(selected.fit(input.rows).has_value());
      const Rows tree = rows_of(selected.get_contexts().value());
      OSTRELObject from_rows = model_for(input.alphabet, input.storage, method);
      ASSERT_TRUE(from_rows.fit_tree(input.rows, tree).has_value());
      OSTRELObject from_counts = model_for(input.alphabet, input.storage, method);
      ASSERT_TRUE(from_counts.fit_tree(counts_of(input.rows, input.alphabet, input.storage), tree)
                      .has_value());
      for (const OSTRELObject* given : {&from_rows, &from_counts}) {
        expect_same_trie(*given->trie, *selected.trie);
        EXPECT_EQ(given->mask->terminal, selected.mask->terminal);
      }
    }
  }
}

TEST(GivenTree, AnyTreeFitsAsTheRuleAsWritten) {
  std::mt19937_64 rng(1225);
  for (int k = 0; k < 60; ++k) {
    const std::size_t alphabet = 2 + k % 4, depth = k % 6;
    // Sparse data under a tree that splits often: nodes without data split too.
    const Rows rows = testing_support::random_rows(rng, testing_support::Source::Skewed, alphabet,
                                                   1 + k % 3, 0, 40 + 30 * (k % 5));
    const auto contexts = random_tree(rng, alphabet, depth, 0.7);
    SCOPED_TRACE(testing::Message() << "case " << k);
    const auto plain = oracle::plain_fit_given_tree(rows, alphabet, depth, contexts);
    const auto tree = ContextTree::build(rows_of(contexts), alphabet, depth).value();
    const auto config = model_for(alphabet, depth, U"bic").config;
    const auto fitted = fit_given_rows(rows, tree, config).value();
    expect_same_trie(fitted.first, plain.first);
    EXPECT_EQ(fitted.second, plain.second);
    const auto counted = fit_given_counts(counts_of(rows, alphabet, depth), tree, config);
    expect_same_trie(counted.first, plain.first);
  }
}

TEST(GivenTree, AFailedFitChangesNothing) {
  OSTRELObject model = model_for(3, 2, U"bct");
  ASSERT_TRUE(model.fit(Rows{{0, 1, 2, 0, 1, 2, 1}}).has_value());
  const auto before = model.get_contexts().value();
  EXPECT_EQ(model.fit_tree(Rows{{0, 1, 5}}, rows_of({{}})).error(),
            "symbol 5 at data[0][2] is outside 0..3");
  EXPECT_FALSE(model.fit_tree(Rows{{0, 1, 2}}, rows_of({{0}})).has_value());
  EXPECT_EQ(model.fit_tree(counts_of(Rows{}, 3, 1), rows_of({{}})).error(),
            "data holds counts of max_depth 1; the model's is 2");
  EXPECT_EQ(model.get_contexts().value(), before);
}

}  // namespace
}  // namespace ostrel
