#pragma once
// The log-gamma terms of a Dirichlet estimate, ln G(base + k) + shift for the
// counts k met, remembered below a bound: a pass that scores the same node
// again and again after each added position reads them instead of evaluating
// them. A remembered term is the direct evaluation, bit for bit.
//
//   LogGammaTerms terms(0.5, shift);
//   double t = terms(k);
//
// Terms of the same base and shift are the same numbers wherever they are
// met, so those of counts below SHARED are shared: the last few such tables
// stay with the thread, and a mixture made after another of the same
// alphabet and alpha (a chain of fits, change points, one fit per window)
// starts with every small term the last one met. What stays is bounded:
// RECENT tables of SHARED terms (128 KiB each). Larger counts are remembered
// by each estimator's own table, up to REMEMBERED. The estimators that share
// a table are used by one thread at a time (the module never releases the
// interpreter lock).

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
  static constexpr Count SHARED = Count{1} << 14;
  // Counts from this on are evaluated each time: an estimator's own table
  // holds at most 8 MiB of terms.
  static constexpr Count REMEMBERED = Count{1} << 20;
  // Shared tables kept for the thread beyond the estimators that use them.
  static constexpr std::size_t RECENT = 4;

  LogGammaTerms(double base, double shift) : small_(shared(base, shift)), large_(base, shift) {}

  // ln G(base + k) + shift (ln G(base + k) alone when shift is 0).
  [[gnu::always_inline]] double operator()(Count k) {
    return k < SHARED ? small_->term(k) : large_.term(k);
  }

 private:
  static constexpr std::size_t PAGE = 512;

  // The terms met, in pages of PAGE terms each made when a count in it is
  // first met: a node of a million positions costs one page, not a table up
  // to its count. A page not made reads as NONE, every term unknown (NaN).
  class Paged {
   public:
    Paged(double base, double shift, std::size_t pages = 0)
        : base_(base), shift_(shift), pages_(pages, NONE.data()), owned_(pages) {}
    Paged(const Paged& other)
        : base_(other.base_), shift_(other.shift_), pages_(other.pages_), owned_(other.owned_) {
      point_at_owned();
    }
    // A move keeps the pages where they are.
    Paged(Paged&&) noexcept = default;
    Paged& operator=(Paged&&) noexcept = default;
    // A failed copy leaves the table as it was.
    Paged& operator=(const Paged& other) {
      if (this != &other) *this = Paged(other);
      return *this;
    }

    bool same(double base, double shift) const noexcept {
      return std::bit_cast<std::uint64_t>(base) == std::bit_cast<std::uint64_t>(base_) &&
             std::bit_cast<std::uint64_t>(shift) == std::bit_cast<std::uint64_t>(shift_);
    }
    [[gnu::always_inline]] double term(Count k) {
      if (k < static_cast<Count>(pages_.size()) * PAGE) {
        const double value = pages_[static_cast<std::size_t>(k) / PAGE][k % PAGE];
        if (!std::isnan(value)) return value;
      }
      return met(k);
    }

   private:
    static constexpr std::array<double, PAGE> NONE = [] {
      std::array<double, PAGE> none{};
      none.fill(std::numeric_limits<double>::quiet_NaN());
      return none;
    }();

    void point_at_owned() {
      for (std::size_t i = 0; i < owned_.size(); ++i) {
        if (!owned_[i].empty()) pages_[i] = owned_[i].data();
      }
    }

    [[gnu::noinline]] double met(Count k) {
      const double lg = log_gamma(base_ + static_cast<double>(k));
      const double value = shift_ == 0.0 ? lg : lg + shift_;
      if (k >= REMEMBERED) return value;
      const auto at = static_cast<std::size_t>(k);
      if (at / PAGE >= pages_.size()) {
        // Room first, so that a failure leaves the table as it was.
        owned_.reserve(at / PAGE + 1);
        pages_.reserve(at / PAGE + 1);
        owned_.resize(at / PAGE + 1);
        pages_.resize(at / PAGE + 1, NONE.data());
      }
      std::vector<double>& page = owned_[at / PAGE];
      if (page.empty()) {
        page.assign(PAGE, std::numeric_limits<double>::quiet_NaN());
        pages_[at / PAGE] = page.data();
      }
      page[at % PAGE] = value;
      return value;
    }

    double base_, shift_;
    std::vector<const double*> pages_;        // each page's terms, or NONE
    std::vector<std::vector<double>> owned_;  // the pages made
  };

  // The shared table of `base` and `shift` that the thread last made or
  // used, or a new one.
  static std::shared_ptr<Paged> shared(double base, double shift) {
    thread_local std::array<std::shared_ptr<Paged>, RECENT> recent;
    std::size_t at = 0;
    while (at < RECENT && recent[at] && !recent[at]->same(base, shift)) ++at;
    std::shared_ptr<Paged> found = at < RECENT && recent[at]
                                       ? recent[at]
                                       : std::make_shared<Paged>(base, shift, SHARED / PAGE);
    // The one found or made moves to the front; the last one falls out when it is new.
    for (std::size_t i = std::min(at, RECENT - 1); i > 0; --i) recent[i] = std::move(recent[i - 1]);
    recent[0] = found;
    return found;
  }

  std::shared_ptr<Paged> small_;
  Paged large_;
};

}  // namespace ostrel::bct
