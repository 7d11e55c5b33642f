#pragma once
// The suffix-count trie: node 0 is the root (the empty context); a node at
// depth d stands for one context of d symbols, spelled from the root most
// recent symbol first, and records how often each symbol followed it.
// Invariants: records live in three flat vectors linked by 32-bit indices,
// one index type per vector (`NO_INDEX` = none); every node has a larger index than its parent; a
// node's `count` is the sum of its outcome counts; within one list no symbol
// repeats; new list records go to the front.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/types.hpp"
#include "representation/list_index.hpp"
#include "representation/rows.hpp"

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

// The root's index: the first node of every trie.
inline constexpr NodeIndex ROOT{0};

class TrieWriter;  // representation/trie_writer.hpp

// The records of one list (a node's children or its outcome records) in list
// order, following `next` from the head.
template <class Record>
class ListRange {
 public:
  using RecordIndex = decltype(Record::next);
  using Arena = IndexVector<RecordIndex, Record>;

  class iterator {
   public:
    using value_type = Record;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const Record* records, RecordIndex at) : records_(records), at_(at) {}
    const Record& operator*() const noexcept { return records_[at_.value()]; }
    const Record* operator->() const noexcept { return records_ + at_.value(); }
    // The record's index in its arena.
    RecordIndex index() const noexcept { return at_; }
    iterator& operator++() noexcept {
      at_ = records_[at_.value()].next;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const noexcept { return at_ == other.at_; }

   private:
    const Record* records_ = nullptr;
    RecordIndex at_ = NO_INDEX;
  };

  ListRange(const Arena& records, RecordIndex head) : records_(records.data()), head_(head) {}
  iterator begin() const noexcept { return {records_, head_}; }
  iterator end() const noexcept { return {records_, NO_INDEX}; }
  bool empty() const noexcept { return !head_.has_value(); }

 private:
  const Record* records_;
  RecordIndex head_;
};

class CountTrie {
 public:
  // A trie holding only the root.
  CountTrie(std::size_t alphabet_size, std::size_t storage_depth);

  Count sample_size() const noexcept { return sample_size_; }
  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  std::size_t storage_depth() const noexcept { return storage_depth_; }
  std::size_t node_count() const noexcept { return nodes_.size(); }

  const IndexVector<NodeIndex, TrieNode>& nodes() const noexcept { return nodes_; }
  const IndexVector<EdgeIndex, ChildEdge>& edges() const noexcept { return edges_; }
  const IndexVector<OutcomeIndex, OutcomeCount>& outcomes() const noexcept { return outcomes_; }
  const TrieNode& node(NodeIndex i) const noexcept { return nodes_[i]; }
  // A node's child edges and outcome records, in list order.
  ListRange<ChildEdge> children(NodeIndex i) const noexcept {
    return {edges_, nodes_[i].first_child};
  }
  ListRange<OutcomeCount> outcomes(NodeIndex i) const noexcept {
    return {outcomes_, nodes_[i].first_outcome};
  }

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
    return e.has_value() ? edges_[e].child : NodeIndex(NO_INDEX);
  }

  // How often `symbol` followed the context of `node` (0 when never).
  Count outcome_count(NodeIndex node, Symbol symbol) const noexcept;

  // The index of the outcome record of `node` for `symbol`, or NO_INDEX.
  OutcomeIndex find_outcome(NodeIndex node, Symbol symbol) const noexcept;

  // The bytes of storage the trie holds, beyond the object itself: its arenas
  // (spare capacity included) and side indexes.
  std::size_t bytes() const noexcept {
    return nodes_.capacity() * sizeof(TrieNode) + edges_.capacity() * sizeof(ChildEdge) +
           outcomes_.capacity() * sizeof(OutcomeCount) + child_index_.bytes() +
           outcome_index_.bytes();
  }

  // `alphabet_size` counts, entry s for symbol s.
  std::vector<Count> dense_counts(NodeIndex node) const;

 private:
  friend class TrieWriter;

  static constexpr std::uint8_t CHILDREN_INDEXED = 1;
  static constexpr std::uint8_t OUTCOMES_INDEXED = 2;

  // Enters the child list and the outcome list of `node` into their side
  // indexes when they are longer than SHORT_LIST; `children` and `outcomes`
  // are their lengths, or any value above SHORT_LIST for a long list.
  void index_long_lists(NodeIndex node, std::size_t children, std::size_t outcomes);

  // Adding a record to a list, in two steps so that every allocation comes
  // before any change: reserve_front makes room in the arena and in the side
  // index (for the record, or for the whole list when it grows past
  // SHORT_LIST; `length` is its length before), then push_front puts the
  // record at the front of `owner`'s list, whose head is the member `head`,
  // and keeps the side index in step with it.
  template <class RecordIndex, class Record>
  void reserve_front(IndexVector<RecordIndex, Record>& records, ListIndex<RecordIndex>& index,
                     bool indexed, std::size_t length);
  template <class RecordIndex, class Record>
  void push_front(IndexVector<RecordIndex, Record>& records, ListIndex<RecordIndex>& index,
                  std::uint8_t flag, NodeIndex owner, RecordIndex TrieNode::* head, Record record,
                  std::size_t length) noexcept;

  EdgeIndex find_edge(NodeIndex node, Symbol symbol) const noexcept;

  Count sample_size_ = 0;
  IndexVector<NodeIndex, TrieNode> nodes_;
  IndexVector<EdgeIndex, ChildEdge> edges_;
  IndexVector<OutcomeIndex, OutcomeCount> outcomes_;
  std::size_t alphabet_size_;
  std::size_t storage_depth_;
  ListIndex<EdgeIndex> child_index_;       // (node, symbol) -> edge, for long child lists
  ListIndex<OutcomeIndex> outcome_index_;  // (node, symbol) -> outcome record, likewise
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
