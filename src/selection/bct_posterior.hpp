#pragma once
// The Bayesian answers of the BCT model beyond its MAP tree: the evidence (the
// prior predictive probability of the counted positions, summed over every
// tree of depth at most D) and the k trees of highest posterior probability.
// Both are built from the per-node terms of bct::select, so the first of the
// ranked trees is bct's tree and its value is bct's maximal value, bit for bit.
//
// Notation: m symbols, storage depth D, lb = ln(beta), l1b = log1p(-beta), E a
// node's Krichevsky-Trofimov log estimate (bct::Rule::estimate; 0.0 for a node
// without data).
//
// Evidence, bottom-up:
//   W = E at depth D;
//   W = log_add(lb + E, (l1b + W_1) + W_2 + ... + W_k) above, the children with
//       data in child-list order, as bct::select sums them;
//   log_add(a, b) = hi + log1p(exp(lo - hi)), hi and lo the larger and the
//       smaller of a and b.
// A subtree without data has W = 0.0 exactly (the prior probabilities of its
// trees sum to one, and it has no data to predict), so the children without a
// node add nothing, and a node whose count is 0 has W = 0.0.
//
// A tree's value (log prior plus log probability of the data), bottom-up:
//   a node at depth D: E;
//   a leaf above D: lb + E;
//   a split node: ((l1b + v_1) + v_2) + ... + v_k, its children with data in
//       child-list order, then + g, the value of the forest of its m - k
//       children without data (no term when k = m).
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

#include "context_scan.hpp"
#include "leaves.hpp"
#include "trie.hpp"

namespace ostrel::bct {

// One ranked tree: its contexts (oldest symbol first) in the order of the
// model's context list (shorter first, then lexicographically), back to back,
// and its value. Its log posterior probability is log_value minus the log
// evidence.
struct RankedTree {
  std::vector<Symbol> symbols;    // every context's symbols, one context after the other
  std::vector<std::size_t> ends;  // context i is symbols[ends[i - 1], ends[i]) (from 0 for i = 0)
  double log_value;

  std::size_t context_count() const noexcept { return ends.size(); }
  // The contexts as lists.
  std::vector<std::vector<Symbol>> contexts() const;

  bool operator==(const RankedTree&) const = default;
};

// The plain passes over a whole count trie of storage depth D: every node in
// descending index order, children in child-list order. Require
// 0.5 <= beta < 1.
double log_evidence(const CountTrie& trie, double beta);
// The min(k, number of trees) best trees, in the order above: every tree of
// each node's best k assembled from its children's and sorted.
std::vector<RankedTree> top_trees(const CountTrie& trie, double beta, std::size_t k);

// The symbol of the node whose run starts at leaf `leaf`, at depth `depth`
// (at least 1): the key symbol `depth` places before the predicted one.
using KeySymbol = std::function<Symbol(std::uint64_t leaf, std::size_t depth)>;

// The same answers from the sorted leaves of storage depth `depth` (with their
// symbol codes), in one bottom-up scan, without the count trie. The evidence
// comes from the scan itself; the trees from a scan that keeps each node's
// best value, followed by a best-first enumeration that computes the further
// trees of a node only when a better tree needs them.
template <class Position>
double log_evidence(const detail::Leaves<Position>& leaves, const detail::SymbolCodes& codes,
                    std::size_t alphabet_size, std::size_t depth, double beta);
template <class Position>
std::vector<RankedTree> top_trees(const detail::Leaves<Position>& leaves,
                                  const detail::SymbolCodes& codes, const KeySymbol& key_symbol,
                                  std::size_t alphabet_size, std::size_t depth, double beta,
                                  std::size_t k);

// The same from the keys that counts gathered (counts.hpp), of storage depth
// keyed.depth.
double log_evidence(const detail::KeyedLeaves& keyed, std::size_t alphabet_size, double beta);
std::vector<RankedTree> top_trees(const detail::KeyedLeaves& keyed, std::size_t alphabet_size,
                                  double beta, std::size_t k);

}  // namespace ostrel::bct
