#pragma once
// Entropy and divergence rates of fitted models, in nats per symbol, from the
// stationary law of their chain (chain.hpp). Every probability predict_proba
// gives is positive, so the chain has one stationary law. It is solved by
// Grassmann-Taksar-Heyman elimination (exact to rounding: no subtraction)
// up to GTH_LIMIT states, and beyond by iterating the chain from the uniform
// law until what is left to move, estimated from how fast the moves shrink,
// is below CONVERGED in total, or, for a chain that forgets its start fast
// (moves shrinking by FAST a step or faster), until rounding alone moves it
// (by less than STALLED). The iterated law holds the rounding of its steps,
// about 1e-16 / (1 - r) in total for moves that shrink by r a step. A chain
// that does not get there within ITERATION_LIMIT steps is reported, not
// answered.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "model/chain.hpp"
#include "representation/trie.hpp"

namespace ostrel {

inline constexpr std::size_t GTH_LIMIT = 1024;
inline constexpr double CONVERGED = 1e-15;
inline constexpr double STALLED = 1e-14;
inline constexpr double FAST = 0.5;
inline constexpr std::size_t ITERATION_LIMIT = 100000;

// The stationary law of `chain` run with the probabilities of `model`, whose
// answers are the chain's answers[0]; one entry per state. The error says
// that the iteration did not converge.
std::expected<std::vector<double>, std::string> stationary_law(const ContextChain& chain,
                                                               const ChainModel& model);

// -sum over states w of pi(w) sum over s of p(s|w) ln p(s|w), states in order,
// symbols ascending.
std::expected<double, std::string> entropy_rate(const ChainModel& model);

// sum over states w of pi(w) sum over s of p(s|w) ln(p(s|w) / q(s|w)), pi
// the stationary law of p's chain, on the states of both models' chain: 0
// exactly when every answer of q is p's.
std::expected<double, std::string> divergence_rate(const ChainModel& p, const ChainModel& q);

}  // namespace ostrel
