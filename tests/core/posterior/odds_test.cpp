// The powers of 2^512 of a Kneser-Ney node's odds against ldexp, which they replace: every
// scale met, r at the ends of its range, around the thresholds where results turn subnormal
// or vanish, and at random.

#include "posterior/odds.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace ostrel::bct {
namespace {

std::vector<double> odds_to_try() {
  std::vector<double> r = {ODDS_STEP_DOWN, ODDS_STEP, 1.0};
  for (const int e : {-512, -511, -510, -461, -52, -1, 0, 1, 52, 460, 461, 462, 511}) {
    const double p = std::ldexp(1.0, e);
    r.insert(r.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), 1.5 * p});
  }
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-512.0, 512.0);
  for (int i = 0; i < 20000; ++i) r.push_back(std::exp2(exponent(random)));
  std::erase_if(r, [](double x) { return !(x >= ODDS_STEP_DOWN && x <= ODDS_STEP); });
  return r;
}

TEST(Odds, PowersOfTheStepAreLdexpBitForBit) {
  for (std::int64_t scale = 1; scale <= 6; ++scale) {
    const double expected =
        std::ldexp(1.0, static_cast<int>(std::max<std::int64_t>(-512 * scale, -2000)));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(inverse_odds_step(scale)),
              std::bit_cast<std::uint64_t>(expected))
        << scale;
  }
  for (const double r : odds_to_try()) {
    for (std::int64_t scale = -1; scale >= -6; --scale) {
      const double expected =
          std::ldexp(r, static_cast<int>(std::max<std::int64_t>(512 * scale, -2000)));
      ASSERT_EQ(std::bit_cast<std::uint64_t>(times_odds_step(r, scale)),
                std::bit_cast<std::uint64_t>(expected))
          << r << " at scale " << scale;
    }
  }
}

}  // namespace
}  // namespace ostrel::bct
