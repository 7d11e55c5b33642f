#pragma once
// Selecting the tree under bct and bic, the second phase of their fit.
// Takes: leaves in context order (leaves.hpp), the codes of their own symbols,
// and a reader of the symbol of a node from the first leaf of its run.
// Hands on: the selected tree as the selector's expansion keeps it: every
// node the expansion keeps, with its count, symbol, depth, parent, whether it
// splits, and its outcome records with their first positions, children before
// parents and the root last. The zero-count children that the expansion
// creates for the symbols a split node lacks are not among them: storing adds
// them (store.hpp).

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/types.hpp"
#include "config/config.hpp"
#include "representation/leaves.hpp"
#include "util/arena.hpp"

namespace ostrel::detail {

inline constexpr std::uint32_t NOT_KEPT = ~std::uint32_t{0};

// A node that the expansion may keep, as the bottom-up scan leaves it.
template <class Position>
struct KeptNode {
  Position first;  // first position: with the depth, its place in creation order
  Position start;  // the first leaf of its run, which spells its symbol
  Count count;
  Symbol symbol;
  std::uint32_t parent;  // index among the kept nodes; NOT_KEPT for the root
  std::uint32_t records_begin, records_end;
  Depth depth;
  bool split;
};

// An outcome record of a kept node, and where it was first counted.
template <class Position>
struct KeptRecord {
  Position first;
  Count count;
  Symbol symbol;
};

template <class Position>
struct SelectedTree {
  std::size_t alphabet_size = 0;
  std::size_t depth = 0;  // the storage depth
  Count sample_size = 0;
  Arena<KeptNode<Position>> nodes;  // in postorder; a node's records are its range of `records`
  Arena<KeptRecord<Position>> records;
};

// Context symbol d of `leaf`, asked only of a leaf that starts a run at depth d.
using ContextReader = std::function<Symbol(std::size_t leaf, std::size_t d)>;

// For `config.method` bct or bic, whose storage depth is config.max_depth, from
// the leaves of `sample_size` counted positions.
template <class Position>
SelectedTree<Position> select_tree(const Leaves<Position>& leaves, const SymbolCodes& codes,
                                   const ContextReader& context, Count sample_size,
                                   const FitConfig& config);

}  // namespace ostrel::detail
