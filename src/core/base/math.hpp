#pragma once
// Numeric helpers of the model core. Every operation is evaluated in IEEE
// double precision in exactly the order written (the build disables
// floating-point contraction), so results are reproducible bit for bit.

namespace ostrel {

// Natural logarithm of the gamma function for x > 0: a Lanczos approximation
// with g = 7 and nine coefficients, with one reflection step below 0.5.
double log_gamma(double x);

}  // namespace ostrel
