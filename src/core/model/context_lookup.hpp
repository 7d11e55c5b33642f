#pragma once
// The node that predict_proba answers from, found many times over: the
// deepest selected suffix of a history in a fitted model (every node kept),
// for histories held in any unsigned width, walked afresh or one symbol after
// the last. When the lookups will be many next to the size of the tree, a
// dense child table replaces the list walks, and the step from one history to
// the next is remembered per (node, symbol); the answers are the same either
// way.
//
// Why the step can be remembered: the walk of a history h follows its symbols
// backwards from the root, for at most storage_depth of them, and ends at the
// deepest node it reaches, r, whose context is the last depth(r) symbols of h.
// The walk of h + [s] reads s, then those same symbols, then older ones. Its
// first depth(r) + 1 steps therefore depend on r and s alone; only when all of
// them succeed does it read further back in the history.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "representation/trie.hpp"

namespace ostrel {

// Whether a dense table of `nodes` x `alphabet_size` entries pays for
// `queries` lookups: at most eight entries per lookup, so that building it
// never costs more than the lookups it serves, and at most DENSE_LIMIT.
bool dense_table_pays(std::size_t nodes, std::size_t alphabet_size, Count queries);

// The largest dense table, in entries.
inline constexpr std::size_t DENSE_LIMIT = std::size_t{1} << 22;

class ContextLookup {
 public:
  // Where the walk of a history ended: the node predict_proba answers from,
  // and the deepest node the walk reached.
  struct Walk {
    NodeIndex answer;
    NodeIndex reached;
    std::size_t depth;  // of `reached`
  };

  // `terminal`: the model's context flags, one per node. `queries`: how many
  // lookups the caller expects to make.
  ContextLookup(const CountTrie& trie, std::span<const std::uint8_t> terminal, Count queries);

  // deepest_selected_suffix(trie, history, all kept, terminal): the deepest
  // terminal node on the path that follows `history` (most recent symbol
  // last) backwards for at most storage_depth symbols, or the last node
  // reached when none on it is terminal. Symbols must be below the alphabet
  // size.
  template <class T>
  Walk walk(std::span<const T> history) const noexcept {
    return finish(follow(Progress{ROOT, 0, ROOT, terminal_[0] != 0}, history));
  }

  // The walk of `history` when `previous` was the walk of all of it but its
  // last symbol.
  template <class T>
  Walk walk_after(Walk previous, std::span<const T> history) {
    if (steps_.empty()) return walk(history);
    const Symbol symbol = static_cast<Symbol>(history.back());
    Step& step =
        steps_[static_cast<std::size_t>(previous.reached.value()) * trie_.alphabet_size() + symbol];
    if (step == UNKNOWN) step = first_step(previous, history);
    const NodeIndex best((step >> BEST) & NODE_MASK);
    const Progress at{NodeIndex(step & NODE_MASK),
                      static_cast<std::size_t>((step >> DEPTH) & 0xFFFF), best, best != NONE};
    if ((step & FURTHER) == 0) return finish(at);
    return finish(follow(at, history));
  }

 private:
  // A walk under way: the node reached, its depth, and the deepest context
  // met, if `seen`.
  struct Progress {
    NodeIndex reached;
    std::size_t depth;
    NodeIndex best;
    bool seen;
  };
  // A child in the dense table: its row (node * alphabet_size, below
  // DENSE_LIMIT) in the low half, its index and context flag in the high one.
  using Entry = std::uint64_t;
  // The walk of h + [s] over its first depth(r) + 1 steps, from r and s: the
  // node it reached (bits 0-21), the deepest context met (bits 22-43, NONE
  // when none), the depth reached (bits 44-59), and FURTHER when every step
  // succeeded below storage_depth and the node reached has children, so that
  // the walk goes on into the history.
  // Steps are kept only beside the dense table, whose fewer than DENSE_LIMIT
  // entries cover fewer nodes than fit 22 bits.
  using Step = std::uint64_t;
  static constexpr std::uint32_t CONTEXT = std::uint32_t{1} << 31;
  static constexpr Entry MISSING = ~Entry{0};
  static constexpr unsigned BEST = 22, DEPTH = 44;
  static constexpr Step NODE_MASK = (Step{1} << 22) - 1;
  static constexpr NodeIndex NONE{NODE_MASK};
  static constexpr Step FURTHER = Step{1} << 60;
  static constexpr Step UNKNOWN = ~Step{0};

  Walk finish(Progress at) const noexcept {
    return Walk{at.seen ? at.best : at.reached, at.reached, at.depth};
  }

  // Goes on from `at` into the history, to at most storage_depth steps.
  template <class T>
  Progress follow(Progress at, std::span<const T> history) const noexcept {
    const std::size_t steps = std::min(history.size(), trie_.storage_depth());
    if (at.depth >= steps) return at;
    const T* symbol = history.data() + history.size() - at.depth;
    if (!table_.empty()) {
      // The next entry's address is the child's row plus the next symbol: no
      // multiplication on the chain of dependent loads.
      const Entry* table = table_.data();
      std::size_t row = static_cast<std::size_t>(at.reached.value()) * trie_.alphabet_size();
      for (; at.depth < steps; ++at.depth) {
        const Entry entry = table[row + static_cast<std::size_t>(*--symbol)];
        if (entry == MISSING) break;
        row = static_cast<std::uint32_t>(entry);
        at.reached = NodeIndex(static_cast<std::uint32_t>(entry >> 32) & ~CONTEXT);
        if ((entry >> 32) & CONTEXT) {
          at.best = at.reached;
          at.seen = true;
        }
      }
    } else {
      for (; at.depth < steps; ++at.depth) {
        const NodeIndex next = trie_.find_child(at.reached, static_cast<Symbol>(*--symbol));
        if (!next.has_value()) break;
        at.reached = next;
        if (terminal_[next.value()] != 0) {
          at.best = next;
          at.seen = true;
        }
      }
    }
    return at;
  }

  // The step from `previous` by the last symbol of `history`, walked out.
  template <class T>
  Step first_step(Walk previous, std::span<const T> history) const noexcept {
    const std::size_t limit = std::min(previous.depth + 1, trie_.storage_depth());
    // The history holds at least depth(reached) + 1 symbols.
    const Progress at = follow(Progress{ROOT, 0, ROOT, terminal_[0] != 0}, history.last(limit));
    // A node without children has nothing further to walk into.
    const bool further = at.depth == limit && limit < trie_.storage_depth() &&
                         trie_.node(at.reached).first_child.has_value();
    return Step{at.reached.value()} | Step{(at.seen ? at.best : NONE).value()} << BEST |
           Step{at.depth} << DEPTH | (further ? FURTHER : 0);
  }

  const CountTrie& trie_;
  std::span<const std::uint8_t> terminal_;
  std::vector<Entry> table_;  // (node, symbol) -> child, or empty
  std::vector<Step> steps_;   // (node, symbol) -> step, or empty
};

}  // namespace ostrel
