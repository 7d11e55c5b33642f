// Tests for the state of a mixture grown in order: it loads into the same mixture bit for
// bit, and every field is checked before anything is built.

#include "state/mixture_state.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

bct::Mixture kneser_ney_mixture(bool starts = false) {
  const std::size_t alphabet = 3, depth = 2;
  std::vector<double> discounts{0.5, 0.7, 0.9, 0.6, 0.8, 0.9, 0.7, 0.8, 0.95};
  auto estimator = bct::KneserNey::checked(alphabet, discounts, {0.5, 0.0, 1.5});
  bct::Mixture mixture(alphabet, depth, bct::BctPrior(0.6), *estimator, starts);
  EXPECT_TRUE(mixture.update(testing_support::markov_rows(110, alphabet, 3, 30, 0.6), false));
  return mixture;
}

std::vector<std::uint8_t> bytes_of(const std::string& state) {
  return std::vector<std::uint8_t>(state.begin(), state.end());
}

TEST(MixtureState, LoadsTheSameMixture) {
  for (const bool starts : {false, true}) {
    const bct::Mixture mixture = kneser_ney_mixture(starts);
    auto loaded = load_mixture(bytes_of(save_mixture(mixture)));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(loaded->starts(), starts);
    EXPECT_EQ(loaded->log_evidence(), mixture.log_evidence());
    EXPECT_EQ(loaded->nodes(), mixture.nodes());
    std::vector<double> p(3), q(3);
    for (std::vector<Symbol> history : {std::vector<Symbol>{0, 1}, {2, 2}, {1}, {}}) {
      mixture.predict(history, p);
      loaded->predict(history, q);
      EXPECT_EQ(p, q);
    }
  }
}

// Rows counted from their start: layout 2, whose mode byte (after the header, alphabet 3 and
// depth 2, at 10) is 1 and nothing else.
TEST(MixtureState, RefusesAModeItDidNotWrite) {
  std::vector<std::uint8_t> state = bytes_of(save_mixture(kneser_ney_mixture(true)));
  ASSERT_EQ(state[7], 2);
  ASSERT_EQ(state[10], 1);
  for (const std::uint8_t mode : {0, 2, 0xFF}) {
    state[10] = mode;
    auto loaded = load_mixture(state);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error(), "invalid ostrel state: mode " + std::to_string(mode) +
                                  " is not 1 (rows counted from their start)");
  }
}

TEST(MixtureState, RefusesWhatItDidNotWrite) {
  const std::vector<std::uint8_t> good = bytes_of(save_mixture(kneser_ney_mixture()));
  // Header (8), alphabet 3, depth 2, beta (8), the tag: at 18.
  auto with = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bad = good;
    bad[at] = value;
    return bad;
  };
  auto double_at = [&](std::size_t at, double value) {
    std::vector<std::uint8_t> bad = good;
    std::memcpy(bad.data() + at, &value, 8);
    return bad;
  };
  const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases{
      {with(8, 1), "alphabet_size must be at least 2"},
      {double_at(10, 1.5), "beta must be finite, at least 0.5, and strictly below 1"},
      {with(18, 'D'), "estimator 68 is not 'K'"},
      {double_at(19, 1.0), "discount must be finite, at least 0, and strictly below 1"},
      {double_at(19 + 9 * 8, -1.0), "concentration must be finite and at least 0"},
      {with(good.size() - 1, 7), "symbol 7 of row 2 is outside 0..3"},
      {std::vector<std::uint8_t>(good.begin(), good.end() - 1), "invalid ostrel state: "},
      {[&] {
         auto longer = good;
         longer.push_back(0);
         return longer;
       }(),
       "invalid ostrel state: "},
  };
  for (const auto& [state, message] : cases) {
    auto loaded = load_mixture(state);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_NE(loaded.error().find(message), std::string::npos) << loaded.error();
    EXPECT_EQ(loaded.error().rfind("invalid ostrel state: ", 0), 0u);
  }
}

}  // namespace
}  // namespace ostrel
