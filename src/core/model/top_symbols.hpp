#pragma once
// The k most probable next symbols of a batch of histories, as top_k answers
// them: `columns` = min(k, alphabet_size) entries per history, one history
// after another, most probable first and equal probabilities in ascending
// symbol order, with their probabilities.

#include <cstddef>
#include <vector>

#include "base/types.hpp"

namespace ostrel {

struct TopSymbols {
  std::size_t columns;
  std::vector<Symbol> symbols;
  std::vector<double> probabilities;
};

}  // namespace ostrel
