#pragma once
// bct's prior over context trees, in log space. A tree's prior probability is
// the product over its nodes above the storage depth of beta for a leaf and
// 1 - beta for a split, so the passes add lb = ln(beta) and l1b =
// log1p(-beta). A `BctPrior` holds a beta that the configuration accepts
// (0.5 <= beta < 1), on which every pass relies; `log_add` sums
// probabilities held as logarithms.

#include <cmath>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>

namespace ostrel::bct {

// ln(e^a + e^b) without overflow: the larger plus the log of one plus the
// ratio.
inline double log_add(double a, double b) {
  const double hi = a < b ? b : a;
  const double lo = a < b ? a : b;
  return hi + std::log1p(std::exp(lo - hi));
}

struct BctPrior {
  double beta, lb, l1b;

  // A beta the configuration has accepted; any other is an internal fault.
  explicit BctPrior(double beta);

  // `beta` as OSTREL(alphabet_size, method="bct", beta=beta) takes it, with
  // its default and its messages.
  static std::expected<BctPrior, std::string> checked(std::size_t alphabet_size,
                                                      std::optional<double> beta);
};

}  // namespace ostrel::bct
