// Growth and lookups of the count trie.

#include "representation/trie.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace ostrel {

namespace {

// Appending to an arena beyond the reach of 32-bit indices is reported as
// memory exhaustion: such a trie cannot be held.
template <class RecordIndex, class Record>
void reserve_more(IndexVector<RecordIndex, Record>& arena, std::size_t extra) {
  if (extra > MAX_RECORDS - arena.size()) throw CapacityExhausted{};
  const std::size_t needed = arena.size() + extra;
  if (needed > arena.capacity()) {
    const std::size_t doubled = std::min(arena.capacity() * 2, MAX_RECORDS);
    arena.reserve(std::max<std::size_t>({4, needed, doubled}));
  }
}

template <class RecordIndex, class Record>
void reserve_one_more(IndexVector<RecordIndex, Record>& arena) {
  reserve_more(arena, 1);
}

// The record carrying `symbol` on `list` (edges or outcome records), or
// NO_INDEX; `length` counts the records walked past.
template <class Record>
auto search_list(ListRange<Record> list, Symbol symbol, std::size_t& length) noexcept ->
    typename ListRange<Record>::RecordIndex {
  length = 0;
  for (auto it = list.begin(); it != list.end(); ++it, ++length) {
    if (it->symbol == symbol) return it.index();
  }
  return NO_INDEX;
}

// Enters every record of `list`, owned by `owner`, into `index`, which has
// room for them.
template <class Record>
void index_list(ListIndex<typename ListRange<Record>::RecordIndex>& index, ListRange<Record> list,
                NodeIndex owner) noexcept {
  for (auto it = list.begin(); it != list.end(); ++it) index.insert(owner, it->symbol, it.index());
}

template <class Record>
std::size_t list_length(ListRange<Record> list) noexcept {
  return static_cast<std::size_t>(std::distance(list.begin(), list.end()));
}

}  // namespace

CountTrie::CountTrie(std::size_t alphabet_size, std::size_t storage_depth)
    : alphabet_size_(alphabet_size), storage_depth_(storage_depth) {
  nodes_.reserve(1);
  nodes_.push_back(TrieNode{0, NO_SYMBOL, NO_INDEX, NO_INDEX, NO_INDEX, 0, 0});
}

EdgeIndex CountTrie::find_edge(NodeIndex node, Symbol symbol) const noexcept {
  if (nodes_[node].indexed & CHILDREN_INDEXED) return child_index_.find(node, symbol);
  std::size_t passed;
  return search_list(children(node), symbol, passed);
}

OutcomeIndex CountTrie::find_outcome(NodeIndex node, Symbol symbol) const noexcept {
  if (nodes_[node].indexed & OUTCOMES_INDEXED) return outcome_index_.find(node, symbol);
  std::size_t passed;
  return search_list(outcomes(node), symbol, passed);
}

template <class RecordIndex, class Record>
void CountTrie::reserve_front(IndexVector<RecordIndex, Record>& records,
                              ListIndex<RecordIndex>& index, bool indexed, std::size_t length) {
  reserve_one_more(records);
  if (indexed) {
    index.reserve(1);
  } else if (length + 1 > SHORT_LIST) {
    index.reserve(length + 1);
  }
}

template <class RecordIndex, class Record>
void CountTrie::push_front(IndexVector<RecordIndex, Record>& records, ListIndex<RecordIndex>& index,
                           std::uint8_t flag, NodeIndex owner, RecordIndex TrieNode::* head,
                           Record record, std::size_t length) noexcept {
  TrieNode& node = nodes_[owner];
  const RecordIndex at = records.next_index();
  record.next = node.*head;
  records.push_back(record);  // room was made by reserve_front
  node.*head = at;
  if (node.indexed & flag) {
    index.insert(owner, record.symbol, at);
  } else if (length + 1 > SHORT_LIST) {
    index_list(index, ListRange<Record>(records, at), owner);
    node.indexed |= flag;
  }
}

std::expected<NodeIndex, std::string> CountTrie::get_or_create_child(NodeIndex node,
                                                                     Symbol symbol) {
  // A list that is not indexed is short; its length decides when to index it.
  const bool indexed = nodes_[node].indexed & CHILDREN_INDEXED;
  std::size_t length = 0;
  const EdgeIndex found =
      indexed ? child_index_.find(node, symbol) : search_list(children(node), symbol, length);
  if (found.has_value()) return edges_[found].child;
  if (nodes_[node].depth == MAX_DEPTH) return std::unexpected("count trie depth overflow");

  // Make every allocation first, so that a failure leaves the trie as it was.
  reserve_one_more(nodes_);
  reserve_front(edges_, child_index_, indexed, length);

  const NodeIndex child = nodes_.next_index();
  const auto depth = static_cast<Depth>(nodes_[node].depth + 1);
  nodes_.push_back(TrieNode{0, symbol, node, NO_INDEX, NO_INDEX, depth, 0});
  push_front(edges_, child_index_, CHILDREN_INDEXED, node, &TrieNode::first_child,
             ChildEdge{symbol, child, NO_INDEX}, length);
  return child;
}

void CountTrie::count_position(std::span<const NodeIndex> path, Symbol symbol) {
  for (const NodeIndex node : path) increment_outcome(node, symbol);
  ++sample_size_;
}

void CountTrie::index_long_lists(NodeIndex node, std::size_t children, std::size_t outcomes) {
  if (children > SHORT_LIST) {
    child_index_.reserve(list_length(this->children(node)));
    index_list(child_index_, this->children(node), node);
    nodes_[node].indexed |= CHILDREN_INDEXED;
  }
  if (outcomes > SHORT_LIST) {
    outcome_index_.reserve(list_length(this->outcomes(node)));
    index_list(outcome_index_, this->outcomes(node), node);
    nodes_[node].indexed |= OUTCOMES_INDEXED;
  }
}

void CountTrie::reserve_children(NodeIndex node, std::size_t wanted) {
  const std::size_t existing = list_length(children(node));
  if (existing >= wanted) return;
  reserve_more(nodes_, wanted - existing);
  reserve_more(edges_, wanted - existing);
}

void CountTrie::increment_outcome(NodeIndex node, Symbol symbol) {
  const bool indexed = nodes_[node].indexed & OUTCOMES_INDEXED;
  std::size_t length = 0;
  const OutcomeIndex found =
      indexed ? outcome_index_.find(node, symbol) : search_list(outcomes(node), symbol, length);
  if (found.has_value()) {
    ++nodes_[node].count;
    ++outcomes_[found].count;
    return;
  }
  reserve_front(outcomes_, outcome_index_, indexed, length);
  ++nodes_[node].count;
  push_front(outcomes_, outcome_index_, OUTCOMES_INDEXED, node, &TrieNode::first_outcome,
             OutcomeCount{1, symbol, NO_INDEX}, length);
}

Count CountTrie::outcome_count(NodeIndex node, Symbol symbol) const noexcept {
  const OutcomeIndex o = find_outcome(node, symbol);
  return o.has_value() ? outcomes_[o].count : 0;
}

std::vector<Count> CountTrie::dense_counts(NodeIndex node) const {
  std::vector<Count> counts(alphabet_size_, 0);
  for (const OutcomeCount& record : outcomes(node)) counts[record.symbol] = record.count;
  return counts;
}

void sorted_outcomes(const CountTrie& trie, NodeIndex node, std::vector<SymbolCount>& out) {
  out.clear();
  for (const OutcomeCount& record : trie.outcomes(node)) {
    out.push_back(SymbolCount{record.symbol, record.count});
  }
  std::sort(out.begin(), out.end(),
            [](const SymbolCount& a, const SymbolCount& b) { return a.symbol < b.symbol; });
}

std::vector<Symbol> context(const CountTrie& trie, NodeIndex node) {
  std::vector<Symbol> symbols;
  symbols.reserve(trie.node(node).depth);
  for (NodeIndex current = node; current != ROOT; current = trie.node(current).parent) {
    symbols.push_back(trie.node(current).symbol);
  }
  return symbols;
}

NodeIndex deepest_selected_suffix(const CountTrie& trie, std::span<const Symbol> history,
                                  std::span<const std::uint8_t> kept,
                                  std::span<const std::uint8_t> terminal) {
  NodeIndex best = ROOT;
  std::uint8_t seen = terminal.empty() ? 0 : terminal[0];
  NodeIndex current = ROOT;
  std::size_t steps = trie.storage_depth();
  if (steps != 0) {
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
      --steps;
      const NodeIndex child = trie.find_child(current, *it);
      if (!child.has_value()) break;
      if (child.value() >= kept.size() || kept[child.value()] != 1) break;
      if (child.value() < terminal.size()) {
        seen |= terminal[child.value()];
        if (terminal[child.value()] != 0) best = child;
      }
      current = child;
      if (steps == 0) break;
    }
  }
  return seen ? best : current;
}

}  // namespace ostrel
