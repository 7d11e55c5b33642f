#pragma once
// The Dirichlet estimator of a context's next symbol: a symmetric Dirichlet
// prior with concentration alpha on each symbol of m. From a node's counts
// (n positions, n_a of them symbol a) it gives the log marginal likelihood
//   E = ln G(m alpha) - ln G(n + m alpha) + sum_a [ln G(n_a + alpha) - ln G(alpha)]
// (G the gamma function), summed symbols ascending, and the predictive
//   (n_a + alpha) / (n + m alpha).
// alpha = 1/2 is the Krichevsky-Trofimov estimate that bct's selector scores
// leaves with (bct::Rule::estimate), term for term, so every default answer
// is that estimate bit for bit. The estimate depends on the counts alone, not
// on the order of the positions.
//
// Its log-gamma terms are remembered (log_gamma_terms.hpp).

#include <cmath>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>

#include "base/math.hpp"
#include "base/types.hpp"
#include "posterior/log_gamma_terms.hpp"

namespace ostrel::bct {

class Dirichlet {
 public:
  // The Krichevsky-Trofimov concentration, the default.
  static constexpr double KRICHEVSKY_TROFIMOV = 0.5;
  // Beyond this a leaf is uniform to every digit its estimate can hold, and
  // its log-gamma terms (of about m alpha ln(m alpha)) would drown the
  // differences the evidence is made of.
  static constexpr double MOST_ALPHA = 0x1p32;

  // `alpha` is one that checked() accepts.
  explicit Dirichlet(std::size_t alphabet_size, double alpha = KRICHEVSKY_TROFIMOV)
      : alphabet_size_(alphabet_size),
        alpha_(alpha),
        total_(static_cast<double>(alphabet_size) * alpha),
        lg_total_(log_gamma(total_)),
        // ln G(alpha) correctly rounded at 1/2, as bct's selector subtracts it.
        shift_(alpha == KRICHEVSKY_TROFIMOV ? -LOG_GAMMA_HALF : -log_gamma(alpha)),
        absent_(log_gamma(alpha) + shift_),
        skip_absent_(absent_ == 0.0 && !std::signbit(absent_)),
        lg_plus_(total_, 0.0),
        terms_(alpha_, shift_) {}

  // `alpha` as the keyword takes it: None for the default, else a finite
  // positive number no larger than MOST_ALPHA.
  static std::expected<double, std::string> checked(std::optional<double> alpha) {
    if (!alpha) return KRICHEVSKY_TROFIMOV;
    if (!(std::isfinite(*alpha) && *alpha > 0.0 && *alpha <= MOST_ALPHA)) {
      return std::unexpected("alpha must be finite, strictly positive and at most 2**32");
    }
    return *alpha;
  }

  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  double alpha() const noexcept { return alpha_; }
  // m alpha, the estimate's total pseudo-count.
  double total() const noexcept { return total_; }

  // The predictive probability of a symbol seen `count` times in `n`.
  double predict(Count count, Count n) const noexcept {
    return (static_cast<double>(count) + alpha_) / (static_cast<double>(n) + total_);
  }

  // The log estimate of `count` positions whose outcomes `outcomes` lists
  // (records with .symbol and .count, ascending symbols, counts above 0).
  template <class Outcomes>
  double estimate(Count count, const Outcomes& outcomes) {
    double e = lg_total_ - lg_plus_(count);
    if (skip_absent_) {
      // An absent symbol's term is +0.0, which changes no partial sum.
      for (const auto& record : outcomes) e = e + terms_(record.count);
      return e;
    }
    Symbol next = 0;
    for (const auto& record : outcomes) {
      for (; next < record.symbol; ++next) e = e + absent_;
      e = e + terms_(record.count);
      next = record.symbol + 1;
    }
    for (; next < alphabet_size_; ++next) e = e + absent_;
    return e;
  }

 private:
  // log_gamma(0.5), correctly rounded, as bct's selector subtracts it.
  static constexpr double LOG_GAMMA_HALF = 0.5723649429246995;
  std::size_t alphabet_size_;
  double alpha_, total_, lg_total_, shift_, absent_;
  bool skip_absent_;
  LogGammaTerms lg_plus_;  // log_gamma(m alpha + k)
  LogGammaTerms terms_;    // log_gamma(alpha + k) - log_gamma(alpha)
};

}  // namespace ostrel::bct
