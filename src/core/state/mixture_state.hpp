#pragma once
// The persistent state of a mixture whose estimator depends on the order of
// its positions (Kneser-Ney), kind 'X', layout 1: what it was made with and
// every row it holds, from which loading grows it again, position by
// position, into the same mixture bit for bit. After the header:
//   alphabet_size, max_depth (varints), beta (float64), the estimator's tag
//   'K' (a byte), its discounts, depth by depth and class by class, and its
//   concentrations, depth by depth (float64 each); the number of rows, then
//   each row's length and symbols (varints).
// A mixture of rows counted from their start is layout 2: the same with a
// byte after max_depth, its mode, which is 1. (Others are written in layout
// 1, as they always were.)
// A mixture of counts alone pickles as its counts instead (a Counts state).
//
// Loading checks every field before anything is built, as the constructors
// and the keywords check them, and every symbol against the alphabet.

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "posterior/mixture.hpp"

namespace ostrel {

std::string save_mixture(const bct::Mixture& mixture);

// The mixture a state describes, or what is wrong with the state (a message
// that starts "invalid ostrel state: ").
std::expected<bct::Mixture, std::string> load_mixture(std::span<const std::uint8_t> state);

}  // namespace ostrel
