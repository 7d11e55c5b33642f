// Tests for change points against brute force: every split point's two evidences, and every
// segmentation of a tiny row, each segment's evidence from fresh counts of its positions.

#include "posterior/change_points.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core_test_support.hpp"
#include "posterior/posterior.hpp"

namespace ostrel {
namespace {

using testing_support::counts_of;

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

// The evidence of positions [from, to) of `row`, their contexts reaching back before `from`.
double segment_evidence(const std::vector<Symbol>& row, std::size_t from, std::size_t to,
                        std::size_t alphabet, std::size_t depth, double beta) {
  Rows window;
  for (std::size_t t = from - depth; t < to; ++t) window.push_symbol(row[t]);
  window.end_row();
  return bct::posterior(counts_of(window, alphabet, depth), bct::BctPrior(beta), 0).log_evidence;
}

std::vector<Symbol> row_with_a_change(std::size_t length, std::size_t change, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Symbol> row;
  for (std::size_t t = 0; t < length; ++t) {
    const bool early = t < change;
    const Symbol last = row.empty() ? 0 : row.back();
    row.push_back(rng() % 4 == 0 ? rng() % 3 : (early ? (last + 1) % 3 : (last + 2) % 3));
  }
  return row;
}

double log_sum(const std::vector<double>& values) {
  double hi = NEG_INF;
  for (double v : values) hi = std::max(hi, v);
  double s = 0.0;
  for (double v : values) s += std::exp(v - hi);
  return hi + std::log(s);
}

TEST(ChangePoints, SinglePosteriorIsEverySplitsTwoEvidences) {
  const std::size_t alphabet = 3, depth = 2, n = 60;
  const std::vector<Symbol> row = row_with_a_change(n, 35, 5);
  const std::vector<double> got =
      bct::change_point_posterior(row, alphabet, depth, bct::BctPrior(0.5));
  ASSERT_EQ(got.size(), n);
  std::vector<double> expected(n, NEG_INF), valid;
  for (std::size_t j = depth + 1; j < n; ++j) {
    expected[j] = segment_evidence(row, depth, j, alphabet, depth, 0.5) +
                  segment_evidence(row, j, n, alphabet, depth, 0.5);
    valid.push_back(expected[j]);
  }
  const double total = log_sum(valid);
  double mass = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    if (j <= depth) {
      EXPECT_EQ(got[j], NEG_INF);
      continue;
    }
    EXPECT_NEAR(got[j], expected[j] - total, 1e-9 * std::abs(expected[j]));
    mass += std::exp(got[j]);
  }
  EXPECT_NEAR(mass, 1.0, 1e-12);
  // The most probable split is near the true one.
  const auto top = std::max_element(got.begin(), got.end()) - got.begin();
  EXPECT_NEAR(static_cast<double>(top), 35.0, 4.0);
}

TEST(ChangePoints, SegmentationIsEverySegmentationWeighed) {
  const std::size_t alphabet = 3, depth = 1, n = 16, most = 3;
  const std::vector<Symbol> row = row_with_a_change(n, 9, 8);
  for (std::size_t stride : {1, 3}) {
    auto got = bct::segment(row, alphabet, depth, most, stride, bct::BctPrior(0.6));
    ASSERT_TRUE(got.has_value());
    std::vector<std::size_t> grid;
    for (std::size_t c = depth + stride; c < n; c += stride) grid.push_back(c);
    // Every subset of the grid with at most `most` cuts.
    std::vector<std::vector<double>> by_count(most + 1);
    std::vector<std::vector<std::vector<std::size_t>>> cuts_of(most + 1);
    std::vector<double> marginal_terms;
    std::vector<std::size_t> cuts;
    std::function<void(std::size_t)> visit = [&](std::size_t next) {
      if (cuts.size() <= most) {
        double e = 0.0;
        std::size_t from = depth;
        for (std::size_t c : cuts) {
          e += segment_evidence(row, from, c, alphabet, depth, 0.6);
          from = c;
        }
        e += segment_evidence(row, from, n, alphabet, depth, 0.6);
        by_count[cuts.size()].push_back(e);
        cuts_of[cuts.size()].push_back(cuts);
      }
      if (cuts.size() == most) return;
      for (std::size_t g = next; g < grid.size(); ++g) {
        cuts.push_back(grid[g]);
        visit(g + 1);
        cuts.pop_back();
      }
    };
    visit(0);
    std::vector<double> evidence(most + 1, NEG_INF);
    for (std::size_t k = 0; k <= most && !by_count[k].empty(); ++k) {
      evidence[k] = log_sum(by_count[k]) - std::log(static_cast<double>(by_count[k].size()));
    }
    const double total = log_sum(evidence);
    std::vector<double> marginal(n, 0.0);
    for (std::size_t k = 0; k <= most; ++k) {
      EXPECT_NEAR(got->log_evidence[k], evidence[k], 1e-9 * std::abs(evidence[k]));
      EXPECT_NEAR(got->posterior[k], std::exp(evidence[k] - total), 1e-10);
      if (by_count[k].empty()) continue;
      const auto best =
          std::max_element(by_count[k].begin(), by_count[k].end()) - by_count[k].begin();
      EXPECT_EQ(*got->map[k], cuts_of[k][best]);
      const double z = log_sum(by_count[k]);
      for (std::size_t s = 0; s < by_count[k].size(); ++s) {
        for (std::size_t c : cuts_of[k][s]) {
          marginal[c] += std::exp(evidence[k] - total) * std::exp(by_count[k][s] - z);
        }
      }
    }
    for (std::size_t t = 0; t < n; ++t) EXPECT_NEAR(got->marginal[t], marginal[t], 1e-10);
  }
}

TEST(ChangePoints, TooShortForAnyChangeIsAllOnNoChange) {
  const std::vector<Symbol> row{0, 1, 2};
  auto got = bct::segment(row, 3, 2, 2, 1, bct::BctPrior(0.5));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->posterior, (std::vector<double>{1.0, 0.0, 0.0}));
  EXPECT_EQ(got->log_evidence[0], segment_evidence(row, 2, 3, 3, 2, 0.5));
  EXPECT_FALSE(got->map[1].has_value());
  EXPECT_EQ(bct::segment(row, 3, 2, 2, 0, bct::BctPrior(0.5)).error(), "stride must be at least 1");
}

}  // namespace
}  // namespace ostrel
