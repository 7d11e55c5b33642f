// Counts against the fit of the rows themselves: however rows are split into parts and
// calls, merged in whatever order, and saved and loaded, fitting the counts gives the
// trie that fitting the rows in their order gives, record for record.

#include "counts/counts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core_test_support.hpp"
#include "fit/fit.hpp"
#include "state/counts_state.hpp"
#include "state/state.hpp"

namespace ostrel {
namespace {

using testing_support::counts_of;
using testing_support::expect_same_trie;
using testing_support::NEEDS_EXPLICIT_BETA;

// Rows [from, to) of `rows`.
Rows slice(const Rows& rows, std::size_t from, std::size_t to) {
  Rows out;
  for (std::size_t r = from; r < to; ++r) {
    for (std::size_t i = 0; i < rows.row_length(r); ++i) out.push_symbol(rows.symbol(r, i));
    out.end_row();
  }
  return out;
}

Counts merged(const Counts& a, const Counts& b) {
  auto out = Counts::merge(a, b);
  EXPECT_TRUE(out.has_value()) << out.error();
  return std::move(*out);
}

std::vector<FitConfig> configs(std::size_t alphabet, std::size_t depth) {
  std::vector<FitConfig> out;
  for (const char32_t* method : {U"bct", U"bic", U"ps"}) {
    const bool bct = std::u32string_view(method) == U"bct";
    out.push_back(*FitConfig::create(
        alphabet, depth, method,
        bct && alphabet >= NEEDS_EXPLICIT_BETA ? std::optional(0.9) : std::nullopt, std::nullopt,
        U"condition"));
  }
  return out;
}

void expect_fits_as_rows(const Counts& counts, const Rows& rows) {
  EXPECT_EQ(counts.sample_size(), counted_positions(rows, counts.max_depth()));
  for (const FitConfig& config : configs(counts.alphabet_size(), counts.max_depth())) {
    SCOPED_TRACE(std::string(canonical_name(config.method)));
    const auto expected = fit_rows(rows, config);
    ASSERT_TRUE(expected.has_value());
    const FittedTrie got = fit_counts(counts, config);
    expect_same_trie(got.first, expected->first);
    EXPECT_EQ(got.second, expected->second);
  }
}

// Each input's rows cut into parts at random, each part added in one to three calls,
// the parts numbered in a shuffled order and merged in a random order; saved and
// loaded on the way.
TEST(CountsTest, AnySplitAndMergeOrderFitsAsTheRows) {
  std::mt19937_64 rng(20261209);
  for (const auto& input : testing_support::inputs()) {
    SCOPED_TRACE(input.name);
    const std::size_t depth = input.storage;
    const std::size_t n = input.rows.size();
    // Cuts between parts, then the order the parts are numbered in.
    std::vector<std::size_t> cuts{0, n};
    for (int k = 0; k < 3; ++k) cuts.push_back(n == 0 ? 0 : rng() % (n + 1));
    std::sort(cuts.begin(), cuts.end());
    const std::size_t parts = cuts.size() - 1;
    std::vector<std::uint64_t> ids(parts);
    for (std::size_t p = 0; p < parts; ++p) ids[p] = 10 * p + rng() % 10;
    std::vector<Counts> pieces;
    for (std::size_t p = 0; p < parts; ++p) {
      auto piece = Counts::create(input.alphabet, depth, ids[p]);
      ASSERT_TRUE(piece.has_value());
      // Up to three calls, each with some of the part's rows.
      std::size_t from = cuts[p];
      for (int call = 0; call < 3; ++call) {
        const std::size_t to = call == 2 ? cuts[p + 1] : from + rng() % (cuts[p + 1] - from + 1);
        ASSERT_TRUE(piece->add(slice(input.rows, from, to)).has_value());
        from = to;
      }
      pieces.push_back(std::move(*piece));
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    while (pieces.size() > 1) {
      const std::size_t i = rng() % (pieces.size() - 1);
      Counts joined = merged(pieces[i], pieces[i + 1]);
      if (rng() % 2 == 0) {
        const std::string state = save_counts(joined);
        auto loaded = load_counts(
            std::span(reinterpret_cast<const std::uint8_t*>(state.data()), state.size()));
        ASSERT_TRUE(loaded.has_value()) << loaded.error();
        EXPECT_EQ(save_counts(*loaded), state);
        joined = std::move(*loaded);
      }
      pieces[i] = std::move(joined);
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
    EXPECT_EQ(pieces[0].part(), *std::max_element(ids.begin(), ids.end()));
    expect_fits_as_rows(pieces[0], input.rows);
  }
}

// One long row cut into chunks that overlap by the depth counts each position once.
TEST(CountsTest, OverlappingChunksOfARowFitAsTheRow) {
  const Rows row = testing_support::markov_rows(5, 4, 1, 5000, 0.8);
  const std::size_t depth = 6;
  auto counts = Counts::create(4, depth, 0);
  ASSERT_TRUE(counts.has_value());
  for (std::size_t start = 0; start + depth < row.row_length(0); start += 777) {
    Rows chunk;
    for (std::size_t i = start; i < std::min(start + 777 + depth, row.row_length(0)); ++i) {
      chunk.push_symbol(row.symbol(0, i));
    }
    chunk.end_row();
    ASSERT_TRUE(counts->add(chunk).has_value());
  }
  expect_fits_as_rows(*counts, row);
}

TEST(CountsTest, RefusesWhatCannotBeMergedOrCounted) {
  const Rows rows{{0, 1, 2, 1, 0}};
  const Counts a = counts_of(rows, 3, 1, 4);
  EXPECT_EQ(Counts::merge(a, counts_of(rows, 4, 1, 5)).error(),
            "cannot merge Counts of alphabet_size 3 and 4");
  EXPECT_EQ(Counts::merge(a, counts_of(rows, 3, 2, 5)).error(),
            "cannot merge Counts of max_depth 1 and 2");
  EXPECT_EQ(Counts::merge(counts_of(rows, 3, 1, 4), a).error(),
            "both Counts hold rows of part 4, so their order is unknown; give each its own part");
  // A part without rows merges with a part of the same id.
  const Counts empty = *Counts::create(3, 1, 4);
  EXPECT_EQ(save_counts(merged(empty, a)), save_counts(a));
  EXPECT_EQ(Counts::create(1, 1, 0).error(), "alphabet_size must be at least 2");
  EXPECT_EQ(Counts::create(2, 65536, 0).error(), "max_depth must be no larger than 65535");
  // A failed add changes nothing.
  Counts c = a;
  EXPECT_EQ(c.add(Rows{{0, 1}, {2, 3}}).error(), "symbol 3 at data[1][1] is outside 0..3");
  EXPECT_EQ(save_counts(c), save_counts(a));
}

// Counted from their start, a row is its symbols after max_depth copies of START (3 here): the
// state holds every position's key and the padded rows' ordinals, and merges only with its kind.
TEST(CountsTest, CountedFromTheirStartEveryPositionHasAKey) {
  const Counts counts = counts_of(Rows{{1, 0, 2}, {}, {2}}, 3, 2, 0, true);
  EXPECT_TRUE(counts.starts());
  EXPECT_EQ(counts.sample_size(), 4u);
  // Padded rows (3, 3, 1, 0, 2) and (3, 3, 2): keys (context most recent first | own) at the
  // ordinals of their positions, in context order: (0, 1 | 2) at 4, (1, 3 | 0) at 3,
  // (3, 3 | 1) at 2 and (3, 3 | 2) at 7.
  StateWriter out(StateKind::Counts, 2);
  for (std::uint64_t v : {3, 2}) out.varint(v);
  out.byte(1);
  for (std::uint64_t v : {1, 0, 3, 8, 4}) out.varint(v);
  for (std::uint64_t v : {0, 0, 1, 2, 1, 4, 0, 1, 3, 0, 1, 3, 0, 3, 3, 1, 1, 2, 2, 2, 1, 7}) {
    out.varint(v);
  }
  EXPECT_EQ(save_counts(counts), std::move(out).take());
  const std::string message =
      "cannot merge Counts counted from their rows' start (starts=True) with Counts that are "
      "not: their contexts differ";
  const Counts plain = counts_of(Rows{{1, 0, 2}}, 3, 2, 1);
  EXPECT_EQ(Counts::merge(counts, plain).error(), message);
  EXPECT_EQ(Counts::merge(plain, counts).error(), message);
  EXPECT_EQ(merged(counts, counts_of(Rows{{2, 2}}, 3, 2, 1, true)).sample_size(), 6u);
}

std::string load_error(std::string state) {
  const auto loaded =
      load_counts(std::span(reinterpret_cast<const std::uint8_t*>(state.data()), state.size()));
  return loaded.has_value() ? std::string("loaded") : loaded.error();
}

// A state by hand: alphabet 3, depth 1, one part (id 0, one row of 4 symbols), the
// given leaves as (shared, key symbols, count, first).
std::string state_of(std::vector<std::vector<std::uint64_t>> leaves) {
  StateWriter out(StateKind::Counts, 1);
  for (std::uint64_t v : {3, 1, 1, 0, 1, 4}) out.varint(v);
  out.varint(leaves.size());
  for (const auto& leaf : leaves) {
    for (std::uint64_t v : leaf) out.varint(v);
  }
  return std::move(out).take();
}

TEST(CountsTest, StatesAreCheckedBeforeTheyAreTrusted) {
  const Counts real = counts_of(Rows{{0, 1, 2, 1, 0, 2, 2, 1}, {1, 1, 0}}, 3, 2, 7);
  const std::string state = save_counts(real);
  for (std::size_t n = 0; n < state.size(); ++n) {
    EXPECT_NE(load_error(state.substr(0, n)), "loaded") << n;
  }
  EXPECT_EQ(load_error(state + '\0'), "invalid ostrel state: it has 1 bytes too many");
  // Keys (0 | 1) and (1 | 0) at ordinals 1 and 2: a valid state.
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 1, 1}, {0, 1, 0, 1, 2}})), "loaded");
  EXPECT_EQ(load_error(state_of({{0, 1, 0, 1, 2}, {0, 0, 1, 1, 1}})),
            "invalid ostrel state: key 1 does not follow key 0");
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 1, 1}, {1, 1, 1, 2}})),
            "invalid ostrel state: key 1 does not follow key 0");
  EXPECT_EQ(load_error(state_of({{0, 0, 3, 1, 1}})),
            "invalid ostrel state: symbol 3 of key 0 is outside 0..3");
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 0, 1}})),
            "invalid ostrel state: key 0 counts no position");
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 1, 4}})),
            "invalid ostrel state: key 0 starts at ordinal 4, beyond the 4 symbols of its parts");
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 1, 2}, {0, 1, 0, 1, 2}})),
            "invalid ostrel state: two keys start at ordinal 2");
  EXPECT_EQ(load_error(state_of({{1, 0, 1, 1, 1}})),
            "invalid ostrel state: the first key shares symbols");
  EXPECT_EQ(load_error(state_of({{0, 0, 1, 3, 1}, {0, 1, 0, 2, 2}})),
            "invalid ostrel state: it counts 5 positions in 4 symbols");
  // Counts from their rows' start: layout 2, its mode byte 1, and their keys' context symbols
  // may be START (3), which then fills the rest of the context; no position predicts it.
  auto from_start = [](std::uint8_t mode, std::vector<std::uint64_t> leaf) {
    StateWriter out(StateKind::Counts, 2);
    for (std::uint64_t v : {3, 2}) out.varint(v);
    out.byte(mode);
    for (std::uint64_t v : {1, 0, 1, 5, 1}) out.varint(v);
    for (std::uint64_t v : leaf) out.varint(v);
    return std::move(out).take();
  };
  EXPECT_EQ(load_error(from_start(1, {0, 1, 3, 0, 1, 3})), "loaded");
  EXPECT_EQ(load_error(from_start(0, {0, 1, 3, 0, 1, 3})),
            "invalid ostrel state: mode 0 is not 1 (counts from their rows' start)");
  EXPECT_EQ(load_error(from_start(2, {0, 1, 3, 0, 1, 3})),
            "invalid ostrel state: mode 2 is not 1 (counts from their rows' start)");
  EXPECT_EQ(load_error(from_start(1, {0, 3, 1, 0, 1, 3})),
            "invalid ostrel state: key 0 holds a symbol before the start of its row");
  EXPECT_EQ(load_error(from_start(1, {0, 1, 3, 3, 1, 3})),
            "invalid ostrel state: key 0 predicts the start of a row");
  EXPECT_EQ(load_error(from_start(1, {0, 1, 4, 0, 1, 3})),
            "invalid ostrel state: symbol 4 of key 0 is outside 0..4");
  // A leaf count far beyond the bytes is refused before anything is allocated.
  StateWriter huge(StateKind::Counts, 1);
  for (std::uint64_t v : {3ull, 1ull, 1ull, 0ull, 1ull, 4ull, 1ull << 60}) huge.varint(v);
  EXPECT_EQ(load_error(std::move(huge).take()), "invalid ostrel state: it ends early");
}

}  // namespace
}  // namespace ostrel
