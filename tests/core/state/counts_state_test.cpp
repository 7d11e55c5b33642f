// Tests for reading a Counts state: the one-pass reader of small alphabets accepts exactly
// what the field-by-field reader accepts, loads the same value, and leaves the message to
// it; on valid states of several shapes (of both kinds of counts) and on every kind of damage
// to them.

#include "state/counts_state.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core_test_support.hpp"
#include "state/state.hpp"

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
  // Counted from their start, 127 symbols are the most the one-pass reader takes (with START).
  for (const bool starts : {false, true}) {
    for (const std::size_t alphabet :
         {std::size_t{2}, std::size_t{4}, std::size_t{127}, std::size_t{128}}) {
      for (const std::size_t depth :
           {std::size_t{0}, std::size_t{3}, std::size_t{10}, std::size_t{20}}) {
        if (alphabet == 127 && (!starts || depth == 20)) continue;
        Counts counts = testing_support::counts_of(
            testing_support::markov_rows(rng(), alphabet, 2, 400, 0.7), alphabet, depth, 2, starts);
        Counts later = testing_support::counts_of(
            testing_support::markov_rows(rng(), alphabet, 1, 300, 0.3), alphabet, depth, 5, starts);
        const std::string state = save_counts(*Counts::merge(counts, later));
        states.emplace_back(state.begin(), state.end());
      }
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

// The one-pass reader reads a key's first ordinal as one word: ordinals of every varint length
// (1 to 10 bytes), each also written one byte too long, before other keys and last.
TEST(CountsStateTest, OrdinalsOfEveryLengthReadAsTheFieldReaderReadsThem) {
  // Alphabet 4, depth 1, one part of one row that spans 2^64 - 1 ordinals.
  auto state_with = [](std::size_t longer, std::size_t last) {
    StateWriter out(StateKind::Counts, 1);
    for (const std::uint64_t v : {4ull, 1ull, 1ull, 0ull, 1ull, ~0ull, 16ull}) out.varint(v);
    for (std::size_t i = 0; i < 16; ++i) {
      // Key (i / 4 | i % 4); key i > 0 shares its context symbol unless i % 4 == 0.
      if (i % 4 == 0) {
        for (const std::uint64_t v :
             {std::uint64_t{0}, std::uint64_t{i / 4}, std::uint64_t{0}, std::uint64_t{1}})
          out.varint(v);
      } else {
        for (const std::uint64_t v : {std::uint64_t{1}, std::uint64_t{i % 4}, std::uint64_t{1}})
          out.varint(v);
      }
      // Leaf `last` takes a 10-byte ordinal, leaf i < 10 one of i + 1 bytes.
      const std::size_t bytes = i == last ? 10 : i < 10 ? i + 1 : 1;
      // The largest of its length but i, so that every bit of the word counts.
      std::uint64_t first =
          (bytes == 10 ? ~std::uint64_t{1} : (std::uint64_t{1} << (7 * bytes)) - 1) - i;
      for (std::size_t b = 0; b < bytes || (i == longer && b == bytes); ++b) {
        const bool more = b + 1 < bytes || (i == longer && b + 1 == bytes);
        out.byte(static_cast<std::uint8_t>((first & 0x7F) | (more ? 0x80 : 0)));
        first >>= 7;
      }
    }
    std::string bytes = std::move(out).take();
    return Bytes(bytes.begin(), bytes.end());
  };
  for (std::size_t last : {std::size_t{9}, std::size_t{15}}) {
    const Bytes valid = state_with(99, last);
    ASSERT_EQ(outcome(valid, true), "ok " + std::string(valid.begin(), valid.end())) << last;
    for (std::size_t longer = 0; longer < 16; ++longer) {
      const Bytes state = state_with(longer, last);
      EXPECT_EQ(outcome(state, true), outcome(state, false)) << longer << " " << last;
      EXPECT_TRUE(outcome(state, true).starts_with("error")) << longer << " " << last;
    }
  }
}

}  // namespace
}  // namespace ostrel
