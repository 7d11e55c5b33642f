// Tests for the model object: fitting replaces the state only on success, the depths it
// stores, the order of the query checks, Jeffreys smoothing, and the order of contexts.

#include "model/model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

using Seq = std::vector<Symbol>;
using testing_support::dense;

OSTRELObject make_model(std::size_t alphabet, std::size_t max_depth, std::u32string method) {
  const auto config = FitConfig::create(alphabet, max_depth, method, {}, {}, U"condition");
  EXPECT_TRUE(config.has_value());
  return OSTRELObject(*config);
}

template <class T>
ModelError error_of(const ModelResult<T>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? ModelError{ErrorKind::Value, "<no error>"} : result.error();
}

Rows one_row(std::size_t length) {
  Rows rows;
  for (std::size_t t = 0; t < length; ++t) rows.push_symbol(t % 2);
  rows.end_row();
  return rows;
}

const char* const NOT_FITTED = "fit must be called before querying the model";
const char* const NOT_IN_TREE =
    "context is not in the fitted tree; use get_suffix(sequence) for model backoff";

TEST(FitTest, FailureLeavesStateAndSuccessReplacesIt) {
  OSTRELObject model = make_model(3, 2, U"bct");
  const auto refused = model.fit({{0, 5}});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "symbol 5 at data[0][1] is outside 0..3");
  EXPECT_FALSE(model.fitted());
  EXPECT_EQ(error_of(model.sample_size()).message, NOT_FITTED);

  ASSERT_TRUE(model.fit({{0, 1, 2, 0, 1}, {2, 2, 2}}).has_value());
  const Count sample_size = *model.sample_size();
  const std::size_t nodes = *model.node_count();
  const auto contexts = *model.get_contexts();
  EXPECT_EQ(sample_size, 4u);
  EXPECT_EQ(model.fit({{0, 1}, {1, 2, 3, 0}}).error(), "symbol 3 at data[1][2] is outside 0..3");
  EXPECT_EQ(*model.sample_size(), sample_size);
  EXPECT_EQ(*model.node_count(), nodes);
  EXPECT_EQ(*model.get_contexts(), contexts);
  EXPECT_EQ(*model.get_counts(Seq{}), 4u);

  ASSERT_TRUE(model.fit({{0, 1}}).has_value());
  EXPECT_EQ(*model.sample_size(), 0u);
  EXPECT_EQ(*model.get_counts(Seq{}), 0u);
}

struct DepthCase {
  std::u32string method;
  std::size_t max_depth, row_length;
  Count sample_size;
  std::size_t effective_max_depth;
};

TEST(FitTest, StorageDepthFollowsMethodAndSampleSize) {
  const DepthCase cases[] = {
      {U"peres_shield", 5, 20, 15, 0},
      {U"peres_shield", 5, 21, 16, 1},
      {U"peres_shield", 5, 1623, 1618, 1},
      {U"peres_shield", 5, 1624, 1619, 2},
      {U"peres_shield", 1, 1624, 1623, 1},
      {U"peres_shield", 5, 0, 0, 0},
      {U"peres_shield", 5, 7, 2, 0},
      {U"bct", 5, 0, 0, 5},
      {U"bic", 5, 3, 0, 5},
  };
  for (const DepthCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.max_depth << " " << c.row_length);
    OSTRELObject model = make_model(2, c.max_depth, c.method);
    ASSERT_TRUE(model.fit(c.row_length ? one_row(c.row_length) : Rows{}).has_value());
    EXPECT_EQ(*model.sample_size(), c.sample_size);
    EXPECT_EQ(*model.effective_max_depth(), c.effective_max_depth);
  }
}

TEST(FitTest, CountedPositionsSkipRowsNoLongerThanTheContext) {
  EXPECT_EQ(counted_positions({{0, 0, 0}, {0}, {0, 0}, {0, 0, 0, 0, 0}}, 2), 4u);
  EXPECT_EQ(counted_positions({}, 0), 0u);
}

TEST(QueryTest, ChecksSymbolsThenFitThenTree) {
  OSTRELObject model = make_model(4, 1, U"bct");
  EXPECT_EQ(error_of(model.get_counts(Seq{7})).message, "symbol 7 at sequence[0] is outside 0..4");
  EXPECT_EQ(error_of(model.get_distribution(Seq{1, 9})).message,
            "symbol 9 at sequence[1] is outside 0..4");
  EXPECT_EQ(error_of(model.predict_proba(Seq{5, 0})).message,
            "symbol 5 at sequence[0] is outside 0..4");
  for (const ModelError& e :
       {error_of(model.get_counts(Seq{3})), error_of(model.get_transition_counts(Seq{})),
        error_of(model.get_suffix(Seq{0})), error_of(model.get_contexts()),
        error_of(model.node_count()), error_of(model.context_count()),
        error_of(model.effective_max_depth())}) {
    EXPECT_EQ(e.kind, ErrorKind::Runtime);
    EXPECT_EQ(e.message, NOT_FITTED);
  }

  // Peres-Shields on 0, 1, 0, 2, ...: the tree is the root and the context [0].
  model = make_model(3, 1, U"peres_shield");
  Rows rows;
  for (std::size_t t = 0; t < 401; ++t) rows.push_symbol(t % 2 == 0 ? 0 : 1 + t / 2 % 2);
  rows.end_row();
  ASSERT_TRUE(model.fit(rows).has_value());
  ASSERT_EQ(*model.node_count(), 2u);
  EXPECT_EQ(*model.get_counts(Seq{0}), 200u);
  for (const Seq& s : {Seq{0, 1}, Seq{1}, Seq{2}}) {
    const ModelError e = error_of(model.get_counts(s));
    EXPECT_EQ(e.kind, ErrorKind::Key);
    EXPECT_EQ(e.message, NOT_IN_TREE);
  }
  EXPECT_EQ(error_of(model.get_counts(Seq{0, 3})).kind, ErrorKind::Value);
  EXPECT_EQ(*model.get_suffix(Seq{1, 0}), Seq{0});
  EXPECT_EQ(*model.get_suffix(Seq{0, 1}), Seq{});
  EXPECT_EQ(*model.get_contexts(), (std::vector<Seq>{{}, {0}}));
}

TEST(QueryTest, JeffreysSmoothedCounts) {
  OSTRELObject model = make_model(2, 1, U"bct");
  ASSERT_TRUE(model.fit({{0, 1, 1}}).has_value());
  EXPECT_EQ(*model.get_counts(Seq{}), 2u);
  EXPECT_EQ(dense(*model.get_transition_counts(Seq{}), 2), (std::vector<Count>{0, 2}));
  EXPECT_EQ(dense(*model.get_distribution(Seq{}), 2),
            (std::vector<double>{0.16666666666666666, 0.8333333333333334}));

  // Alphabet 3, one row 0, 1, 0, 1, ...: bic adds the context [2] without data.
  model = make_model(3, 1, U"bic");
  ASSERT_TRUE(model.fit({{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}}).has_value());
  ASSERT_EQ(*model.node_count(), 4u);
  ASSERT_EQ(*model.context_count(), 3u);
  EXPECT_EQ(*model.get_contexts(), (std::vector<Seq>{{0}, {1}, {2}}));
  EXPECT_EQ(*model.get_counts(Seq{2}), 0u);
  EXPECT_EQ(dense(*model.get_transition_counts(Seq{2}), 3), (std::vector<Count>(3, 0)));
  EXPECT_EQ(dense(*model.get_distribution(Seq{2}), 3), std::vector<double>(3, 1.0 / 3.0));
  EXPECT_EQ(dense(*model.get_distribution(Seq{0}), 3),
            (std::vector<double>{0.5 / 6.5, 5.5 / 6.5, 0.5 / 6.5}));
}

TEST(QueryTest, PredictionUsesTheChosenSuffix) {
  OSTRELObject model = make_model(3, 3, U"bct");
  ASSERT_TRUE(model.fit(testing_support::markov_rows(3, 3, 2, 300, 0.7)).has_value());
  std::vector<Seq> histories{{}};
  for (std::size_t k = 0; k < histories.size() && histories[k].size() < 4; ++k) {
    for (Symbol s = 0; s < 3; ++s) {
      histories.push_back(histories[k]);
      histories.back().push_back(s);
    }
  }
  std::size_t deeper = 0;
  for (const Seq& h : histories) {
    SCOPED_TRACE(testing::PrintToString(h));
    const Seq suffix = *model.get_suffix(h);
    ASSERT_LE(suffix.size(), h.size());
    EXPECT_TRUE(std::equal(suffix.begin(), suffix.end(), h.end() - suffix.size()));
    deeper += !suffix.empty();
    EXPECT_EQ(dense(*model.predict_proba(h), 3), dense(*model.get_distribution(suffix), 3));
  }
  EXPECT_GT(deeper, 0u);
}

TEST(QueryTest, HandBuiltTreeContextsAndDepthLimit) {
  OSTRELObject model = make_model(3, 3, U"bct");
  CountTrie trie(3, 2);  // storage depth 2, although the tree reaches depth 3
  for (const Seq& path : {Seq{1, 0, 0}, Seq{0, 1}, Seq{2}}) {  // most recent symbol first
    NodeIndex v = ROOT;
    for (Symbol s : path) v = *trie.get_or_create_child(v, s);
  }
  // Nodes 1 to 6 stand for [1], [0, 1], [0, 0, 1], [0], [1, 0] and [2].
  model.mask = TreeMask{std::vector<std::uint8_t>(7, 1), {1, 0, 1, 1, 0, 1, 1}};
  model.trie = std::move(trie);
  EXPECT_EQ(*model.get_contexts(), (std::vector<Seq>{{}, {2}, {0, 1}, {1, 0}, {0, 0, 1}}));
  EXPECT_EQ(*model.context_count(), 5u);
  EXPECT_EQ(*model.get_counts(Seq{0, 1}), 0u);
  EXPECT_EQ(error_of(model.get_counts(Seq{0, 0, 1})).kind, ErrorKind::Key);  // too long
  EXPECT_EQ(*model.get_suffix(Seq{0, 0, 1}), (Seq{0, 1}));
}

}  // namespace
}  // namespace ostrel
