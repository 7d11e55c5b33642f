// Lanczos approximation of ln Gamma. The order of every operation is part of
// the result: the BCT selector compares sums of these values for exact ties.

#include "base/math.hpp"

#include <cmath>

namespace ostrel {

double log_gamma(double x) {
  if (x < 0.5) {
    // Reflection: ln Gamma(x) = ln(pi) - ln(sin(pi x)) - ln Gamma(1 - x).
    return (1.1447298858494002 - std::log(std::sin(x * 3.141592653589793))) - log_gamma(1.0 - x);
  }
  const double z = x + (-1.0);
  double a = 676.5203681218851 / (z + 1.0) + 0.9999999999998099;
  a = a + -1259.1392167224028 / (z + 2.0);
  a = a + 771.3234287776531 / (z + 3.0);
  a = a + -176.6150291621406 / (z + 4.0);
  a = a + 12.507343278686905 / (z + 5.0);
  a = a + -0.13857109526572012 / (z + 6.0);
  a = a + 9.984369578019572e-6 / (z + 7.0);
  a = a + 1.5056327351493116e-7 / (z + 8.0);
  const double t = z + 7.5;
  // 0.9189385332046727 is ln(sqrt(2 pi)).
  return ((0.9189385332046727 + (z + 0.5) * std::log(t)) - t) + std::log(a);
}

}  // namespace ostrel
