// Bottom-up maximal probabilities in log space. Ties keep the leaf.

#include "selection/bct.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "base/math.hpp"

namespace ostrel::bct {

namespace {

// log_gamma(0.5) with a correctly rounded logarithm: subtracting it makes the
// term of a symbol never seen at a node exactly zero.
constexpr double LOG_GAMMA_HALF = 0.5723649429246995;

// Counts below this have their log-gamma terms cached; most counts are small.
constexpr Count CACHED = 4096;

// f(k) = log_gamma(base + k) (+ shift), from the cache when it has it. The
// cached values are those of the direct evaluation, bit for bit.
double cached(std::vector<double>& cache, double base, double shift, Count k) {
  auto evaluate = [&] {
    const double lg = log_gamma(base + static_cast<double>(k));
    return shift == 0.0 ? lg : lg + shift;
  };
  if (k >= CACHED) return evaluate();
  double& value = cache[k];
  if (std::isnan(value)) value = evaluate();
  return value;
}

}  // namespace

Rule::Rule(std::size_t alphabet_size, std::size_t storage_depth, double beta)
    : alphabet_size_(alphabet_size),
      storage_depth_(storage_depth),
      lb_(std::log(beta)),
      l1b_(std::log1p(-beta)),
      unseen_log_max_prob_(storage_depth + 1, 0.0),
      depth_split_(storage_depth + 1, 0),
      lg_half_plus_(CACHED, std::numeric_limits<double>::quiet_NaN()),
      kt_term_(CACHED, std::numeric_limits<double>::quiet_NaN()) {
  const double alphabet = static_cast<double>(alphabet_size);
  for (std::size_t d = storage_depth; d-- > 0;) {
    const double s = l1b_ + unseen_log_max_prob_[d + 1] * alphabet;
    if (s > lb_) {
      unseen_log_max_prob_[d] = s;
      depth_split_[d] = 1;
    } else {
      unseen_log_max_prob_[d] = lb_;
    }
  }
  const double half = alphabet * 0.5;
  lg_half_ = log_gamma(half);
  // The term of an absent symbol. With a correctly rounded logarithm it is
  // +0.0, and adding +0.0 changes no partial sum (none is ever -0.0, since
  // every summand is a finite value other than -0.0), so absent symbols can be
  // skipped. Any other value is added symbol by symbol, as written.
  absent_term_ = log_gamma(0.5) + (-LOG_GAMMA_HALF);
  skip_absent_ = absent_term_ == 0.0 && !std::signbit(absent_term_);
}

double Rule::estimate(Count count, std::span<const SymbolCount> outcomes) {
  const double half = static_cast<double>(alphabet_size_) * 0.5;
  double e = lg_half_ - cached(lg_half_plus_, half, 0.0, count);
  if (skip_absent_) {
    for (const SymbolCount& record : outcomes) {
      e = e + cached(kt_term_, 0.5, -LOG_GAMMA_HALF, record.count);
    }
    return e;
  }
  Symbol next = 0;
  for (const SymbolCount& record : outcomes) {
    for (; next < record.symbol; ++next) e = e + absent_term_;
    e = e + cached(kt_term_, 0.5, -LOG_GAMMA_HALF, record.count);
    next = record.symbol + 1;
  }
  for (; next < alphabet_size_; ++next) e = e + absent_term_;
  return e;
}

NodeDecision Rule::decide(double estimate, std::size_t depth, double children_total,
                          std::size_t children) const {
  if (depth == storage_depth_) return {estimate, false};
  if (depth > storage_depth_) throw InternalFault("bct: node below the storage depth");
  // The symbols without a child node count as subtrees without data.
  const double f = children_total +
                   unseen_log_max_prob_[depth + 1] * static_cast<double>(alphabet_size_ - children);
  const double l = lb_ + estimate;
  if (f > l) return {f, true};
  return {l, false};
}

}  // namespace ostrel::bct
