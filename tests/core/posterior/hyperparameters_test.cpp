// Tests for the evidence searches: the Kneser-Ney pass's evidence is the mixture's, its
// gradient the evidence's differences, and each search ends higher than it starts.

#include "posterior/hyperparameters.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "core_test_support.hpp"
#include "posterior/mixture.hpp"
#include "posterior/posterior.hpp"

namespace ostrel {
namespace {

using testing_support::counts_of;
using testing_support::markov_rows;

constexpr std::size_t ALL = ~std::size_t{0};

bct::Mixture grown(const Rows& rows, std::size_t alphabet, std::size_t depth, const double* at) {
  const bct::ChosenKneserNey h = bct::kneser_ney_from(at, depth);
  auto estimator = bct::KneserNey::checked(alphabet, h.discounts, h.concentrations);
  if (!estimator) throw std::runtime_error(estimator.error());
  bct::Mixture mixture(alphabet, depth, bct::BctPrior(h.beta), *estimator);
  if (!mixture.update(rows, false)) throw std::runtime_error("update");
  return mixture;
}

TEST(KneserNeyEvidence, IsTheMixturesWithTheGradientOfItsDifferences) {
  const std::size_t alphabet = 5, depth = 3;
  const Rows rows = markov_rows(100, alphabet, 3, 150, 0.7);
  const std::array<double, 7> at{-1.0, 0.1, 0.9, 1.6, 0.2, std::log(0.4), -0.3};
  std::array<double, 7> gradient{};
  const double value =
      bct::kneser_ney_evidence(rows, alphabet, depth, ALL, at.data(), gradient.data());
  const double evidence = grown(rows, alphabet, depth, at.data()).log_evidence();
  EXPECT_NEAR(value, evidence, 1e-10 * std::abs(evidence));
  for (std::size_t j = 0; j < at.size(); ++j) {
    const double h = 1e-5;
    std::array<double, 7> up = at, down = at;
    up[j] += h;
    down[j] -= h;
    const double difference =
        (bct::kneser_ney_evidence(rows, alphabet, depth, ALL, up.data(), nullptr) -
         bct::kneser_ney_evidence(rows, alphabet, depth, ALL, down.data(), nullptr)) /
        (2 * h);
    EXPECT_NEAR(gradient[j], difference, 1e-5 * std::max(1.0, std::abs(difference))) << j;
  }
  // The first positions only, when asked.
  const Rows first = markov_rows(100, alphabet, 1, 150, 0.7);
  EXPECT_EQ(bct::kneser_ney_evidence(rows, alphabet, depth, 150 - depth, at.data(), nullptr),
            bct::kneser_ney_evidence(first, alphabet, depth, ALL, at.data(), nullptr));
}

TEST(HyperparameterSearch, EndsAboveWhereItStartsWithinItsPasses) {
  const std::size_t alphabet = 4, depth = 4;
  const Rows rows = markov_rows(101, alphabet, 2, 400, 0.8);
  const std::array<double, 7> start{-3.0, 0.2, 1.1, 1.7, 0.1, std::log(0.5), 0.0};
  const double before = bct::kneser_ney_evidence(rows, alphabet, depth, ALL, start.data(), nullptr);
  const bct::ChosenKneserNey chosen = bct::choose_kneser_ney(rows, alphabet, depth, ALL, 8);
  EXPECT_LE(chosen.passes, 8u);
  EXPECT_GT(chosen.log_evidence, before);
  ASSERT_TRUE(bct::KneserNey::checked(alphabet, chosen.discounts, chosen.concentrations));
  auto estimator = bct::KneserNey::checked(alphabet, chosen.discounts, chosen.concentrations);
  bct::Mixture mixture(alphabet, depth, bct::BctPrior(chosen.beta), *estimator);
  ASSERT_TRUE(mixture.update(rows, false).has_value());
  EXPECT_NEAR(mixture.log_evidence(), chosen.log_evidence, 1e-9 * std::abs(chosen.log_evidence));

  const Counts counts = counts_of(rows, alphabet, depth);
  const bct::ChosenDirichlet dirichlet = bct::choose_dirichlet(counts, 10);
  EXPECT_GT(dirichlet.log_evidence,
            bct::posterior(counts, bct::BctPrior(0.75), 0, 0.5).log_evidence);
  EXPECT_EQ(dirichlet.log_evidence,
            bct::posterior(counts, bct::BctPrior(dirichlet.beta), 0, dirichlet.alpha).log_evidence);
}

}  // namespace
}  // namespace ostrel
