// Validation of the model configuration; every message here is part of the
// module's interface and is reproduced verbatim.

#include "config/config.hpp"

#include <cmath>
#include <utility>

#include "config/text.hpp"

namespace ostrel {

std::string_view canonical_name(SelectionMethod method) {
  switch (method) {
    case SelectionMethod::Bct:
      return "bct";
    case SelectionMethod::Bic:
      return "bic";
    case SelectionMethod::PeresShield:
      return "peres_shield";
  }
  return "bct";
}

double default_beta(std::size_t alphabet_size) {
  double t = static_cast<double>(alphabet_size) + -1.0;
  t = t * -0.6931471805599453;
  return 1.0 - std::exp(t);
}

namespace {

std::optional<SelectionMethod> parse_method(std::u32string_view text) {
  const std::u32string name = normalise_text(text);
  if (name == U"bct") return SelectionMethod::Bct;
  if (name == U"bic") return SelectionMethod::Bic;
  if (name == U"peres_shield" || name == U"peres-shield" || name == U"ps") {
    return SelectionMethod::PeresShield;
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> check_shape(std::size_t alphabet_size, std::size_t max_depth) {
  if (alphabet_size < 2) return std::unexpected("alphabet_size must be at least 2");
  if (max_depth > 65535) return std::unexpected("max_depth must be no larger than 65535");
  return {};
}

std::expected<double, std::string> bct_beta(std::size_t alphabet_size, std::optional<double> beta) {
  if (!beta) {
    const double value = default_beta(alphabet_size);
    if (!(value < 1.0)) {
      return std::unexpected(
          "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly");
    }
    return value;
  }
  // Written so that NaN fails as well.
  if (!(*beta >= 0.5 && *beta < 1.0)) {
    return std::unexpected(
        "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection");
  }
  return *beta;
}

std::expected<FitConfig, std::string> FitConfig::create(
    std::size_t alphabet_size, std::size_t max_depth, std::u32string_view method,
    std::optional<double> beta, std::optional<double> penalty, std::u32string_view boundary) {
  using Error = std::unexpected<std::string>;
  if (auto shape = check_shape(alphabet_size, max_depth); !shape) return Error(shape.error());

  const std::optional<SelectionMethod> parsed = parse_method(method);
  if (!parsed) {
    return Error("unknown method " + quote_text(method) +
                 "; expected 'bct', 'bic', or 'peres_shield'");
  }
  if (normalise_text(boundary) != U"condition") {
    return Error("unknown boundary mode " + quote_text(boundary) +
                 "; currently only 'condition' is supported");
  }
  const SelectionMethod chosen = *parsed;
  if (beta && chosen != SelectionMethod::Bct) {
    return Error("beta is only valid when method='bct'");
  }
  if (penalty && chosen != SelectionMethod::Bic) {
    return Error("penalty is only valid when method='bic'");
  }

  // Other methods store the default, which only bct reads: a beta given with
  // them was refused above.
  double beta_value = default_beta(alphabet_size);
  if (chosen == SelectionMethod::Bct) {
    auto checked = bct_beta(alphabet_size, beta);
    if (!checked) return Error(std::move(checked.error()));
    beta_value = *checked;
  }

  double penalty_value = 1.0;
  if (penalty) {
    penalty_value = *penalty;
    if (!(std::isfinite(penalty_value) && penalty_value > 0.0)) {
      return Error("penalty must be finite and strictly positive");
    }
  }

  return FitConfig{beta_value, penalty_value, alphabet_size, max_depth, chosen};
}

}  // namespace ostrel
