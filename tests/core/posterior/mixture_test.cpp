// Tests for the mixture over every tree: its evidence against the evidence pass bit for bit,
// its predictive probabilities against differences of evidences with and without the next
// position, updates against a mixture built from all the rows, and the journal that undoes
// row-local and failed runs.

#include "posterior/mixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core_test_support.hpp"
#include "posterior/posterior.hpp"

namespace ostrel {
namespace {

using testing_support::counts_of;
using testing_support::markov_rows;

double evidence_of(const Counts& counts, double beta) {
  return bct::posterior(counts, bct::BctPrior(beta), 0).log_evidence;
}

void expect_close(double actual, double expected, double relative) {
  EXPECT_LE(std::abs(actual - expected), relative * std::abs(expected))
      << actual << " vs " << expected;
}

struct Shape {
  std::size_t alphabet, depth;
  double beta;
};

class MixtureShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(MixtureShapes, EvidenceIsTheEvidencePassBitForBit) {
  const auto [alphabet, depth, beta] = GetParam();
  for (std::uint64_t seed : {1, 2, 3}) {
    const Rows rows = markov_rows(seed, alphabet, 3, 40 + 30 * seed, 0.6);
    const Counts counts = counts_of(rows, alphabet, depth);
    const bct::Mixture mixture(counts, bct::BctPrior(beta));
    EXPECT_EQ(mixture.log_evidence(), evidence_of(counts, beta));
    EXPECT_EQ(mixture.sample_size(), counts.sample_size());
  }
}

// The predictive probability of a after a full-length history is the ratio of the evidences
// with and without the one position that history followed by a makes.
TEST_P(MixtureShapes, PredictiveIsTheRatioOfEvidences) {
  const auto [alphabet, depth, beta] = GetParam();
  const Rows rows = markov_rows(7, alphabet, 2, 60, 0.5);
  const Counts counts = counts_of(rows, alphabet, depth);
  const bct::Mixture mixture(counts, bct::BctPrior(beta));
  const double before = evidence_of(counts, beta);
  std::mt19937_64 rng(11);
  std::vector<double> p(alphabet);
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<Symbol> history(depth + trial % 2);
    for (Symbol& s : history)
      s = trial < 3 ? rows.symbol(0, 5 + s + trial) % alphabet : rng() % alphabet;
    mixture.predict(history, p);
    double total = 0.0;
    for (Symbol a = 0; a < alphabet; ++a) {
      Rows window;
      for (std::size_t q = history.size() - depth; q < history.size(); ++q)
        window.push_symbol(history[q]);
      window.push_symbol(a);
      window.end_row();
      Counts with = counts;
      ASSERT_TRUE(with.add(window).has_value());
      expect_close(p[a], std::exp(evidence_of(with, beta) - before), 1e-12);
      total += p[a];
    }
    expect_close(total, 1.0, 1e-14);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MixtureShapes,
                         ::testing::Values(Shape{2, 0, 0.5}, Shape{2, 3, 0.5}, Shape{3, 2, 0.7},
                                           Shape{4, 4, 0.6}, Shape{6, 1, 0.9}));

TEST(Mixture, WithoutDataPredictsUniformlyAndHasEvidenceZero) {
  const bct::Mixture mixture(3, 2, bct::BctPrior(0.5));
  std::vector<double> p(3);
  mixture.predict(std::vector<Symbol>{1, 2}, p);
  EXPECT_EQ(mixture.log_evidence(), 0.0);
  for (double x : p) EXPECT_EQ(x, 1.0 / 3.0);
}

// A history shorter than max_depth stops where it ends: that node predicts as a leaf, by its
// own estimate, and its ancestors mix it as usual. At depth 0 that is the root's estimate.
TEST(Mixture, ShortHistoryPredictsAsALeafWhereItEnds) {
  const Rows rows{{0, 0, 1, 0, 2, 2, 0}};
  const bct::Mixture mixture(counts_of(rows, 3, 2), bct::BctPrior(0.5));
  std::vector<double> p(3);
  mixture.predict(std::vector<Symbol>{}, p);
  // Counted positions 1, 0, 2, 2, 0: n = 5, counts 2, 1, 2, half = 1.5.
  EXPECT_EQ(p[0], 2.5 / 6.5);
  EXPECT_EQ(p[1], 1.5 / 6.5);
  EXPECT_EQ(p[2], 2.5 / 6.5);
}

// Updating position by position holds what building from counts of all the rows holds.
TEST(Mixture, UpdateEqualsRebuildAndScoresEachPositionBeforeAddingIt) {
  const std::size_t alphabet = 4, depth = 5;
  const bct::BctPrior prior(0.6);
  const Rows first = markov_rows(21, alphabet, 2, 120, 0.7);
  const Rows more = markov_rows(22, alphabet, 3, 50, 0.7);
  Counts counts = counts_of(first, alphabet, depth);
  bct::Mixture mixture(counts, prior);
  auto updated = mixture.update(more, true);
  ASSERT_TRUE(updated.has_value());
  ASSERT_EQ(updated->log_probabilities.size(), 3u * (50 - depth));
  ASSERT_EQ(updated->distributions.size(), updated->log_probabilities.size() * alphabet);
  // Without the distributions, the same scores from the walk alone.
  bct::Mixture scored_only(counts, prior);
  auto scored = scored_only.update(more, false);
  ASSERT_TRUE(scored.has_value());
  EXPECT_EQ(scored->log_probabilities, updated->log_probabilities);

  // Each position against the evidences before and after it, counted one window at a time.
  double before = evidence_of(counts, 0.6);
  for (std::size_t r = 0, i = 0; r < more.size(); ++r) {
    for (std::size_t t = depth; t < more.row_length(r); ++t, ++i) {
      Rows window;
      for (std::size_t q = t - depth; q <= t; ++q) window.push_symbol(more.symbol(r, q));
      window.end_row();
      ASSERT_TRUE(counts.add(window).has_value());
      const double after = evidence_of(counts, 0.6);
      expect_close(updated->log_probabilities[i], after - before, 1e-9);
      EXPECT_EQ(std::log(updated->distributions[i * alphabet + more.symbol(r, t)]),
                updated->log_probabilities[i]);
      before = after;
    }
  }
  Counts all = counts_of(first, alphabet, depth);
  ASSERT_TRUE(all.add(more).has_value());
  const bct::Mixture rebuilt(all, prior);
  EXPECT_EQ(mixture.log_evidence(), rebuilt.log_evidence());
  EXPECT_EQ(mixture.nodes(), rebuilt.nodes());
  const Counts held = mixture.counts();
  EXPECT_EQ(held.sample_size(), all.sample_size());
  EXPECT_EQ(evidence_of(held, 0.6), evidence_of(all, 0.6));
  std::vector<double> p(alphabet), q(alphabet);
  for (std::size_t t = 0; t + depth <= 50; t += 7) {
    std::vector<Symbol> history;
    for (std::size_t k = t; k < t + depth; ++k) history.push_back(more.symbol(1, k));
    mixture.predict(history, p);
    rebuilt.predict(history, q);
    EXPECT_EQ(p, q);
  }
}

TEST(Mixture, LogLikelihoodPredictsEachRowAloneAndChangesNothing) {
  const std::size_t alphabet = 3, depth = 3;
  const bct::BctPrior prior(0.5);
  const Counts counts = counts_of(markov_rows(31, alphabet, 2, 80, 0.6), alphabet, depth);
  bct::Mixture mixture(counts, prior);
  const Rows rows = markov_rows(32, alphabet, 3, 40, 0.6);
  Rows with_short = rows;
  with_short.push_symbol(1);
  with_short.end_row();
  auto scores = mixture.log_likelihood(with_short);
  ASSERT_TRUE(scores.has_value());
  ASSERT_EQ(scores->size(), 4u);
  EXPECT_EQ((*scores)[3], 0.0);
  EXPECT_EQ(mixture.log_evidence(), evidence_of(counts, 0.5));
  EXPECT_EQ(mixture.nodes(), bct::Mixture(counts, prior).nodes());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    bct::Mixture alone(counts, prior);
    Rows one;
    for (std::size_t t = 0; t < rows.row_length(r); ++t) one.push_symbol(rows.symbol(r, t));
    one.end_row();
    const auto updated = alone.update(one, false);
    ASSERT_TRUE(updated.has_value());
    double total = 0.0;
    for (double lp : updated->log_probabilities) total = total + lp;
    EXPECT_EQ((*scores)[r], total);
  }
}

TEST(Mixture, FailedUpdateChangesNothing) {
  const Counts counts = counts_of(markov_rows(41, 3, 1, 50, 0.5), 3, 2);
  bct::Mixture mixture(counts, bct::BctPrior(0.5));
  const Rows bad{{0, 1, 2, 1}, {0, 3}};
  auto updated = mixture.update(bad, false);
  ASSERT_FALSE(updated.has_value());
  EXPECT_EQ(updated.error(), "symbol 3 at data[1][1] is outside 0..3");
  EXPECT_EQ(mixture.log_evidence(), evidence_of(counts, 0.5));
  EXPECT_EQ(mixture.counts().sample_size(), counts.sample_size());
}

}  // namespace
}  // namespace ostrel
