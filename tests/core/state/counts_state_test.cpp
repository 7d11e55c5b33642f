// Tests for reading a Counts state: the one-pass reader of small alphabets accepts exactly
// what the field-by-field reader accepts, loads the same value, and leaves the message to
// it; on valid states of several shapes and on every kind of damage to them.

#include "state/counts_state.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What loading `state` gives: the state of the value loaded, or the error.
std::string outcome(const Bytes& state, bool fast) {
  auto loaded = detail::load_counts(state, fast);
  return loaded ? "ok " + save_counts(*loaded) : "error " + loaded.error();
}

TEST(CountsStateTest, OnePassReaderAgreesWithTheFieldReader) {
  std::mt19937_64 rng(17);
  std::vector<Bytes> states;
  for (const std::size_t alphabet : {std::size_t{2}, std::size_t{4}, std::size_t{128}}) {
    for (const std::size_t depth :
         {std::size_t{0}, std::size_t{3}, std::size_t{10}, std::size_t{20}}) {
      Counts counts = testing_support::counts_of(
          testing_support::markov_rows(rng(), alphabet, 2, 400, 0.7), alphabet, depth, 2);
      Counts later = testing_support::counts_of(
          testing_support::markov_rows(rng(), alphabet, 1, 300, 0.3), alphabet, depth, 5);
      const std::string state = save_counts(*Counts::merge(counts, later));
      states.emplace_back(state.begin(), state.end());
    }
  }
  std::size_t refused = 0;
  for (const Bytes& state : states) {
    ASSERT_EQ(outcome(state, true), outcome(state, false));
    ASSERT_EQ(outcome(state, true), "ok " + std::string(state.begin(), state.end()));
    // Every kind of damage: bytes changed anywhere, and the state cut short.
    for (int trial = 0; trial < 400; ++trial) {
      Bytes damaged = state;
      const std::size_t at = 8 + rng() % (state.size() - 8);
      const std::uint8_t values[] = {0, 1, 0x7F, 0x80, 0xFF};
      damaged[at] = trial % 2 == 0
                        ? values[rng() % 5]
                        : static_cast<std::uint8_t>(damaged[at] + (trial % 4 == 1 ? 1 : -1));
      if (trial % 7 == 0) damaged.resize(at);
      const std::string fast = outcome(damaged, true);
      ASSERT_EQ(fast, outcome(damaged, false)) << "byte " << at;
      refused += fast.starts_with("error");
    }
  }
  EXPECT_GT(refused, 1000u);  // the damage was seen, not only survived
}

}  // namespace
}  // namespace ostrel
