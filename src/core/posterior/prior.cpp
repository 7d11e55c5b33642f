// The prior's terms, computed once per pass.

#include "posterior/prior.hpp"

#include <utility>

#include "base/types.hpp"
#include "config/config.hpp"

namespace ostrel::bct {

BctPrior::BctPrior(double value) : beta(value), lb(std::log(value)), l1b(std::log1p(-value)) {
  if (!(value >= 0.5 && value < 1.0)) throw InternalFault("bct prior: beta outside [0.5, 1)");
}

std::expected<BctPrior, std::string> BctPrior::checked(std::size_t alphabet_size,
                                                       std::optional<double> beta) {
  auto value = bct_beta(alphabet_size, beta);
  if (!value) return std::unexpected(std::move(value.error()));
  return BctPrior(*value);
}

}  // namespace ostrel::bct
