// Tests for the fast paths of scoring and sampling: the context lookup answers, walked afresh
// or one symbol after the last, with and without its tables, exactly as the deepest selected
// suffix does; the sampler draws the same symbols whether or not it remembers per node.

#include "model/context_lookup.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core_test_support.hpp"
#include "model/sampling.hpp"

namespace ostrel {
namespace {

using testing_support::markov_rows;

struct LookupCase {
  std::u32string method;
  std::size_t alphabet, depth;
};

OSTRELObject fitted_model(const LookupCase& c, std::uint64_t seed) {
  OSTRELObject model = testing_support::model_for(c.alphabet, c.depth, c.method);
  EXPECT_TRUE(model.fit(markov_rows(seed, c.alphabet, 2, 4000, 0.75)).has_value());
  return model;
}

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, AnswersAsTheDeepestSelectedSuffix) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    const OSTRELObject model = fitted_model(GetParam(), seed);
    const CountTrie& trie = *model.trie;
    const TreeMask& mask = *model.mask;
    // A sequence that mostly follows the training rule, so that walks go deep.
    const Rows rows = markov_rows(seed + 100, trie.alphabet_size(), 1, 3000, 0.75);
    std::vector<Symbol> sequence;
    for (std::size_t t = 0; t < rows.row_length(0); ++t) sequence.push_back(rows.symbol(0, t));
    for (const Count queries : {Count{0}, Count{1} << 40}) {  // list walks, then tables
      ContextLookup lookup(trie, mask.terminal, queries);
      ContextLookup::Walk walk = lookup.walk(std::span<const Symbol>(sequence).first(0));
      for (std::size_t t = 0; t < sequence.size(); ++t) {
        const auto history = std::span<const Symbol>(sequence).first(t);
        const NodeIndex expected = deepest_selected_suffix(trie, history, mask.kept, mask.terminal);
        if (t > 0) walk = lookup.walk_after(walk, history);
        ASSERT_EQ(walk.answer, expected) << "after " << t << " symbols";
        ASSERT_EQ(lookup.walk(history).answer, expected);
        ASSERT_EQ(walk.depth, trie.node(walk.reached).depth);
      }
    }
  }
}

TEST_P(LookupTest, SamplerDrawsTheSameWithAndWithoutItsTables) {
  const OSTRELObject model = fitted_model(GetParam(), 7);
  const std::vector<Symbol> history = {1, 0, 1};
  // Drawing few leaves every table out; drawing many builds them all.
  Sampler plain(model, history, 42, 0);
  Sampler fast(model, history, 42, Count{1} << 40);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(plain.next(), fast.next()) << "draw " << i;
}

INSTANTIATE_TEST_SUITE_P(Selectors, LookupTest,
                         ::testing::Values(LookupCase{U"bct", 2, 8}, LookupCase{U"bct", 4, 10},
                                           LookupCase{U"bic", 3, 4}, LookupCase{U"bic", 300, 2},
                                           LookupCase{U"peres_shield", 4, 6},
                                           LookupCase{U"bct", 4, 0}));

}  // namespace
}  // namespace ostrel
