#pragma once
// Odds that may run far beyond a double's range, as a Kneser-Ney mixture's
// nodes keep them: R = r 2^(512 scale), r held in [2^-512, 2^512] and the
// scale an integer. The powers of 2^512 a node's weights need are formed by
// products with exact powers of two, each giving what ldexp gives (the exact
// value, rounded once), without a call.

#include <cstdint>

namespace ostrel::bct {

inline constexpr double ODDS_STEP = 0x1p512;
inline constexpr double ODDS_STEP_DOWN = 0x1p-512;

// 2^(-512 scale), for a scale of 1 or more: 2^-512, 2^-1024 (a subnormal),
// then 0, as ldexp(1, max(-512 scale, -2000)) gives it.
inline double inverse_odds_step(std::int64_t scale) noexcept {
  return scale == 1 ? 0x1p-512 : scale == 2 ? 0x1p-1024 : 0.0;
}

// r 2^(512 scale), for r in [2^-512, 2^512] and a scale of -1 or less, as
// ldexp(r, max(512 scale, -2000)) gives it. At -1 and -2 one product rounds
// once. At -3 the result is not 0 only for r of 2^461 or more, where the
// first product is exact (a normal number); below that, both ways give 0.
// From -4 on, r 2^-2000 is at most 2^-1488, which is 0.
inline double times_odds_step(double r, std::int64_t scale) noexcept {
  if (scale == -1) return r * 0x1p-512;
  if (scale == -2) return r * 0x1p-1024;
  if (scale == -3) return (r * 0x1p-512) * 0x1p-1024;
  return 0.0;
}

}  // namespace ostrel::bct
