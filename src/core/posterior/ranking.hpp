#pragma once
// The k trees of highest posterior probability under bct's prior, best first,
// from the scored tree (scored_tree.hpp), as their contexts (tree_contexts.hpp)
// and values. The first is bct's tree and its value bct's maximal value, bit
// for bit.
//
// A forest of f subtrees without data at depth e, one per slot (the missing
// symbols in ascending order), the subtree of slot i being the r_i-th tree
// without data at that depth (value u_{r_i}, best first from r = 0):
//   g = u_0 * f, then + (u_{r_i} - u_0) for every slot with r_i > 0, in slot
//   order.
// A tree without data is a node whose E is 0.0 with only forests below it.
// With every forest all leaves, g = u_0 * f is bct's term for the missing
// children, and the best tree's value is bct's.
//
// Order: highest value first. Equal values at one node: the leaf first; two
// split trees compare their children's ranks (each child's place in its own
// order) read from the child with data of the largest symbol down to that of
// the smallest, then the rank of the forest, the smaller first. Equal forests
// compare their slots' ranks from the last slot down, the smaller first. So at
// every node the first tree is bct's choice (a split only when strictly
// higher), and of two equal trees that each change one child's subtree of an
// otherwise equal tree, the one that changes the smaller symbol's comes first
// (the children without data counting as smaller than every child with data).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "posterior/prior.hpp"
#include "posterior/scored_tree.hpp"
#include "posterior/tree_contexts.hpp"

namespace ostrel::bct {

// The symbol of the node whose run starts at leaf `leaf`, at depth `depth`
// (at least 1): the key symbol `depth` places before the predicted one.
using KeySymbol = std::function<Symbol(std::uint64_t leaf, std::size_t depth)>;

// The min(k, number of trees) best trees of depth at most `depth`, in the
// order above; their log posteriors are left to the caller.
std::vector<RankedTree> best_trees(const ScoredTrie& trie, const KeySymbol& key_symbol,
                                   std::size_t alphabet_size, std::size_t depth,
                                   const BctPrior& prior, std::size_t k);

}  // namespace ostrel::bct
