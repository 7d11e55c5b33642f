#pragma once
// Numeric helpers of the model core. Every operation is evaluated in IEEE
// double precision in exactly the order written (the build disables
// floating-point contraction), so results are reproducible bit for bit.

#include <bit>
#include <cstdint>
#include <limits>

namespace ostrel {

// Natural logarithm of the gamma function for x > 0: a Lanczos approximation
// with g = 7 and nine coefficients, with one reflection step below 0.5.
double log_gamma(double x);

// The bound below which a term y with 0 <= y <= e^x, e^x as std::exp rounds
// it (or std::log1p of that), leaves `sum` unchanged when added to it: for
// x below it, y is under half the gap from `sum` to its nearer neighbour (the
// one towards zero when |sum| is a power of two), so sum + y rounds back to
// sum. -inf for a zero, subnormal or non-finite sum. A margin of e^-1 covers
// the rounding of exp and of the bound itself.
inline double vanishing_bound(double sum) {
  const auto field = static_cast<int>((std::bit_cast<std::uint64_t>(sum) >> 52) & 0x7ff);
  if (field == 0 || field == 0x7ff) return -std::numeric_limits<double>::infinity();
  // |sum| >= 2^E with E = field - 1023; half the nearer gap is at least 2^(E - 54).
  return static_cast<double>(field - 1023 - 54) * 0.6931471805599453 - 1.0;
}
inline bool vanishes_beside(double x, double sum) { return x < vanishing_bound(sum); }

}  // namespace ostrel
