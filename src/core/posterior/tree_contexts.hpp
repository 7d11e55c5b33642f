#pragma once
// A ranked tree as its contexts: `ContextWriter` collects the contexts of one
// tree while a walk enters its nodes and meets its leaves, and puts them in
// the order of the model's context list (shorter first, then
// lexicographically, oldest symbol first).

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/types.hpp"

namespace ostrel::bct {

// One ranked tree: its contexts back to back, in the order of the model's
// context list, its value (log prior plus log probability of the data) and
// its log posterior probability (the value less the log evidence, when the
// evidence is known).
struct RankedTree {
  std::vector<Symbol> symbols;    // every context's symbols, one context after the other
  std::vector<std::size_t> ends;  // context i is symbols[ends[i - 1], ends[i]) (from 0 for i = 0)
  double log_value;
  double log_posterior = 0.0;

  std::size_t context_count() const noexcept { return ends.size(); }
  // The contexts as lists.
  std::vector<std::vector<Symbol>> contexts() const;

  bool operator==(const RankedTree&) const = default;
};

// The contexts of one tree, walked without recursion, then put in the order
// of the model's context list. `path[d - 1]` is the symbol at depth d of the
// node being visited, so a context, oldest first, is the path read backwards.
// Contexts are kept in one flat array per length and sorted there: as packed
// words (the oldest symbol highest, the context's place lowest) when they fit
// 64 bits, by comparison otherwise.
class ContextWriter {
 public:
  explicit ContextWriter(std::size_t alphabet_size)
      : bits_(static_cast<unsigned>(std::bit_width(alphabet_size - 1))) {}

  // Enters a node at `depth` whose edge carries `symbol` (ignored at the root).
  void enter(std::size_t depth, Symbol symbol) {
    path_.resize(depth == 0 ? 0 : depth - 1);
    if (depth > 0) path_.push_back(symbol);
  }
  void leaf() {
    const std::size_t d = path_.size();
    if (by_length_.size() <= d) by_length_.resize(d + 1);
    by_length_[d].symbols.insert(by_length_[d].symbols.end(), path_.rbegin(), path_.rend());
    ++by_length_[d].count;
    ++contexts_;
  }
  // Contexts written so far.
  std::size_t contexts() const noexcept { return contexts_; }

  // The tree written so far, its contexts in the order of the model's context
  // list; the writer starts afresh.
  RankedTree take(double log_value);

 private:
  struct Group {
    std::vector<Symbol> symbols;  // `count` contexts of one length, back to back
    std::size_t count = 0;
  };
  unsigned bits_;  // per packed symbol
  std::vector<Symbol> path_;
  std::vector<Group> by_length_;
  std::size_t contexts_ = 0;
};

// The symbols of 0 .. m - 1 missing from `present` (ascending), in order.
template <class F>
void for_each_missing(std::size_t alphabet_size, std::span<const Symbol> present, F&& f) {
  std::size_t j = 0;
  for (Symbol s = 0; s < alphabet_size; ++s) {
    if (j < present.size() && present[j] == s) {
      ++j;
    } else {
      f(s);
    }
  }
}

}  // namespace ostrel::bct
