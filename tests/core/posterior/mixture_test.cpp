// Tests for the mixture over every tree: its evidence against the evidence pass bit for bit,
// its predictive probabilities against differences of evidences with and without the next
// position, updates against a mixture built from all the rows, and the journal that undoes
// row-local and failed runs; each estimator against every tree enumerated, for rows counted
// after their first max_depth symbols and from their start.

#include "posterior/mixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "core_test_support.hpp"
#include "posterior/posterior.hpp"
#include "state/counts_state.hpp"
#include "testing/plain_mixture.hpp"

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
  auto scores = mixture.log_likelihood(with_short, mixture.max_depth());
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

// ---- estimators ---------------------------------------------------------------------

oracle::PlainRows plain(const Rows& rows) {
  oracle::PlainRows out(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t t = 0; t < rows.row_length(r); ++t) out[r].push_back(rows.symbol(r, t));
  }
  return out;
}

// Discounts d1, d2, d3 at the root, each rising by `rise` a depth; concentration theta.
bct::KneserNey kneser_ney(std::size_t alphabet, std::size_t depth, std::array<double, 3> d,
                          double rise, double theta) {
  std::vector<double> discounts, concentrations;
  for (std::size_t k = 0; k <= depth; ++k) {
    for (double x : d) discounts.push_back(std::min(x + rise * static_cast<double>(k), 0.95));
    concentrations.push_back(theta * static_cast<double>(k + 1));
  }
  auto estimator = bct::KneserNey::checked(alphabet, discounts, concentrations);
  if (!estimator) throw std::runtime_error(estimator.error());
  return *estimator;
}

struct EstimatorCase {
  std::size_t alphabet, depth;
  double beta;
  bct::EstimatorChoice estimator;
};

std::vector<EstimatorCase> estimator_cases() {
  return {
      {2, 2, 0.5, bct::DirichletChoice{0.3}},
      {3, 1, 0.8, bct::DirichletChoice{2.5}},
      {2, 2, 0.5, kneser_ney(2, 2, {0.3, 0.6, 0.8}, 0.05, 0.5)},
      {3, 2, 0.7, kneser_ney(3, 2, {0.5, 0.7, 0.9}, 0.0, 0.0)},  // concentration 0
      {2, 1, 0.6, kneser_ney(2, 1, {0.0, 0.0, 0.0}, 0.0, 1.0)},  // discount 0
      {3, 0, 0.5, kneser_ney(3, 0, {0.4, 0.4, 0.4}, 0.0, 0.3)},
  };
}

// Grown from empty position by position, the mixture's evidence is the sum over every tree of
// its prior times its leaves' sequential predictions, and its predictive distribution after
// the rows the ratio of such sums with and without one more position. Under Kneser-Ney the
// evidence is the sum of the update's log probabilities, in order.
TEST(MixtureEstimators, EvidenceAndPredictionsAreThoseOfEveryTreeEnumerated) {
  std::uint64_t seed = 60;
  for (const EstimatorCase& c : estimator_cases()) {
    SCOPED_TRACE(::testing::Message() << c.alphabet << " symbols, depth " << c.depth << ", "
                                      << (c.estimator.index() == 0 ? "Dirichlet" : "Kneser-Ney"));
    const Rows rows = markov_rows(++seed, c.alphabet, 2, 12, 0.6);
    bct::Mixture mixture(c.alphabet, c.depth, bct::BctPrior(c.beta), c.estimator);
    auto updated = mixture.update(rows, true);
    ASSERT_TRUE(updated.has_value());
    const oracle::PlainRows seen = plain(rows);
    expect_close(mixture.log_evidence(),
                 oracle::enumerated_log_evidence(seen, c.alphabet, c.depth, c.beta, c.estimator),
                 1e-12);
    double total = 0.0;
    for (double lp : updated->log_probabilities) total = total + lp;
    if (mixture.sequential()) {
      EXPECT_EQ(mixture.log_evidence(), total);
    } else {
      expect_close(total, mixture.log_evidence(), 1e-12);
    }
    const std::size_t m = c.alphabet;
    for (std::size_t i = 0, r = 0; r < rows.size(); ++r) {
      for (std::size_t t = c.depth; t < rows.row_length(r); ++t, ++i) {
        EXPECT_EQ(std::log(updated->distributions[i * m + rows.symbol(r, t)]),
                  updated->log_probabilities[i]);
      }
    }
    std::mt19937_64 rng(seed);
    std::vector<double> p(m);
    for (int trial = 0; trial < 4; ++trial) {
      std::vector<Symbol> history(c.depth + trial % 2);
      for (Symbol& s : history) s = rng() % m;
      mixture.predict(history, p);
      const std::vector<double> expected =
          oracle::enumerated_predictive(seen, history, m, c.depth, c.beta, c.estimator);
      for (Symbol a = 0; a < m; ++a) expect_close(p[a], expected[a], 1e-11);
    }
  }
}

// Dirichlet leaves of any concentration depend on the counts alone: a mixture of counts has
// the evidence pass's evidence bit for bit, and one grown position by position is it.
TEST(MixtureEstimators, DirichletMixtureOfCountsIsTheEvidencePassAndTheGrownMixture) {
  const std::size_t alphabet = 3, depth = 3;
  const bct::BctPrior prior(0.6);
  const Rows rows = markov_rows(70, alphabet, 3, 60, 0.7);
  for (double alpha : {0.05, 1.0, 3.5}) {
    const Counts counts = counts_of(rows, alphabet, depth);
    const bct::Mixture built(counts, prior, bct::DirichletChoice{alpha});
    EXPECT_EQ(built.log_evidence(), bct::posterior(counts, prior, 0, alpha).log_evidence);
    bct::Mixture grown(counts_of(Rows{}, alphabet, depth), prior, bct::DirichletChoice{alpha});
    ASSERT_TRUE(grown.update(rows, false).has_value());
    EXPECT_EQ(grown.log_evidence(), built.log_evidence());
    std::vector<double> p(alphabet), q(alphabet);
    for (std::size_t t = 0; t + depth <= 60; t += 9) {
      std::vector<Symbol> history;
      for (std::size_t k = t; k < t + depth; ++k) history.push_back(rows.symbol(2, k));
      built.predict(history, p);
      grown.predict(history, q);
      EXPECT_EQ(p, q);
    }
  }
}

// A Kneser-Ney mixture grown by rows in several calls is the one grown by all of them in one,
// and scoring rows against it leaves it as it was.
TEST(MixtureEstimators, KneserNeyGrowsTheSameInAnyCallsAndScoringChangesNothing) {
  const std::size_t alphabet = 4, depth = 4;
  const bct::BctPrior prior(0.55);
  const bct::KneserNey estimator = kneser_ney(alphabet, depth, {0.4, 0.7, 0.85}, 0.02, 0.2);
  const Rows first = markov_rows(80, alphabet, 2, 90, 0.7);
  const Rows more = markov_rows(81, alphabet, 3, 40, 0.7);
  bct::Mixture pieces(alphabet, depth, prior, estimator);
  ASSERT_TRUE(pieces.update(first, false).has_value());
  ASSERT_TRUE(pieces.update(more, false).has_value());
  Rows all = first;
  for (std::size_t r = 0; r < more.size(); ++r) {
    for (std::size_t t = 0; t < more.row_length(r); ++t) all.push_symbol(more.symbol(r, t));
    all.end_row();
  }
  bct::Mixture whole(alphabet, depth, prior, estimator);
  auto scores = whole.update(all, false);
  ASSERT_TRUE(scores.has_value());
  EXPECT_EQ(pieces.nodes(), whole.nodes());
  expect_close(pieces.log_evidence(), whole.log_evidence(), 1e-13);
  const double before = whole.log_evidence();
  const std::size_t nodes = whole.nodes();
  const auto scored =
      whole.log_likelihood(markov_rows(82, alphabet, 2, 30, 0.5), whole.max_depth());
  ASSERT_TRUE(scored.has_value());
  EXPECT_EQ(whole.log_evidence(), before);
  EXPECT_EQ(whole.nodes(), nodes);
  std::vector<double> p(alphabet), q(alphabet);
  for (std::size_t t = 0; t + depth <= 40; t += 5) {
    std::vector<Symbol> history;
    for (std::size_t k = t; k < t + depth; ++k) history.push_back(more.symbol(2, k));
    pieces.predict(history, p);
    whole.predict(history, q);
    EXPECT_EQ(p, q);
  }
}

// Scoring rows links their paths' nodes for the next scoring: scored again, the rows score the
// same, and the mixture then grows as one that never scored them, node for node.
TEST(MixtureEstimators, ScoringTwiceScoresAlikeAndLeavesTheMixtureToGrowAsBefore) {
  const std::size_t alphabet = 4, depth = 3;
  const bct::BctPrior prior(0.6);
  const Rows seen = markov_rows(120, alphabet, 4, 70, 0.7);
  const Rows scored = markov_rows(121, alphabet, 5, 50, 0.5);
  const Rows more = markov_rows(122, alphabet, 3, 40, 0.6);
  const auto make = [&](int kind) {
    if (kind == 2) {
      bct::Mixture grown(alphabet, depth, prior,
                         kneser_ney(alphabet, depth, {0.4, 0.7, 0.85}, 0.02, 0.3));
      EXPECT_TRUE(grown.update(seen, false).has_value());
      return grown;
    }
    return bct::Mixture(counts_of(seen, alphabet, depth, 0, kind == 1), prior);
  };
  for (int kind = 0; kind < 3; ++kind) {
    bct::Mixture mixture = make(kind);
    const auto first = mixture.pointwise_log_likelihood(scored, 0);
    const auto again = mixture.pointwise_log_likelihood(scored, 0);
    ASSERT_TRUE(first.has_value() && again.has_value());
    EXPECT_EQ(*first, *again);
    bct::Mixture fresh = make(kind);
    const auto grown = mixture.update(more, false);
    const auto expected = fresh.update(more, false);
    ASSERT_TRUE(grown.has_value() && expected.has_value());
    EXPECT_EQ(grown->log_probabilities, expected->log_probabilities);
    EXPECT_EQ(mixture.nodes(), fresh.nodes());
    EXPECT_EQ(mixture.log_evidence(), fresh.log_evidence());
  }
  // A scored row whose node, made by the row, links to a child that was there before (2 at
  // depth 1 is new, 3 2 at depth 2 is not): that link goes with the node.
  const Counts counts = counts_of(Rows{{2, 3, 4}}, 6, 2);
  bct::Mixture mixture(counts, prior), fresh(counts, prior);
  ASSERT_TRUE(mixture.log_likelihood(Rows{{0, 1, 2, 3, 5}}, 2).has_value());
  const auto grown = mixture.update(Rows{{5, 2, 3, 4}}, false);
  const auto expected = fresh.update(Rows{{5, 2, 3, 4}}, false);
  ASSERT_TRUE(grown.has_value() && expected.has_value());
  EXPECT_EQ(grown->log_probabilities, expected->log_probabilities);
  EXPECT_EQ(mixture.nodes(), fresh.nodes());
}

// ---- rows counted from their start ---------------------------------------------------

// Rows of every length from 0 to `longest`, in a seeded order, their symbols uniform.
Rows rows_of_every_length(std::uint64_t seed, std::size_t alphabet, std::size_t longest) {
  std::mt19937_64 rng(seed);
  std::vector<std::size_t> lengths(longest + 1);
  std::iota(lengths.begin(), lengths.end(), std::size_t{0});
  std::shuffle(lengths.begin(), lengths.end(), rng);
  Rows out;
  for (const std::size_t length : lengths) {
    for (std::size_t t = 0; t < length; ++t) out.push_symbol(rng() % alphabet);
    out.end_row();
  }
  return out;
}

// Histories of every length from 0 to depth + 1, their symbols uniform.
std::vector<std::vector<Symbol>> histories_up_to(std::uint64_t seed, std::size_t alphabet,
                                                 std::size_t depth) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<Symbol>> out;
  for (std::size_t length = 0; length <= depth + 1; ++length) {
    out.emplace_back(length);
    for (Symbol& s : out.back()) s = rng() % alphabet;
  }
  return out;
}

// Counted from their start, every position of every row is added, and the mixture grown from
// empty is the sum over every tree of contexts over the symbols and START (START's nodes leaves
// of every tree), each leaf predicting the symbols alone; its predictive distribution after a
// history shorter than the depth is that of a row's beginning.
TEST(MixtureFromTheStart, EvidenceAndPredictionsAreThoseOfEveryTreeEnumerated) {
  std::uint64_t seed = 90;
  for (const EstimatorCase& c : estimator_cases()) {
    SCOPED_TRACE(::testing::Message() << c.alphabet << " symbols, depth " << c.depth << ", "
                                      << (c.estimator.index() == 0 ? "Dirichlet" : "Kneser-Ney"));
    const Rows rows = rows_of_every_length(++seed, c.alphabet, c.depth + 4);
    bct::Mixture mixture(c.alphabet, c.depth, bct::BctPrior(c.beta), c.estimator, true);
    auto updated = mixture.update(rows, true);
    ASSERT_TRUE(updated.has_value());
    ASSERT_EQ(updated->log_probabilities.size(), rows.symbol_count());
    const oracle::PlainRows seen = plain(rows);
    expect_close(
        mixture.log_evidence(),
        oracle::enumerated_log_evidence(seen, c.alphabet, c.depth, c.beta, c.estimator, true),
        1e-12);
    double total = 0.0;
    for (double lp : updated->log_probabilities) total = total + lp;
    if (mixture.sequential()) {
      EXPECT_EQ(mixture.log_evidence(), total);
    } else {
      expect_close(total, mixture.log_evidence(), 1e-12);
    }
    const std::size_t m = c.alphabet;
    for (std::size_t i = 0, r = 0; r < rows.size(); ++r) {
      for (std::size_t t = 0; t < rows.row_length(r); ++t, ++i) {
        EXPECT_EQ(std::log(updated->distributions[i * m + rows.symbol(r, t)]),
                  updated->log_probabilities[i]);
      }
    }
    std::vector<double> p(m);
    for (const auto& history : histories_up_to(seed, m, c.depth)) {
      mixture.predict(history, p);
      const std::vector<double> expected =
          oracle::enumerated_predictive(seen, history, m, c.depth, c.beta, c.estimator, true);
      for (Symbol a = 0; a < m; ++a) expect_close(p[a], expected[a], 1e-11);
    }
  }
}

// Under Dirichlet leaves the mixture of counts from their start, one updated from it and one
// grown from empty hold the same nodes, evidence and predictions bit for bit, and scoring a row
// adds what updating by it alone adds.
TEST(MixtureFromTheStart, DirichletUpdatesAreTheMixtureOfTheirCounts) {
  const std::size_t alphabet = 3, depth = 3;
  const bct::BctPrior prior(0.6);
  Rows first = rows_of_every_length(95, alphabet, 9);
  const Rows longer = markov_rows(96, alphabet, 2, 40, 0.7);
  for (std::size_t r = 0; r < longer.size(); ++r) {
    for (std::size_t t = 0; t < longer.row_length(r); ++t) first.push_symbol(longer.symbol(r, t));
    first.end_row();
  }
  const Rows more = rows_of_every_length(97, alphabet, 7);
  for (const double alpha : {0.5, 1.5}) {
    const bct::DirichletChoice estimator{alpha};
    const Counts counts = counts_of(first, alphabet, depth, 0, true);
    bct::Mixture updated(counts, prior, estimator);
    ASSERT_TRUE(updated.update(more, false).has_value());
    Counts all = counts;
    ASSERT_TRUE(all.add(more).has_value());
    const bct::Mixture rebuilt(all, prior, estimator);
    bct::Mixture grown(alphabet, depth, prior, estimator, true);
    ASSERT_TRUE(grown.update(first, false).has_value());
    ASSERT_TRUE(grown.update(more, false).has_value());
    EXPECT_EQ(save_counts(updated.counts()), save_counts(all));
    for (const bct::Mixture* other : {&updated, &grown}) {
      EXPECT_TRUE(other->starts());
      EXPECT_EQ(other->log_evidence(), rebuilt.log_evidence());
      EXPECT_EQ(other->nodes(), rebuilt.nodes());
      std::vector<double> p(alphabet), q(alphabet);
      for (const auto& history : histories_up_to(98, alphabet, depth)) {
        other->predict(history, p);
        rebuilt.predict(history, q);
        EXPECT_EQ(p, q);
      }
    }
    bct::Mixture scoring(counts, prior, estimator);
    const auto scores = scoring.log_likelihood(more, 0);
    ASSERT_TRUE(scores.has_value());
    for (std::size_t r = 0; r < more.size(); ++r) {
      Rows one;
      for (std::size_t t = 0; t < more.row_length(r); ++t) one.push_symbol(more.symbol(r, t));
      one.end_row();
      bct::Mixture alone(counts, prior, estimator);
      const auto added = alone.update(one, false);
      ASSERT_TRUE(added.has_value());
      double total = 0.0;
      for (double lp : added->log_probabilities) total = total + lp;
      EXPECT_EQ((*scores)[r], total);
    }
  }
}

// top_k ranks as predict's distribution sorted (most probable first, ties by symbol), with its
// probabilities bit for bit: on alphabets whose paths have seen most symbols, few of them, and
// too many symbols for tables by symbol.
TEST(MixtureTopK, IsPredictSorted) {
  // From the fourth: depth-1 nodes that have seen most symbols and deeper
  // ones few, with near ties; then depth-2 nodes that have seen many; each
  // also counted from the rows' starts.
  struct Case {
    std::size_t alphabet, rows, length;
    double follow;
    bool starts;
  };
  for (const auto [alphabet, count, length, follow, starts] :
       {Case{5, 4, 150, 0.7, false}, Case{300, 4, 150, 0.7, false},
        Case{(std::size_t{1} << 20) + 8, 4, 150, 0.7, false}, Case{300, 40, 1500, 0.2, false},
        Case{300, 400, 150, 0.2, true}, Case{300, 4, 1500, 0.5, false},
        Case{300, 40, 150, 0.5, true}}) {
    const Rows rows = markov_rows(alphabet, alphabet, count, length, follow);
    for (const double alpha : {0.5, 0.01}) {
      const bct::Mixture mixture(counts_of(rows, alphabet, 3, 0, starts), bct::BctPrior(0.8),
                                 bct::DirichletChoice{alpha});
      Rows histories;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t t = 0; t < 8; ++t) {
          for (std::size_t i = t; i < std::min<std::size_t>(t + 4, rows.row_length(r)); ++i) {
            histories.push_symbol(rows.symbol(r, i));
          }
          histories.end_row();
        }
      }
      histories.push_symbol(static_cast<Symbol>(alphabet - 1));
      histories.end_row();
      for (const std::size_t k : {1, 4, 40}) {
        const auto top = mixture.top_k(histories, k);
        ASSERT_TRUE(top.has_value());
        std::vector<double> p(alphabet);
        for (std::size_t h = 0; h < histories.size(); ++h) {
          std::vector<Symbol> history;
          for (std::size_t i = 0; i < histories.row_length(h); ++i) {
            history.push_back(histories.symbol(h, i));
          }
          mixture.predict(history, p);
          std::vector<Symbol> order(alphabet);
          std::iota(order.begin(), order.end(), Symbol{0});
          const std::size_t columns = std::min(k, alphabet);
          std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(columns),
                            order.end(),
                            [&](Symbol a, Symbol b) { return p[a] != p[b] ? p[a] > p[b] : a < b; });
          for (std::size_t c = 0; c < columns; ++c) {
            EXPECT_EQ(top->symbols[h * columns + c], order[c]) << alphabet << " " << h << " " << c;
            EXPECT_EQ(top->probabilities[h * columns + c], p[order[c]]);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
