#pragma once
// The Krichevsky-Trofimov log estimate of a node's counts, term for term as
// bct's selector forms it (bct::Rule::estimate), with its log-gamma terms
// remembered for every count met so far up to a bound: passes that score the
// same node again and again after each added position read them instead of
// evaluating them. A remembered term is the direct evaluation, bit for bit.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "base/math.hpp"
#include "base/types.hpp"

namespace ostrel::bct {

class KtTerms {
 public:
  explicit KtTerms(std::size_t alphabet_size)
      : alphabet_size_(alphabet_size),
        half_(static_cast<double>(alphabet_size) * 0.5),
        lg_half_(log_gamma(half_)),
        absent_(log_gamma(0.5) + (-LOG_GAMMA_HALF)),
        skip_absent_(absent_ == 0.0 && !std::signbit(absent_)) {}

  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  // alphabet_size / 2, the estimate's total pseudo-count.
  double half() const noexcept { return half_; }

  // The log estimate of `count` positions whose outcomes `outcomes` lists
  // (records with .symbol and .count, ascending symbols, counts above 0).
  template <class Outcomes>
  double estimate(Count count, const Outcomes& outcomes) {
    double e = lg_half_ - term(lg_plus_, half_, 0.0, count);
    if (skip_absent_) {
      // An absent symbol's term is +0.0, which changes no partial sum.
      for (const auto& record : outcomes) e = e + term(kt_, 0.5, -LOG_GAMMA_HALF, record.count);
      return e;
    }
    Symbol next = 0;
    for (const auto& record : outcomes) {
      for (; next < record.symbol; ++next) e = e + absent_;
      e = e + term(kt_, 0.5, -LOG_GAMMA_HALF, record.count);
      next = record.symbol + 1;
    }
    for (; next < alphabet_size_; ++next) e = e + absent_;
    return e;
  }

 private:
  // log_gamma(0.5), correctly rounded, as bct's selector subtracts it.
  static constexpr double LOG_GAMMA_HALF = 0.5723649429246995;
  // Counts from this on are evaluated each time: the tables stay below 16 MiB.
  static constexpr Count REMEMBERED = Count{1} << 20;
  // The tables are kept in pages of this many terms, each made when a count
  // in it is first met: a node of a million positions costs one page, not a
  // table up to its count.
  static constexpr std::size_t PAGE = 512;
  using Table = std::vector<std::vector<double>>;

  // log_gamma(base + k) (+ shift), remembered below REMEMBERED: a read when
  // it has been met, evaluated (and kept) by `met` otherwise.
  [[gnu::always_inline]] static double term(Table& table, double base, double shift, Count k) {
    if (k < REMEMBERED) {
      const auto at = static_cast<std::size_t>(k);
      if (at / PAGE < table.size()) {
        const std::vector<double>& page = table[at / PAGE];
        if (!page.empty()) {
          const double value = page[at % PAGE];
          if (!std::isnan(value)) return value;
        }
      }
    }
    return met(table, base, shift, k);
  }
  [[gnu::noinline]] static double met(Table& table, double base, double shift, Count k) {
    const double lg = log_gamma(base + static_cast<double>(k));
    const double value = shift == 0.0 ? lg : lg + shift;
    if (k >= REMEMBERED) return value;
    const auto at = static_cast<std::size_t>(k);
    if (at / PAGE >= table.size()) table.resize(at / PAGE + 1);
    std::vector<double>& page = table[at / PAGE];
    if (page.empty()) page.assign(PAGE, std::numeric_limits<double>::quiet_NaN());
    page[at % PAGE] = value;
    return value;
  }

  std::size_t alphabet_size_;
  double half_, lg_half_, absent_;
  bool skip_absent_;
  Table lg_plus_;  // log_gamma(half + k)
  Table kt_;       // log_gamma(0.5 + k) - log_gamma(0.5)
};

}  // namespace ostrel::bct
