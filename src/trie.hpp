#pragma once
// The suffix-count trie: node 0 is the root (the empty context); a node at
// depth d stands for one context of d symbols, spelled from the root most
// recent symbol first, and records how often each symbol followed it.
// Invariants: records live in three flat vectors linked by 32-bit indices
// (`NO_INDEX` = none); every node has a larger index than its parent; a
// node's `count` is the sum of its outcome counts; within one list no symbol
// repeats; new list records go to the front.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "list_index.hpp"
#include "types.hpp"

namespace ostrel {

struct TrieNode {
  Count count;                 // outcomes recorded here
  Symbol symbol;               // edge symbol from the parent; NO_SYMBOL for the root
  NodeIndex parent;            // NO_INDEX for the root
  EdgeIndex first_child;       // head of the child list
  OutcomeIndex first_outcome;  // head of the outcome list
  Depth depth;                 // context length
  std::uint8_t indexed;        // which of the lists are in the side index (lookup aid only)
};

struct ChildEdge {
  Symbol symbol;
  NodeIndex child;
  EdgeIndex next;
};

struct OutcomeCount {
  Count count;
  Symbol symbol;
  OutcomeIndex next;
};

// Compact records: 32, 16 and 24 bytes on a 64-bit platform.
static_assert(sizeof(void*) != 8 ||
              (sizeof(TrieNode) == 32 && sizeof(ChildEdge) == 16 && sizeof(OutcomeCount) == 24));

// Training rows held in one flat buffer: row r is symbols [ends[r-1], ends[r]).
class Rows {
 public:
  Rows() = default;
  Rows(std::initializer_list<std::initializer_list<Symbol>> rows);

  std::size_t size() const noexcept { return ends_.size(); }
  std::span<const Symbol> operator[](std::size_t r) const noexcept {
    const std::size_t begin = r == 0 ? 0 : ends_[r - 1];
    return {symbols_.data() + begin, ends_[r] - begin};
  }

  // Room for `n` more symbols, growing geometrically.
  void reserve_symbols(std::size_t n) {
    const std::size_t needed = symbols_.size() + n;
    if (needed > symbols_.capacity()) symbols_.reserve(std::max(needed, 2 * symbols_.capacity()));
  }
  void push_symbol(Symbol s) { symbols_.push_back(s); }
  void end_row() { ends_.push_back(symbols_.size()); }

 private:
  std::vector<Symbol> symbols_;
  std::vector<std::size_t> ends_;
};

class CountTrie {
 public:
  // A trie holding only the root.
  CountTrie(std::size_t alphabet_size, std::size_t storage_depth);

  Count sample_size() const noexcept { return sample_size_; }
  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  std::size_t storage_depth() const noexcept { return storage_depth_; }
  std::size_t node_count() const noexcept { return nodes_.size(); }

  const std::vector<TrieNode>& nodes() const noexcept { return nodes_; }
  const std::vector<ChildEdge>& edges() const noexcept { return edges_; }
  const std::vector<OutcomeCount>& outcomes() const noexcept { return outcomes_; }
  const TrieNode& node(NodeIndex i) const noexcept { return nodes_[i]; }

  // The child of `node` for `symbol`, created (with its edge at the front of
  // the child list) when absent. Fails, changing nothing, when the child would
  // lie deeper than MAX_DEPTH.
  std::expected<NodeIndex, std::string> get_or_create_child(NodeIndex node, Symbol symbol);

  // Makes room for the children that `node` lacks among `wanted` symbols, so
  // that creating them cannot fail half-way for lack of memory. Throws
  // CapacityExhausted at once when they could never be indexed.
  void reserve_children(NodeIndex node, std::size_t wanted);

  // One more observation of `symbol` after the context of `node`.
  void increment_outcome(NodeIndex node, Symbol symbol);

  // Counts one training position: its outcome at every node of `path` (the
  // root first, then one node per depth) and one more sample.
  void count_position(std::span<const NodeIndex> path, Symbol symbol);

  // The child of `node` for `symbol`, or NO_INDEX.
  NodeIndex find_child(NodeIndex node, Symbol symbol) const noexcept {
    const EdgeIndex e = find_edge(node, symbol);
    return e == NO_INDEX ? NO_INDEX : edges_[e].child;
  }

  // How often `symbol` followed the context of `node` (0 when never).
  Count outcome_count(NodeIndex node, Symbol symbol) const noexcept;

  // `alphabet_size` counts, entry s for symbol s.
  std::vector<Count> dense_counts(NodeIndex node) const;

 private:
  friend std::pair<CountTrie, std::vector<std::uint8_t>> compact(
      CountTrie trie, std::span<const std::uint8_t> kept, std::span<const std::uint8_t> terminal);

  static constexpr std::uint8_t CHILDREN_INDEXED = 1;
  static constexpr std::uint8_t OUTCOMES_INDEXED = 2;

  EdgeIndex find_edge(NodeIndex node, Symbol symbol) const noexcept;
  OutcomeIndex find_outcome(NodeIndex node, Symbol symbol) const noexcept;

  Count sample_size_ = 0;
  std::vector<TrieNode> nodes_;
  std::vector<ChildEdge> edges_;
  std::vector<OutcomeCount> outcomes_;
  std::size_t alphabet_size_;
  std::size_t storage_depth_;
  ListIndex child_index_;    // (node, symbol) -> edge, for nodes with long child lists
  ListIndex outcome_index_;  // (node, symbol) -> outcome record, likewise
};

// One outcome record's content.
struct SymbolCount {
  Symbol symbol;
  Count count;
};

// The outcome records of `node`, in ascending symbol order, into `out`
// (cleared first). Per-symbol sums run over these: a symbol without a record
// contributes nothing.
void sorted_outcomes(const CountTrie& trie, NodeIndex node, std::vector<SymbolCount>& out);

// Counts every position of every row that follows `conditioning_depth`
// symbols of its own row: once at the root and once at each node on the path
// of its `storage_depth` preceding symbols. Symbols are range-checked row by
// row before the row is counted.
std::expected<CountTrie, std::string> from_rows_with_storage(const Rows& rows,
                                                             std::size_t alphabet_size,
                                                             std::size_t conditioning_depth,
                                                             std::size_t storage_depth);

// Keeps the nodes whose `kept` byte is set (the root and a parent-closed set),
// renumbered densely in their old order, with every child and outcome list
// reversed; returns the new trie and the `terminal` flags under the new
// numbering. Flag vectors shorter than the node count read as 0 beyond.
std::pair<CountTrie, std::vector<std::uint8_t>> compact(CountTrie trie,
                                                        std::span<const std::uint8_t> kept,
                                                        std::span<const std::uint8_t> terminal);

// The context of `node`, oldest symbol first; its length is the node's depth.
std::vector<Symbol> context(const CountTrie& trie, NodeIndex node);

// The node that answers for `history` (most recent symbol last): the deepest
// terminal node on the path that follows the history backwards through kept
// nodes for at most `storage_depth` symbols, or the last node reached when no
// node on the path is terminal. Symbols are not checked here.
NodeIndex deepest_selected_suffix(const CountTrie& trie, std::span<const Symbol> history,
                                  std::span<const std::uint8_t> kept,
                                  std::span<const std::uint8_t> terminal);

}  // namespace ostrel
