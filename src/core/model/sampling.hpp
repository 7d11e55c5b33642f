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

#include "model/context_lookup.hpp"
#include "model/model.hpp"

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
  // Where a recorded symbol's weight range [start, end) lies; `after` is the
  // weight of the recorded symbols up to it beyond 1 each (so an unrecorded
  // symbol s after it and before the next starts at s + after).
  struct Cut {
    std::uint64_t start, end, after;
    Symbol symbol;
  };
  // A node's draw when W < 2^64: W - 1, the shift that keeps bit_width(W - 1)
  // bits of an output, and its cuts in `cuts_`, padded with cuts no draw
  // reaches to at least SMALL. `size` is 0 for a node with W >= 2^64.
  struct Table {
    std::uint64_t largest;
    std::uint32_t begin, size;
    int shift;
  };
  // A table's `begin` before it is made: no table has that many cuts before it.
  static constexpr std::uint32_t NOT_MADE = ~std::uint32_t{0};
  static constexpr std::size_t SMALL = 4;

  const Table& table(NodeIndex node);
  Table make_table(NodeIndex node);
  Symbol draw(const Table& table);
  // The draw by the same rule in two words, for a node with W >= 2^64.
  Symbol draw_wide(NodeIndex node);

  const CountTrie& trie_;
  ContextLookup lookup_;
  RandomStream random_;
  // The last storage_depth symbols at least, most recent last; trimmed to
  // that when it reaches twice as many.
  std::vector<Symbol> window_;
  std::size_t depth_;
  ContextLookup::Walk walk_;  // of the window
  // Per node, its table once made (begin NOT_MADE before); empty when the
  // draws are too few to pay for it, and tables are then made afresh.
  IndexVector<NodeIndex, Table> tables_;
  Table scratch_{};
  std::vector<Cut> cuts_;
  std::vector<SymbolCount> sorted_;
};

}  // namespace ostrel
