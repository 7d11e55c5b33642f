// Tests for log_gamma: documented values, and agreement bit for bit with the Lanczos
// formula (g = 7, nine coefficients) evaluated term by term in its written order.

#include "base/math.hpp"

#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace
}  // namespace ostrel
