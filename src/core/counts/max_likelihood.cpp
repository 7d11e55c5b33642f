// The maximised log-likelihood from the contexts of the counts' keys.

#include "counts/max_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "counts/context_counts.hpp"

namespace ostrel {

namespace detail {

void ContextOutcomes::close(std::size_t begin, std::uint64_t first) {
  const auto from = outcomes_.begin() + static_cast<std::ptrdiff_t>(begin);
  std::sort(from, outcomes_.end(),
            [](const SymbolCount& a, const SymbolCount& b) { return a.symbol < b.symbol; });
  std::size_t end = begin;
  for (std::size_t j = begin; j < outcomes_.size(); ++j) {
    if (end != begin && outcomes_[end - 1].symbol == outcomes_[j].symbol) {
      outcomes_[end - 1].count += outcomes_[j].count;
    } else {
      outcomes_[end++] = outcomes_[j];
    }
  }
  outcomes_.resize(end);
  contexts_.push_back(Context{first, begin, end});
}

double ContextOutcomes::log_likelihood() const {
  // By first ordinal (distinct: a position has one context), the key held
  // beside the index so that comparing reads no context. A context with one
  // symbol adds c ln(c / c) = +0.0, which changes no sum: left out.
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  for (std::size_t c = 0; c < contexts_.size(); ++c) {
    if (contexts_[c].end - contexts_[c].begin >= 2) order.emplace_back(contexts_[c].first, c);
  }
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  double total = 0.0;
  for (const auto& [first, c] : order) {
    Count sum = 0;
    for (const SymbolCount& o : outcomes(contexts_[c])) sum += o.count;
    const double whole = static_cast<double>(sum);
    for (const SymbolCount& o : outcomes(contexts_[c])) {
      const double m = static_cast<double>(o.count);
      total += m * std::log(m / whole);
    }
  }
  return total;
}

}  // namespace detail

std::expected<double, std::string> max_log_likelihood(const Counts& counts, std::size_t depth) {
  if (counts.starts()) throw InternalFault("max_log_likelihood: counts from their rows' start");
  if (depth > counts.max_depth()) {
    return std::unexpected(depth_above_max_depth(depth, counts.max_depth()));
  }
  const detail::KeyedLeaves& keyed = counts.keyed();
  detail::ContextOutcomes contexts;
  detail::with_front_keys(keyed, [&](const auto& keys) {
    detail::for_each_context(keyed, keys, depth,
                             [&](std::size_t from, std::size_t to, std::span<const Symbol>) {
                               contexts.add(keyed, keys, from, to);
                             });
  });
  return contexts.log_likelihood();
}

}  // namespace ostrel
