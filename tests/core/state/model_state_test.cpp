// Tests for the persistent state of a model: every fitted model comes back record for record,
// and a state that breaks any rule of the layout is refused with what is wrong.

#include "state/model_state.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core_test_support.hpp"
#include "state/state.hpp"

namespace ostrel {
namespace {

using testing_support::expect_same_trie;
using testing_support::markov_rows;
using testing_support::model_for;

std::span<const std::uint8_t> bytes_of(const std::string& state) {
  return {reinterpret_cast<const std::uint8_t*>(state.data()), state.size()};
}

void expect_same_model(const OSTRELObject& a, const OSTRELObject& b) {
  EXPECT_EQ(a.config.method, b.config.method);
  EXPECT_EQ(a.config.alphabet_size, b.config.alphabet_size);
  EXPECT_EQ(a.config.max_depth, b.config.max_depth);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.config.beta),
            std::bit_cast<std::uint64_t>(b.config.beta));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.config.penalty),
            std::bit_cast<std::uint64_t>(b.config.penalty));
  ASSERT_EQ(a.fitted(), b.fitted());
  if (!a.fitted()) return;
  expect_same_trie(*a.trie, *b.trie);
  EXPECT_EQ(a.mask->kept, b.mask->kept);
  EXPECT_EQ(a.mask->terminal, b.mask->terminal);
}

// Saves, loads and saves again: the same model and the same bytes.
void expect_round_trip(const OSTRELObject& model) {
  const std::string state = save_model(model);
  auto loaded = load_model(bytes_of(state));
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  expect_same_model(model, *loaded);
  EXPECT_EQ(save_model(*loaded), state);
}

struct TripCase {
  std::u32string method;
  std::size_t alphabet, depth, length;
};

class RoundTripTest : public ::testing::TestWithParam<TripCase> {};

TEST_P(RoundTripTest, FittedModelsComeBackRecordForRecord) {
  const TripCase& c = GetParam();
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE(seed);
    OSTRELObject model = model_for(c.alphabet, c.depth, c.method);
    ASSERT_TRUE(model.fit(markov_rows(seed, c.alphabet, 3, c.length, 0.7)).has_value());
    expect_round_trip(model);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, RoundTripTest,
    ::testing::Values(TripCase{U"bct", 2, 6, 400}, TripCase{U"bct", 4, 4, 3000},
                      TripCase{U"bic", 3, 3, 2000}, TripCase{U"bic", 300, 2, 3000},
                      TripCase{U"peres_shield", 4, 5, 20000}, TripCase{U"ps", 70, 3, 30000},
                      TripCase{U"bct", 300, 2, 5000}));

TEST(RoundTripTest, UnfittedEmptyAndWideModels) {
  expect_round_trip(model_for(2, 0, U"bct"));
  expect_round_trip(model_for(9, 65535, U"bic"));
  OSTRELObject empty = model_for(5, 3, U"peres_shield");
  ASSERT_TRUE(empty.fit(Rows{}).has_value());
  expect_round_trip(empty);
  // Symbols of the widest alphabet take the whole word.
  const Symbol widest = std::numeric_limits<Symbol>::max();
  OSTRELObject wide = model_for(widest, 2, U"peres_shield");
  ASSERT_TRUE(wide.fit({{widest - 1, 0, widest - 1, 0, 7, widest - 2}}).has_value());
  expect_round_trip(wide);
}

TEST(RoundTripTest, EveryShorterStateIsRefused) {
  OSTRELObject model = model_for(3, 2, U"bic");
  ASSERT_TRUE(model.fit(markov_rows(4, 3, 2, 200, 0.8)).has_value());
  const std::string state = save_model(model);
  for (std::size_t size = 0; size < state.size(); ++size) {
    const auto loaded = load_model(bytes_of(state).first(size));
    ASSERT_FALSE(loaded.has_value()) << size;
    EXPECT_EQ(loaded.error().rfind("invalid ostrel state: ", 0), 0u);
  }
}

// A hand-written state: the configuration, then the nodes as given.
struct Node {
  std::uint64_t gap, symbol;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> outcomes;  // symbol, count
};

struct Hand {
  std::uint8_t method = 0;
  std::uint64_t alphabet = 3, depth = 1;
  double beta = 0.75, penalty = 1.0;
  std::uint8_t fitted = 1;
  std::vector<Node> nodes = {{0, 0, {{0, 2}, {1, 1}}}, {1, 1, {{0, 1}}}};
  std::int64_t extra_records = 0;  // added to the true number of records
  std::string tail;
  std::optional<std::uint64_t> stored_depth;  // written in layout 2

  std::string state() const {
    StateWriter out(StateKind::Model, stored_depth ? 2 : 1);
    out.byte(method);
    out.varint(alphabet);
    out.varint(depth);
    out.float64(beta);
    out.float64(penalty);
    out.byte(fitted);
    if (stored_depth) out.varint(*stored_depth);
    if (fitted == 1) {
      std::uint64_t records = 0;
      for (const Node& node : nodes) records += node.outcomes.size();
      out.varint(nodes.size());
      out.varint(records + static_cast<std::uint64_t>(extra_records));
      const std::size_t width = std::max<std::size_t>(1, (std::bit_width(alphabet - 1) + 7) / 8);
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i > 0) {
          out.varint(nodes[i].gap);
          out.word(nodes[i].symbol, width);
        }
        out.varint(nodes[i].outcomes.size());
        for (const auto& [symbol, count] : nodes[i].outcomes) {
          out.word(symbol, width);
          out.varint(count);
        }
      }
    }
    std::string bytes = std::move(out).take();
    return bytes + tail;
  }
};

TEST(HostileStateTest, TheHandWrittenBaseLoads) {
  const std::string state = Hand{}.state();
  const auto loaded = load_model(bytes_of(state));
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(*loaded->sample_size(), 3u);
  EXPECT_EQ(*loaded->get_contexts(), (std::vector<std::vector<Symbol>>{{}, {1}}));
}

struct Corruption {
  const char* name;
  Hand hand;
  const char* message;
};

std::vector<Corruption> corruptions() {
  std::vector<Corruption> out;
  auto add = [&](const char* name, auto change, const char* message) {
    Hand hand;
    change(hand);
    out.push_back({name, hand, message});
  };
  add(
      "method", [](Hand& h) { h.method = 3; },
      "method 3 is not 0 (bct), 1 (bic) or 2 (peres_shield)");
  add("flag", [](Hand& h) { h.fitted = 2; }, "the fitted flag 2 is neither 0 nor 1");
  add("alphabet", [](Hand& h) { h.alphabet = 1; }, "alphabet_size must be at least 2");
  add("depth", [](Hand& h) { h.depth = 65536; }, "max_depth must be no larger than 65535");
  add(
      "beta", [](Hand& h) { h.beta = 1.0; },
      "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection");
  add("unused-penalty", [](Hand& h) { h.penalty = 2.0; }, "penalty 2 is not 1 under bct");
  add(
      "penalty", [](Hand& h) { h.method = 1, h.penalty = 0.0; },
      "penalty must be finite and strictly positive");
  add(
      "unused-beta", [](Hand& h) { h.method = 2, h.beta = 0.25; },
      "beta 0.25 is not a default beta");
  add("no-root", [](Hand& h) { h.nodes.clear(); }, "a fitted model has no root");
  add("gap-0", [](Hand& h) { h.nodes[1].gap = 0; }, "node 1 has parent gap 0, outside 1..1");
  add("gap-far", [](Hand& h) { h.nodes[1].gap = 2; }, "node 1 has parent gap 2, outside 1..1");
  add(
      "edge-symbol", [](Hand& h) { h.nodes[1].symbol = 3; },
      "node 1 has edge symbol 3, outside 0..3");
  add(
      "outcome-symbol", [](Hand& h) { h.nodes[0].outcomes[1].first = 7; },
      "node 0 counts symbol 7, outside 0..3");
  add(
      "too-deep", [](Hand& h) { h.nodes.push_back({1, 0, {}}); },
      "node 2 lies at depth 2, below the model's 1");
  // peres_shield stores floor(ln ln 3) = 0 levels for three positions.
  add(
      "too-deep-for-the-sample", [](Hand& h) { h.method = 2; },
      "node 1 lies at depth 1, below the model's 0");
  add(
      "zero-count", [](Hand& h) { h.nodes[0].outcomes[1].second = 0; },
      "node 0 counts symbol 1 0 times");
  add(
      "overflow", [](Hand& h) { h.nodes[0].outcomes = {{0, ~0ULL}, {1, 1}}; },
      "the counts of node 0 overflow 64 bits");
  add(
      "twin-children", [](Hand& h) { h.nodes.push_back({2, 1, {}}); },
      "node 0 has two children for symbol 1");
  add(
      "twin-outcomes", [](Hand& h) { h.nodes[0].outcomes = {{0, 2}, {0, 1}}; },
      "node 0 counts symbol 0 twice");
  add(
      "more-than-the-parent", [](Hand& h) { h.nodes[1].outcomes = {{0, 3}}; },
      "node 1 counts symbol 0 more often than its parent 0 has left");
  add(
      "siblings-more-than-the-parent",
      [](Hand& h) {
        h.nodes.push_back({2, 2, {{0, 1}, {1, 1}}}), h.nodes.push_back({3, 0, {{0, 1}}});
      },
      "node 3 counts symbol 0 more often than its parent 0 has left");
  // Counts of two bytes leave room for a record the nodes do not hold.
  add(
      "records-short",
      [](Hand& h) { h.nodes[0].outcomes = {{0, 200}, {1, 300}}, h.extra_records = 1; },
      "the nodes hold fewer outcome records than counted");
  add(
      "records-over", [](Hand& h) { h.extra_records = -1; },
      "the nodes hold more outcome records than counted");
  add(
      "many-outcomes", [](Hand& h) { h.nodes[0].outcomes = {{0, 1}, {1, 1}, {2, 1}, {2, 1}}; },
      "a node's number of outcomes 4 is above 3");
  add("trailing", [](Hand& h) { h.tail = "x"; }, "it has 1 bytes too many");
  add(
      "stated-depth-derivable", [](Hand& h) { h.stored_depth = 1; },
      "layout 2 states the depth 1 that layout 1 derives");
  add(
      "stated-depth-too-deep", [](Hand& h) { h.method = 2, h.stored_depth = 2; },
      "the stored depth 2 is above 1");
  add(
      "stated-depth-unfitted", [](Hand& h) { h.fitted = 0, h.stored_depth = 1; },
      "layout 2 holds only fitted models");
  add(
      "nodes-beyond-the-bytes",
      [](Hand& h) {
        h.tail = "";
        h.extra_records = 1000;
      },
      "it ends early");
  return out;
}

TEST(HostileStateTest, EachBrokenRuleIsNamed) {
  for (const Corruption& c : corruptions()) {
    SCOPED_TRACE(c.name);
    const std::string state = c.hand.state();
    const auto loaded = load_model(bytes_of(state));
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error(), std::string("invalid ostrel state: ") + c.message);
  }
}

TEST(HostileStateTest, OtherKindsAndLayoutsAreRefused) {
  std::string counts = std::move(StateWriter(StateKind::Counts, 1)).take();
  EXPECT_EQ(load_model(bytes_of(counts)).error(), "invalid ostrel state: it holds no model");
  std::string later = Hand{}.state();
  later[7] = 3;  // the layout version
  EXPECT_EQ(load_model(bytes_of(later)).error(),
            "invalid ostrel state: layout version 3 is not one this ostrel reads (1 to 2)");
}

TEST(RoundTripTest, AGivenTreeUnderPeresShieldStatesItsDepth) {
  // Three positions: peres_shield would store no level, the tree stores one.
  Hand hand;
  hand.method = 2;
  hand.stored_depth = 1;
  const auto loaded = load_model(bytes_of(hand.state()));
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(*loaded->effective_max_depth(), 1u);
  EXPECT_EQ(save_model(*loaded), hand.state());
  OSTRELObject model = model_for(3, 1, U"peres_shield");
  ASSERT_TRUE(model.fit_tree(Rows{{0, 1, 0, 0}}, testing_support::rows_of({{0}, {1}, {2}})));
  EXPECT_EQ(save_model(model)[7], 2);
  expect_round_trip(model);
}

}  // namespace
}  // namespace ostrel
