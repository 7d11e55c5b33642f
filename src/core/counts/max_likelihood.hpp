#pragma once
// The maximised log-likelihood of the counted positions under a tree: each
// context's next-symbol law set to its observed frequencies. The full tree of
// depth d attains the maximum over every tree of depth at most d and all its
// parameters (refining a context never lowers it), and only its contexts with
// data add terms, so the maximum is read from the counts' contexts of d
// symbols without the tree's m^d leaves.
//
// The terms are added as a fitted model's summary adds them: contexts in the
// order of their first counted position (the order in which fitting numbers
// them), within one context c ln(c / n) for each symbol in ascending order,
// into one running total. So the maximum equals summary()["log_likelihood"]
// of the full tree fitted at that depth, bit for bit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "base/types.hpp"
#include "counts/counts.hpp"
#include "representation/leaves.hpp"
#include "representation/trie.hpp"

namespace ostrel {

// Over every tree of depth at most `depth`, for counts of contexts over
// symbols only (not made from their rows' start); fails, naming `depth`,
// above the counts' max_depth.
std::expected<double, std::string> max_log_likelihood(const Counts& counts, std::size_t depth);

namespace detail {

// The contexts of a tree that have data, each as its outcomes merged by
// symbol (ascending) and the first ordinal of its keys.
class ContextOutcomes {
 public:
  struct Context {
    std::uint64_t first;
    std::size_t begin, end;  // its outcomes
  };

  // Adds the context of keys [from, to) of `keyed`, whose own symbols `keys`
  // reads.
  template <class Keys>
  void add(const KeyedLeaves& keyed, const Keys& keys, std::size_t from, std::size_t to) {
    const std::size_t begin = outcomes_.size();
    std::uint64_t first = keyed.leaves.first[from];
    for (std::size_t leaf = from; leaf < to; ++leaf) {
      outcomes_.push_back(SymbolCount{keys.own(leaf), keyed.leaves.count[leaf]});
      first = std::min(first, keyed.leaves.first[leaf]);
    }
    close(begin, first);
  }

  const std::vector<Context>& contexts() const noexcept { return contexts_; }
  std::span<const SymbolCount> outcomes(const Context& c) const noexcept {
    return std::span<const SymbolCount>(outcomes_).subspan(c.begin, c.end - c.begin);
  }

  // The sum of c ln(c / n) in the order above.
  double log_likelihood() const;

 private:
  // Sorts and merges the outcomes from `begin` on into one context's.
  void close(std::size_t begin, std::uint64_t first);

  std::vector<SymbolCount> outcomes_;
  std::vector<Context> contexts_;
};

}  // namespace detail

}  // namespace ostrel
