// Building, compaction and lookups of the count trie.

#include "trie.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "assemble.hpp"

namespace ostrel {

namespace {

// Appending to an arena beyond the reach of 32-bit indices is reported as
// memory exhaustion: such a trie cannot be held.
template <class Record>
void reserve_more(std::vector<Record>& arena, std::size_t extra) {
  if (extra > MAX_RECORDS - arena.size()) throw CapacityExhausted{};
  const std::size_t needed = arena.size() + extra;
  if (needed > arena.capacity()) {
    const std::size_t doubled = std::min(arena.capacity() * 2, MAX_RECORDS);
    arena.reserve(std::max<std::size_t>({4, needed, doubled}));
  }
}

template <class Record>
void reserve_one_more(std::vector<Record>& arena) {
  reserve_more(arena, 1);
}

// The record carrying `symbol` on `list` (edges or outcome records), or
// NO_INDEX; `length` counts the records walked past.
template <class Record>
std::uint32_t search_list(ListRange<Record> list, Symbol symbol, std::size_t& length) noexcept {
  length = 0;
  for (auto it = list.begin(); it != list.end(); ++it, ++length) {
    if (it->symbol == symbol) return it.index();
  }
  return NO_INDEX;
}

// Enters every record of `list`, owned by `owner`, into `index`, which has
// room for them.
template <class Record>
void index_list(ListIndex& index, ListRange<Record> list, NodeIndex owner) noexcept {
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

template <class Record>
void CountTrie::reserve_front(std::vector<Record>& records, ListIndex& index, bool indexed,
                              std::size_t length) {
  reserve_one_more(records);
  if (indexed) {
    index.reserve(1);
  } else if (length + 1 > SHORT_LIST) {
    index.reserve(length + 1);
  }
}

template <class Record>
void CountTrie::push_front(std::vector<Record>& records, ListIndex& index, std::uint8_t flag,
                           NodeIndex owner, std::uint32_t TrieNode::* head, Record record,
                           std::size_t length) noexcept {
  TrieNode& node = nodes_[owner];
  const auto at = static_cast<std::uint32_t>(records.size());
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
  if (found != NO_INDEX) return edges_[found].child;
  if (nodes_[node].depth == MAX_DEPTH) return std::unexpected("count trie depth overflow");

  // Make every allocation first, so that a failure leaves the trie as it was.
  reserve_one_more(nodes_);
  reserve_front(edges_, child_index_, indexed, length);

  const auto child = static_cast<NodeIndex>(nodes_.size());
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
  if (found != NO_INDEX) {
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
  return o == NO_INDEX ? 0 : outcomes_[o].count;
}

TrieWriter::TrieWriter(std::size_t alphabet_size, std::size_t storage_depth, Count sample_size,
                       std::size_t nodes)
    : trie_(alphabet_size, storage_depth) {
  if (nodes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.sample_size_ = sample_size;
  trie_.nodes_.resize(std::max<std::size_t>(nodes, 1),
                      TrieNode{0, NO_SYMBOL, NO_INDEX, NO_INDEX, NO_INDEX, 0, 0});
}

void TrieWriter::reserve(std::size_t edges, std::size_t outcomes) {
  if (edges > MAX_RECORDS || outcomes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.edges_.reserve(edges);
  trie_.outcomes_.reserve(outcomes);
}

void TrieWriter::resize(std::size_t edges, std::size_t outcomes) {
  if (edges > MAX_RECORDS || outcomes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.edges_.resize(edges);
  trie_.outcomes_.resize(outcomes);
}

void TrieWriter::close(NodeIndex node, std::size_t children, std::size_t outcomes) {
  trie_.index_long_lists(node, children, outcomes);
}

CountTrie TrieWriter::finish() && {
  trie_.edges_.shrink_to_fit();
  trie_.outcomes_.shrink_to_fit();
  return std::move(trie_);
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

std::expected<void, std::string> check_symbols(const Rows& rows, std::size_t alphabet_size) {
  if (rows.symbol_count() == 0 || rows.max_symbol() < alphabet_size) return {};
  return rows.visit([&](auto symbols) -> std::expected<void, std::string> {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const std::size_t begin = rows.row_begin(r);
      for (std::size_t i = 0; i < rows.row_length(r); ++i) {
        const Symbol s = symbols[begin + i];
        if (s >= alphabet_size) {
          return std::unexpected("symbol " + std::to_string(s) + " at data[" + std::to_string(r) +
                                 "][" + std::to_string(i) + "] is outside 0.." +
                                 std::to_string(alphabet_size));
        }
      }
    }
    throw InternalFault("check_symbols: the largest symbol was not found");
  });
}

namespace {

// The two refusals of building, in their order.
std::expected<void, std::string> check_building(const Rows& rows, std::size_t alphabet_size,
                                                std::size_t conditioning_depth,
                                                std::size_t storage_depth) {
  if (storage_depth > conditioning_depth) {
    return std::unexpected("storage depth cannot exceed conditioning depth");
  }
  return check_symbols(rows, alphabet_size);
}

}  // namespace

std::expected<CountTrie, std::string> from_rows_with_storage(const Rows& rows,
                                                             std::size_t alphabet_size,
                                                             std::size_t conditioning_depth,
                                                             std::size_t storage_depth) {
  if (auto buildable = check_building(rows, alphabet_size, conditioning_depth, storage_depth);
      !buildable) {
    return std::unexpected(std::move(buildable.error()));
  }
  return detail::with_offset_type(rows, [&](auto offset) {
    return detail::count_by_sorting<decltype(offset)>(rows, alphabet_size, conditioning_depth,
                                                      storage_depth);
  });
}

std::expected<CountTrie, std::string> from_rows_by_walking(const Rows& rows,
                                                           std::size_t alphabet_size,
                                                           std::size_t conditioning_depth,
                                                           std::size_t storage_depth) {
  if (auto buildable = check_building(rows, alphabet_size, conditioning_depth, storage_depth);
      !buildable) {
    return std::unexpected(std::move(buildable.error()));
  }
  CountTrie trie(alphabet_size, storage_depth);
  std::vector<NodeIndex> path(storage_depth + 1, 0);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t t = conditioning_depth; t < rows.row_length(r); ++t) {
      for (std::size_t d = 1; d <= storage_depth; ++d) {
        auto child = trie.get_or_create_child(path[d - 1], rows.symbol(r, t - d));
        if (!child) return std::unexpected(std::move(child.error()));
        path[d] = *child;
      }
      trie.count_position(path, rows.symbol(r, t));
    }
  }
  return trie;
}

std::pair<CountTrie, std::vector<std::uint8_t>> compact(CountTrie trie,
                                                        std::span<const std::uint8_t> kept,
                                                        std::span<const std::uint8_t> terminal) {
  const std::size_t n = trie.node_count();
  if (n == 0 || kept.empty() || kept[0] != 1) throw InternalFault("compact: the root is not kept");

  // First pass: number the kept nodes in index order; parents come first, so
  // a parent's new index is known when its child is numbered.
  std::vector<NodeIndex> remap(n, NO_INDEX);
  const std::size_t kept_limit = std::min(n, kept.size());
  std::size_t kept_total = 1;
  remap[0] = 0;
  for (std::size_t i = 1; i < kept_limit; ++i) {
    if (kept[i] == 0) continue;
    if (remap[trie.node(static_cast<NodeIndex>(i)).parent] == NO_INDEX) {
      throw InternalFault("compact: a kept node has a dropped parent");
    }
    remap[i] = static_cast<NodeIndex>(kept_total++);
  }

  // Second pass: each kept node with its lists, every record put at the front
  // as the old list is walked, which reverses it. An upper bound of the
  // outcome records; what is not written is returned at the end.
  TrieWriter out(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), kept_total);
  out.reserve(kept_total - 1, trie.outcomes().size());
  std::vector<std::uint8_t> new_terminal(kept_total, 0);
  for (std::size_t i = 0; i < kept_limit; ++i) {
    const NodeIndex m = remap[i];
    if (m == NO_INDEX) continue;
    const TrieNode& old = trie.node(static_cast<NodeIndex>(i));
    out.node(m, old.count, old.symbol, old.depth);
    if (i < terminal.size()) new_terminal[m] = terminal[i] & 1;
    std::size_t children = 0, outcomes = 0;
    for (const ChildEdge& edge : trie.children(static_cast<NodeIndex>(i))) {
      if (remap[edge.child] == NO_INDEX) continue;
      out.push_child(m, edge.symbol, remap[edge.child]);
      ++children;
    }
    for (const OutcomeCount& record : trie.outcomes(static_cast<NodeIndex>(i))) {
      out.push_outcome(m, record.symbol, record.count);
      ++outcomes;
    }
    out.close(m, children, outcomes);
  }
  // Release the old trie first, so that both never peak together.
  trie = CountTrie(0, 0);
  return {std::move(out).finish(), std::move(new_terminal)};
}

std::vector<Symbol> context(const CountTrie& trie, NodeIndex node) {
  std::vector<Symbol> symbols;
  symbols.reserve(trie.node(node).depth);
  for (NodeIndex current = node; current != 0; current = trie.node(current).parent) {
    symbols.push_back(trie.node(current).symbol);
  }
  return symbols;
}

NodeIndex deepest_selected_suffix(const CountTrie& trie, std::span<const Symbol> history,
                                  std::span<const std::uint8_t> kept,
                                  std::span<const std::uint8_t> terminal) {
  NodeIndex best = 0;
  std::uint8_t seen = terminal.empty() ? 0 : terminal[0];
  NodeIndex current = 0;
  std::size_t steps = trie.storage_depth();
  if (steps != 0) {
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
      --steps;
      const NodeIndex child = trie.find_child(current, *it);
      if (child == NO_INDEX) break;
      if (child >= kept.size() || kept[child] != 1) break;
      if (child < terminal.size()) {
        seen |= terminal[child];
        if (terminal[child] != 0) best = child;
      }
      current = child;
      if (steps == 0) break;
    }
  }
  return seen ? best : current;
}

}  // namespace ostrel
