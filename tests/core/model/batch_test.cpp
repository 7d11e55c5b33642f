// Tests for the answers in bulk: every row of a batch is bit for bit the answer of its one
// history, the k most probable symbols are the distribution's, sorted, and the pointwise
// scores add up to the row totals; on seeded models of every selector.

#include "model/batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

using testing_support::dense;

// Histories of 0 to 9 symbols: cuts of the training rows and random ones.
Rows histories_for(const Rows& rows, std::size_t alphabet, std::uint64_t seed,
                   std::size_t count = 300) {
  std::mt19937_64 rng(seed);
  Rows out;
  for (std::size_t h = 0; h < count; ++h) {
    const std::size_t length = rng() % 10;
    const std::size_t r = rng() % rows.size();
    const bool cut = h % 3 != 0 && rows.row_length(r) > length;
    const std::size_t at = cut ? rng() % (rows.row_length(r) - length) : 0;
    for (std::size_t t = 0; t < length; ++t) {
      out.push_symbol(cut ? rows.symbol(r, at + t) : rng() % alphabet);
    }
    out.end_row();
  }
  return out;
}

std::vector<Symbol> history(const Rows& rows, std::size_t r) {
  std::vector<Symbol> out;
  for (std::size_t t = 0; t < rows.row_length(r); ++t) out.push_back(rows.symbol(r, t));
  return out;
}

// Every row of `table` is the distribution of its history.
void expect_answers(const OSTRELObject& model, const Rows& histories,
                    std::span<const double> table) {
  const std::size_t alphabet = model.config.alphabet_size;
  ASSERT_EQ(table.size(), histories.size() * alphabet);
  for (std::size_t r = 0; r < histories.size(); ++r) {
    const std::vector<double> expected =
        dense(*model.predict_proba(history(histories, r)), alphabet);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), table.begin() + r * alphabet))
        << "history " << r;
  }
}

TEST(BatchTest, EveryRowIsTheAnswerOfItsHistory) {
  for (const std::u32string method : {U"bct", U"bic", U"ps"}) {
    for (const std::size_t alphabet : {std::size_t{3}, std::size_t{40}}) {
      SCOPED_TRACE(testing::Message() << "alphabet " << alphabet);
      OSTRELObject model = testing_support::model_for(alphabet, 4, method);
      const Rows rows = testing_support::markov_rows(11, alphabet, 3, 3000, 0.8);
      ASSERT_TRUE(model.fit(rows).has_value());
      const Rows histories = histories_for(rows, alphabet, 5);

      const auto batch = model.predict_proba_batch(histories);
      ASSERT_TRUE(batch.has_value());
      expect_answers(model, histories, *batch);

      for (const std::size_t k : {std::size_t{1}, std::size_t{3}, alphabet, alphabet + 7}) {
        const auto top = model.top_k(histories, k);
        ASSERT_TRUE(top.has_value());
        const std::size_t columns = std::min(k, alphabet);
        ASSERT_EQ(top->columns, columns);
        for (std::size_t r = 0; r < histories.size(); ++r) {
          const std::vector<double> p =
              dense(*model.predict_proba(history(histories, r)), alphabet);
          std::vector<Symbol> order(alphabet);
          std::iota(order.begin(), order.end(), Symbol{0});
          std::stable_sort(order.begin(), order.end(),
                           [&](Symbol a, Symbol b) { return p[a] > p[b]; });
          for (std::size_t c = 0; c < columns; ++c) {
            ASSERT_EQ(top->symbols[r * columns + c], order[c]) << "history " << r;
            ASSERT_EQ(top->probabilities[r * columns + c], p[order[c]]);
          }
        }
      }

      for (const std::size_t skip : {std::size_t{0}, std::size_t{4}}) {
        const auto totals = model.log_likelihood(histories, skip);
        const auto terms = model.pointwise_log_likelihood(histories, skip);
        ASSERT_TRUE(totals.has_value() && terms.has_value());
        std::size_t at = 0;
        for (std::size_t r = 0; r < histories.size(); ++r) {
          double total = 0.0;
          for (std::size_t t = skip; t < histories.row_length(r); ++t) total += (*terms)[at++];
          EXPECT_EQ(total, (*totals)[r]);
        }
        EXPECT_EQ(at, terms->size());
      }
    }
  }
}

// A table too large for the cache is streamed past it, fresh or into a
// caller's buffer: its rows are the same. The source's next symbol is mostly a
// hash of the last five, so that the tree has more answering nodes than the
// rows kept for copying.
TEST(BatchTest, AStreamedTableHasTheSameRows) {
  constexpr std::size_t ALPHABET = 8;
  std::mt19937_64 rng(5);
  Rows rows;
  std::uint64_t last = 0;
  for (int t = 0; t < 3000000; ++t) {
    const std::uint64_t hash = (last * 0x9E3779B97F4A7C15u) >> 61;
    const Symbol s = rng() % 10 < 8 ? hash : rng() % ALPHABET;
    rows.push_symbol(s);
    last = (last * ALPHABET + s) % (ALPHABET * ALPHABET * ALPHABET * ALPHABET * ALPHABET);
  }
  rows.end_row();
  OSTRELObject model = testing_support::model_for(ALPHABET, 5, U"bic");
  ASSERT_TRUE(model.fit(rows).has_value());
  const Rows histories = histories_for(rows, ALPHABET, 9, 263000);
  ASSERT_GE(histories.size() * ALPHABET * sizeof(double), LARGE_RESULT_BYTES);

  const auto fresh = model.predict_proba_batch(histories);
  ASSERT_TRUE(fresh.has_value());
  expect_answers(model, histories, *fresh);
  std::vector<double> out(fresh->size(), -1.0);
  ASSERT_TRUE(model.predict_proba_batch(histories, out).has_value());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), fresh->begin()));
}

TEST(BatchTest, ChecksSymbolsThenTheFit) {
  OSTRELObject model = testing_support::model_for(3, 2, U"bct");
  const Rows bad{{0, 1}, {2, 5}};
  EXPECT_EQ(model.predict_proba_batch(bad).error().message,
            "symbol 5 at histories[1][1] is outside 0..3");
  EXPECT_EQ(model.top_k(bad, 2).error().message, "symbol 5 at histories[1][1] is outside 0..3");
  EXPECT_EQ(model.predict_proba_batch(Rows{{0, 1}}).error().kind, ErrorKind::Runtime);
}

}  // namespace
}  // namespace ostrel
