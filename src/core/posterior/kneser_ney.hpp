#pragma once
// The hierarchical Pitman-Yor estimator of a context's next symbol, with one
// table per symbol: interpolated Kneser-Ney with three discounts per depth
// ("modified" Kneser-Ney). A node's prior is its parent's predictive
// distribution (the context one symbol shorter; at the root, uniform over
// the m symbols), and its own counts are discounted towards it:
//   q(a) = ((n_a - d(n_a)) + (theta + sum_b d(n_b)) p(a)) / (n + theta),
// where n_a counts a at the node, n all its positions, p the parent's
// backing-off distribution, theta the depth's concentration and d(k) the
// depth's discount for a count k: 0 for 0, d1 for 1, d2 for 2, d3 for 3 or
// more. A node without positions predicts p. A node's backing-off
// distribution, which its children take as p, is the same rule over its
// continuation counts: for each symbol, the number of its children in whose
// context the symbol has followed (Kneser-Ney's counts, the tables of the
// Pitman-Yor seating).
//
// The estimate of a position depends on every position before it, so a
// mixture under it is grown position by position, in order; counts, which
// keep no order, cannot make one.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "base/types.hpp"

namespace ostrel::bct {

// The discount taken where none is given: Kneser and Ney's classic 3/4.
inline constexpr double KNESER_NEY_DISCOUNT = 0.75;

class KneserNey {
 public:
  // The count classes of a discount: 1, 2, 3 or more.
  static constexpr std::size_t CLASSES = 3;

  // A node's symbols by count class: how many have count 1, 2, 3 or more.
  struct Classes {
    std::array<std::uint32_t, CLASSES> size{};

    // A symbol's count goes from `before` to before + 1.
    void count_up(Count before) noexcept {
      if (before < CLASSES) {
        if (before > 0) --size[before - 1];
        ++size[before];
      }
    }
  };

  // `discounts`: (max_depth + 1) * 3 values, depth by depth, the classes in
  // order; `concentrations`: max_depth + 1. Refused with the keywords'
  // messages unless every discount is in [0, 1), every concentration is
  // finite and at least 0, and a depth of concentration 0 has no discount 0
  // (or a symbol never seen there would have probability 0).
  static std::expected<KneserNey, std::string> checked(std::size_t alphabet_size,
                                                       std::vector<double> discounts,
                                                       std::vector<double> concentrations);

  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  std::size_t max_depth() const noexcept { return concentrations_.size() - 1; }
  std::span<const double> discounts() const noexcept { return discounts_; }
  std::span<const double> concentrations() const noexcept { return concentrations_; }

  // The predictive probability of a symbol counted `count` times at a node of
  // depth `depth`, `total` positions and classes `classes`, whose parent
  // predicts it with `parent`. The terms are formed in this order.
  double predict(std::size_t depth, Count count, Count total, const Classes& classes,
                 double parent) const noexcept {
    if (total == 0) return parent;
    const double* d = by_count_.data() + depth * (CLASSES + 1);
    const double theta = concentrations_[depth];
    const double discounted = (d[1] * static_cast<double>(classes.size[0]) +
                               d[2] * static_cast<double>(classes.size[1])) +
                              d[3] * static_cast<double>(classes.size[2]);
    return ((static_cast<double>(count) - d[std::min<Count>(count, CLASSES)]) +
            (theta + discounted) * parent) /
           (static_cast<double>(total) + theta);
  }

 private:
  KneserNey(std::size_t alphabet_size, std::vector<double> discounts,
            std::vector<double> concentrations)
      : alphabet_size_(alphabet_size),
        discounts_(std::move(discounts)),
        concentrations_(std::move(concentrations)) {
    by_count_.reserve(concentrations_.size() * (CLASSES + 1));
    for (std::size_t depth = 0; depth < concentrations_.size(); ++depth) {
      by_count_.push_back(0.0);
      const double* d = discounts_.data() + depth * CLASSES;
      by_count_.insert(by_count_.end(), d, d + CLASSES);
    }
  }

  std::size_t alphabet_size_;
  std::vector<double> discounts_;
  std::vector<double> concentrations_;
  // Per depth, the discount of a count of 0, 1, 2, 3 or more.
  std::vector<double> by_count_;
};

inline std::expected<KneserNey, std::string> KneserNey::checked(
    std::size_t alphabet_size, std::vector<double> discounts, std::vector<double> concentrations) {
  if (concentrations.empty() || discounts.size() != concentrations.size() * CLASSES) {
    throw InternalFault("kneser-ney: hyperparameter tables of different depths");
  }
  for (const double d : discounts) {
    if (!(d >= 0.0 && d < 1.0)) {
      return std::unexpected("discount must be finite, at least 0, and strictly below 1");
    }
  }
  for (std::size_t depth = 0; depth < concentrations.size(); ++depth) {
    const double theta = concentrations[depth];
    if (!(std::isfinite(theta) && theta >= 0.0)) {
      return std::unexpected("concentration must be finite and at least 0");
    }
    const double* d = discounts.data() + depth * CLASSES;
    if (theta == 0.0 && (d[0] == 0.0 || d[1] == 0.0 || d[2] == 0.0)) {
      return std::unexpected(
          "concentration must be strictly positive at a depth where a discount is 0");
    }
  }
  return KneserNey(alphabet_size, std::move(discounts), std::move(concentrations));
}

}  // namespace ostrel::bct
