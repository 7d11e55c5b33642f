// Remembered log-gamma terms are the direct evaluation bit for bit, whether an estimator
// met them itself, met them beyond the shared range, found them met by another estimator of
// the same base and shift (and never one of another shift), or was copied from another.

#include "posterior/log_gamma_terms.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/math.hpp"

namespace ostrel::bct {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(LogGammaTerms, AreTheDirectEvaluationWhoeverMetThem) {
  constexpr Count S = LogGammaTerms::SHARED;
  const std::vector<Count> ks = {0,
                                 1,
                                 2,
                                 511,
                                 512,
                                 S - 1,
                                 S,
                                 S + 1,
                                 3 * S + 7,
                                 LogGammaTerms::REMEMBERED - 1,
                                 LogGammaTerms::REMEMBERED,
                                 LogGammaTerms::REMEMBERED + 5};
  for (const double shift : {0.0, -0.5723649429246995, 1.25}) {
    LogGammaTerms first(3.5, shift);
    for (const Count k : ks) {
      const double lg = log_gamma(3.5 + static_cast<double>(k));
      const double direct = shift == 0.0 ? lg : lg + shift;
      // Met, then read back; then read by a second table of the same base and shift.
      EXPECT_EQ(bits(first(k)), bits(direct)) << k << " " << shift;
      EXPECT_EQ(bits(first(k)), bits(direct)) << k << " " << shift;
      LogGammaTerms second(3.5, shift);
      EXPECT_EQ(bits(second(k)), bits(direct)) << k << " " << shift;
    }
  }
}

// A copy owns its own pages: it reads them after the table it was copied from is gone, and
// what either meets later is its own.
TEST(LogGammaTerms, CopiesKeepTheirOwnPages) {
  const Count large = LogGammaTerms::SHARED + 3;
  auto original = std::make_unique<LogGammaTerms>(2.0, 0.0);
  (*original)(large);
  LogGammaTerms copy(*original);
  LogGammaTerms assigned(7.0, 0.0);
  assigned = *original;
  original.reset();
  for (LogGammaTerms* terms : {&copy, &assigned}) {
    EXPECT_EQ(bits((*terms)(large)), bits(log_gamma(2.0 + static_cast<double>(large))));
    EXPECT_EQ(bits((*terms)(large + 600)), bits(log_gamma(2.0 + static_cast<double>(large + 600))));
  }
}

}  // namespace
}  // namespace ostrel::bct
