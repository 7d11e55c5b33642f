#pragma once
// The validated configuration of one model. `FitConfig::create` checks the
// constructor's arguments in a fixed order and returns either a configuration
// or the first error message; a `FitConfig` is plain data and never changes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

enum class SelectionMethod : std::uint8_t { Bct = 0, Bic = 1, PeresShield = 2 };

// "bct", "bic" or "peres_shield".
std::string_view canonical_name(SelectionMethod method);

struct FitConfig {
  double beta;
  double penalty;
  std::size_t alphabet_size;
  std::size_t max_depth;
  SelectionMethod method;

  // Validates in this order: alphabet size, maximum depth, method, boundary,
  // beta/penalty against the method, then the values of beta and penalty.
  // `method` and `boundary` are the caller's texts as code points.
  static std::expected<FitConfig, std::string> create(
      std::size_t alphabet_size, std::size_t max_depth, std::u32string_view method,
      std::optional<double> beta, std::optional<double> penalty, std::u32string_view boundary);
};

// The first two checks of create(): the alphabet size, then the depth.
std::expected<void, std::string> check_shape(std::size_t alphabet_size, std::size_t max_depth);

// bct's prior parameter as the constructor takes it under method "bct": a
// given `beta` must lie in [0.5, 1); without one the default, which must be
// below 1. Fails with the constructor's messages.
std::expected<double, std::string> bct_beta(std::size_t alphabet_size, std::optional<double> beta);

// The default BCT prior parameter 1 - 2^-(alphabet_size - 1), evaluated as
// 1 - exp((alphabet_size - 1) * -ln 2) in double precision.
double default_beta(std::size_t alphabet_size);

}  // namespace ostrel
