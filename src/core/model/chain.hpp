#pragma once
// The Markov chain that fitted models define on long histories: its states
// are the fewest contexts (oldest symbol first, as get_contexts spells them)
// that tell, for every model given, which node predict_proba answers from
// after a history, and that tell the state after one more symbol.
//
// How the states are found. On a history of at least storage_depth symbols a
// model answers from a node fixed by the suffix its walk reads, so its answers
// are the leaves of a complete suffix tree; subtrees whose leaves all answer
// from one node are merged. Let I be the internal nodes of the union of these
// trees (every model's answers are then known at its leaves). The leaves also
// fix the next state after a symbol exactly when I holds, with every string,
// the string less its newest symbol: a leaf w followed by s, a suffix of which
// is internal, would need a symbol older than w. Closing I under that step
// gives the smallest such tree; its leaves are the states.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "representation/trie.hpp"

namespace ostrel {

// One fitted model: its trie and context flags.
struct ChainModel {
  const CountTrie& trie;
  std::span<const std::uint8_t> terminal;
};

struct ContextChain {
  std::size_t alphabet_size = 0;
  std::size_t states = 0;
  // answers[m][w]: the node of model m that predict_proba answers from after
  // any history in state w.
  std::vector<std::vector<NodeIndex>> answers;
  // next[w * alphabet_size + s]: the state after state w and then symbol s.
  std::vector<std::uint32_t> next;
};

// The most transitions (states times alphabet_size) a chain may have.
inline constexpr std::size_t CHAIN_LIMIT = std::size_t{1} << 25;

// A chain of more than CHAIN_LIMIT transitions was asked for: refused, as
// when memory runs out, before it is built.
class ChainTooLarge : public CapacityExhausted {
 public:
  const char* what() const noexcept override {
    return "the chain would need more than 33554432 transitions (states times alphabet_size)";
  }
};

// The chain of `models`, all of one alphabet size (at least one model).
ContextChain build_chain(std::span<const ChainModel> models);

}  // namespace ostrel
