#pragma once
// Drawing symbols from a fitted model, exactly and the same on every machine.
// The generator is xoshiro256** whose state is four successive outputs of
// SplitMix64 started at the seed. At a node of count n over an alphabet of A
// symbols, symbol s has weight 2 c_s + 1 out of W = 2 n + A, which is
// (c_s + 1/2) / (n + A/2), the model's smoothed probability, in integers. A
// draw u in [0, W) is the top bit_width(W - 1) bits of the next output (of
// the next two when W exceeds 2^64), drawn again until it is below W; the
// symbol drawn is the one whose range of cumulative weight, symbols in
// ascending order, holds u.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "context_lookup.hpp"
#include "model.hpp"

namespace ostrel {

class RandomStream {
 public:
  explicit RandomStream(std::uint64_t seed) noexcept;
  std::uint64_t next() noexcept;

 private:
  std::uint64_t state_[4];
};

class Sampler {
 public:
  // Draws after `history` (most recent symbol last) from `model`, which must
  // be fitted, with symbols already checked. `draws`: how many the caller
  // means to make, which decides what is worth remembering per node.
  Sampler(const OSTRELObject& model, std::span<const Symbol> history, std::uint64_t seed,
          Count draws);

  // The next symbol, drawn from the distribution predict_proba gives after
  // the history and every symbol drawn so far.
  Symbol next();

 private:
  // The outcome records of `node` in ascending symbol order.
  std::span<const SymbolCount> sorted(NodeIndex node);

  const CountTrie& trie_;
  ContextLookup lookup_;
  RandomStream random_;
  // The last storage_depth symbols at least, most recent last; trimmed to
  // that when it reaches twice as many.
  std::vector<Symbol> window_;
  std::size_t depth_;
  // Remembered sorted outcome lists: node -> [begin, end) in `records_`
  // (begin == end == NO_INDEX when not yet sorted); empty when not worth it.
  struct Range {
    std::uint32_t begin, end;
  };
  std::vector<Range> ranges_;
  std::vector<SymbolCount> records_;
};

}  // namespace ostrel
