#pragma once
// The log-gamma terms of a Dirichlet estimate, ln G(base + k) + shift for the
// counts k met, remembered below a bound: a pass that scores the same node
// again and again after each added position reads them instead of evaluating
// them. A remembered term is the direct evaluation, bit for bit.
//
//   std::shared_ptr<LogGammaTerms> terms = LogGammaTerms::shared(0.5, shift);
//   double t = (*terms)(k);
//
// Terms of the same base and shift are the same numbers wherever they are
// met, so the tables are shared: the last few made stay with the thread, and
// a mixture made after another of the same alphabet and alpha (a chain of
// fits, change points, one fit per window) starts with every term the last
// one met. What stays is bounded: RECENT tables of at most 2^20 terms each.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "base/math.hpp"
#include "base/types.hpp"

namespace ostrel::bct {

class LogGammaTerms {
 public:
  // Counts from this on are evaluated each time: a table holds at most 8 MiB of terms.
  static constexpr Count REMEMBERED = Count{1} << 20;
  // Tables kept for the thread beyond the estimators that use them.
  static constexpr std::size_t RECENT = 4;

  LogGammaTerms(double base, double shift) : base_(base), shift_(shift) {}

  // The table of `base` and `shift` that the thread last made or used, or a
  // new one.
  static std::shared_ptr<LogGammaTerms> shared(double base, double shift) {
    thread_local std::array<std::shared_ptr<LogGammaTerms>, RECENT> recent;
    std::size_t at = 0;
    while (at < RECENT && recent[at] && !recent[at]->same(base, shift)) ++at;
    std::shared_ptr<LogGammaTerms> found =
        at < RECENT && recent[at] ? recent[at] : std::make_shared<LogGammaTerms>(base, shift);
    // The one found or made moves to the front; the last one falls out when it is new.
    for (std::size_t i = std::min(at, RECENT - 1); i > 0; --i) recent[i] = std::move(recent[i - 1]);
    recent[0] = found;
    return found;
  }

  // ln G(base + k) + shift (ln G(base + k) alone when shift is 0).
  [[gnu::always_inline]] double operator()(Count k) {
    if (k < REMEMBERED) {
      const auto at = static_cast<std::size_t>(k);
      if (at / PAGE < pages_.size()) {
        const std::vector<double>& page = pages_[at / PAGE];
        if (!page.empty()) {
          const double value = page[at % PAGE];
          if (!std::isnan(value)) return value;
        }
      }
    }
    return met(k);
  }

 private:
  // The table is kept in pages of this many terms, each made when a count in
  // it is first met: a node of a million positions costs one page, not a
  // table up to its count.
  static constexpr std::size_t PAGE = 512;

  bool same(double base, double shift) const noexcept {
    return std::bit_cast<std::uint64_t>(base) == std::bit_cast<std::uint64_t>(base_) &&
           std::bit_cast<std::uint64_t>(shift) == std::bit_cast<std::uint64_t>(shift_);
  }

  [[gnu::noinline]] double met(Count k) {
    const double lg = log_gamma(base_ + static_cast<double>(k));
    const double value = shift_ == 0.0 ? lg : lg + shift_;
    if (k >= REMEMBERED) return value;
    const auto at = static_cast<std::size_t>(k);
    if (at / PAGE >= pages_.size()) pages_.resize(at / PAGE + 1);
    std::vector<double>& page = pages_[at / PAGE];
    if (page.empty()) page.assign(PAGE, std::numeric_limits<double>::quiet_NaN());
    page[at % PAGE] = value;
    return value;
  }

  double base_, shift_;
  std::vector<std::vector<double>> pages_;
};

}  // namespace ostrel::bct
