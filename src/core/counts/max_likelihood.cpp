// The maximised log-likelihood from the contexts of the counts' keys.

#include "counts/max_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

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
  std::vector<std::size_t> order(contexts_.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return contexts_[a].first < contexts_[b].first; });
  double total = 0.0;
  for (const std::size_t c : order) {
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
