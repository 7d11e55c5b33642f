// Tests for log_gamma: documented values, and agreement bit for bit with the Lanczos
// formula (g = 7, nine coefficients) evaluated term by term in its written order; and the
// bound below which an exponential cannot move a sum.

#include "base/math.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace ostrel {
namespace {

TEST(LogGammaTest, DocumentedValues) {
  EXPECT_EQ(log_gamma(0.5), 0.5723649429246995);
  EXPECT_EQ(log_gamma(2.0), 0.0);
  EXPECT_EQ(log_gamma(1.0), -8.881784197001252e-16);
  EXPECT_EQ(log_gamma(3.0), 0.6931471805599463);
}

double lanczos(double x) {
  if (x < 0.5) {
    return (1.1447298858494002 - std::log(std::sin(x * 3.141592653589793))) - lanczos(1.0 - x);
  }
  const double z = x + (-1.0);
  const double c[] = {-1259.1392167224028,  771.3234287776531,    -176.6150291621406,
                      12.507343278686905,   -0.13857109526572012, 9.984369578019572e-6,
                      1.5056327351493116e-7};
  double a = 676.5203681218851 / (z + 1.0) + 0.9999999999998099;
  for (int k = 2; k <= 8; ++k) a = a + c[k - 2] / (z + static_cast<double>(k));
  const double t = z + 7.5;
  return ((0.9189385332046727 + (z + 0.5) * std::log(t)) - t) + std::log(a);
}

TEST(LogGammaTest, FollowsTheLanczosFormulaExactly) {
  // Half-integers and integers as the selectors pass them, large counts, and the
  // reflection branch below 0.5.
  std::vector<double> xs{1e6 + 0.5, 3e9, 0.499, 0.25, 1e-3};
  for (int k = 1; k <= 600; ++k) xs.push_back(0.5 * k);  // counts plus one half, m / 2 + N
  for (int k = 0; k < 300; ++k) xs.push_back(0.5 + 0.0371 * k);
  for (double x : xs) {
    SCOPED_TRACE(x);
    ASSERT_EQ(log_gamma(x), lanczos(x));
  }
}

// Where the bound says a term vanishes, adding it (or its log1p) gives the sum back, on
// sums of every scale and sign, powers of two (whose nearer gap is the smaller) included,
// and at the bound itself, where it must not claim more than it can.
TEST(VanishingBoundTest, TermsBelowItLeaveTheSum) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> scale(-60.0, 60.0), unit(0.5, 1.0);
  std::size_t vanished = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    double sum = std::ldexp(unit(rng), static_cast<int>(scale(rng)));
    if (trial % 7 == 0) sum = std::ldexp(1.0, static_cast<int>(scale(rng)));
    if (trial % 2 == 0) sum = -sum;
    const double bound = vanishing_bound(sum);
    const double x = bound - std::ldexp(unit(rng), -40 + trial % 44);
    ASSERT_TRUE(vanishes_beside(x, sum));
    ASSERT_EQ(sum + std::exp(x), sum) << sum << " " << x;
    ASSERT_EQ(sum + std::log1p(std::exp(x)), sum) << sum << " " << x;
    ++vanished;
  }
  EXPECT_EQ(vanished, 200000u);
  // Within e^2 of the bound, a term can move the sum: the bound is not loose by more.
  EXPECT_NE(1.0 + std::exp(vanishing_bound(1.0) + 2.0), 1.0);
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const double sum : {0.0, -0.0, 4.9e-324, inf, -inf, std::nan("")}) {
    EXPECT_FALSE(vanishes_beside(-1e300, sum));
  }
}

}  // namespace
}  // namespace ostrel
