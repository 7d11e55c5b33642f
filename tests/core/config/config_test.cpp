// Tests for FitConfig::create: the order of the checks and their messages, method and
// boundary normalisation, and the defaults of beta and penalty.

#include "config/config.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace ostrel {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct Args {
  std::size_t alphabet, depth;
  std::u32string method;
  std::optional<double> beta = {}, penalty = {};
  std::u32string boundary = U"condition";
};

auto create(const Args& a) {
  return FitConfig::create(a.alphabet, a.depth, a.method, a.beta, a.penalty, a.boundary);
}

TEST(FitConfigTest, ReportsTheFirstFailingCheck) {
  const std::string methods = "; expected 'bct', 'bic', or 'peres_shield'";
  const std::string beta =
      "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP selection";
  const std::string penalty = "penalty must be finite and strictly positive";
  const std::pair<Args, std::string> cases[] = {
      {{1, 70000, U"nope", 0.1, -1.0, U"x"}, "alphabet_size must be at least 2"},
      {{0, 10, U"bct"}, "alphabet_size must be at least 2"},
      {{2, 65536, U"nope", {}, {}, U"x"}, "max_depth must be no larger than 65535"},
      {{2, 10, U"nope", 0.1, {}, U"x"}, "unknown method \"nope\"" + methods},
      {{2, 10, U"peres shield"}, "unknown method \"peres shield\"" + methods},
      {{2, 10, U"\tB c T\n"}, "unknown method \"\\tB c T\\n\"" + methods},
      {{2, 10, U""}, "unknown method \"\"" + methods},
      {{2, 10, U"bct", 0.1, {}, U"none"},
       "unknown boundary mode \"none\"; currently only 'condition' is supported"},
      {{2, 10, U"ps", 0.7, 1.0}, "beta is only valid when method='bct'"},
      {{2, 10, U"bct", {}, 1.0}, "penalty is only valid when method='bic'"},
      {{55, 10, U"bct"},
       "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly"},
      {{2, 1, U"bct", 0.49999999999999994}, beta},
      {{2, 1, U"bct", 1.0}, beta},
      {{2, 1, U"bct", INF}, beta},
      {{2, 1, U"bct", NaN}, beta},
      {{2, 1, U"bic", {}, 0.0}, penalty},
      {{2, 1, U"bic", {}, -0.0}, penalty},
      {{2, 1, U"bic", {}, -1.0}, penalty},
      {{2, 1, U"bic", {}, INF}, penalty},
      {{2, 1, U"bic", {}, NaN}, penalty},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const auto config = create(args);
    ASSERT_FALSE(config.has_value());
    EXPECT_EQ(config.error(), message);
  }
}

TEST(FitConfigTest, NormalisesMethodAndFillsDefaults) {
  using enum SelectionMethod;
  const double subnormal = std::numeric_limits<double>::denorm_min();
  struct Accepted {
    Args args;
    SelectionMethod method;
    double beta, penalty;
  };
  const Accepted cases[] = {
      {{2, 0, U" BCT\t", {}, {}, U" Condition\n"}, Bct, 0.5, 1.0},
      {{3, 65535, U"Bic"}, Bic, 0.75, 1.0},
      {{4, 10, U"PERES-SHIELD"}, PeresShield, 0.875, 1.0},
      {{4, 10, U"\u3000Peres_Shield\u00A0"}, PeresShield, 0.875, 1.0},
      {{4, 10, U"PS"}, PeresShield, 0.875, 1.0},
      {{54, 3, U"bct"}, Bct, 0.9999999999999999, 1.0},
      {{55, 3, U"bct", 0.99}, Bct, 0.99, 1.0},
      {{2, 3, U"bct", 0.5}, Bct, 0.5, 1.0},
      {{55, 3, U"bic", {}, 1e-300}, Bic, 1.0, 1e-300},
      {{60, 3, U"ps"}, PeresShield, 1.0, 1.0},
      {{2, 3, U"bic", {}, subnormal}, Bic, 0.5, subnormal},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(testing::Message() << c.args.alphabet << " " << c.beta << " " << c.penalty);
    const auto config = create(c.args);
    ASSERT_TRUE(config.has_value()) << config.error();
    EXPECT_EQ(config->method, c.method);
    EXPECT_EQ(config->beta, c.beta);
    EXPECT_EQ(config->penalty, c.penalty);
    EXPECT_EQ(config->alphabet_size, c.args.alphabet);
    EXPECT_EQ(config->max_depth, c.args.depth);
  }
  EXPECT_EQ(canonical_name(PeresShield), "peres_shield");
}

}  // namespace
}  // namespace ostrel
