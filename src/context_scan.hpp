#pragma once
// The counted positions of a set of rows as sorted leaves, and the scan that
// turns them into the nodes and outcome records of the count trie.
//
// Call the storage_depth symbols before a counted position, most recent
// first, its context, and its context followed by the position's own symbol
// its key. A leaf is one distinct key, with the number of positions that have
// it and the offset (in the rows' flat symbol buffer) of the first of them.
// Sorted by key (context order), the nodes at depth d are the maximal runs of
// leaves that share d context symbols, and the outcome records of a node are
// the distinct symbols of its run's leaves. Counting positions one after the
// other creates a node or a record at the earliest position of its run: the
// first offset of one of the run's leaves, the run's owner. So siblings, and
// the records of one node, were created in the order of their first offsets.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "rows.hpp"
#include "trie.hpp"

namespace ostrel::detail {

// How the counted positions are brought into context order.
enum class SortStrategy : std::uint8_t {
  Automatic,  // the cheapest that applies
  Table,      // a directly addressed table of packed keys
  Packed,     // radix sort of packed (key, position) words
  Digits,     // radix sort over the symbols themselves; always applies
};

// No leaf, no offset.
template <class Position>
constexpr Position NONE = std::numeric_limits<Position>::max();

template <class Position>
struct Leaves {
  std::vector<Position> first;  // offset of the earliest position with this key
  std::vector<Position> count;  // positions with this key
  std::vector<Depth> shared;    // context symbols in common with the previous leaf

  void reserve(std::size_t n) {
    first.reserve(n);
    count.reserve(n);
    shared.reserve(n);
  }
  void add(Position at, Position positions, std::size_t common) {
    first.push_back(at);
    count.push_back(positions);
    shared.push_back(static_cast<Depth>(common));
  }
  std::size_t size() const noexcept { return first.size(); }
};

// The leaves of every position of `rows` that follows `conditioning_depth`
// symbols of its own row, keyed by its `depth` preceding symbols, in context
// order. `Position` must reach every symbol of the rows (std::uint32_t or
// std::uint64_t). A strategy that does not apply falls back to Digits.
template <class Position>
Leaves<Position> sorted_leaves(const Rows& rows, std::size_t conditioning_depth, std::size_t depth,
                               SortStrategy strategy);

// Calls f(lo, hi) with the offsets [lo, hi) of the counted positions of every
// row that has some, in row order.
template <class F>
void for_each_counted(const Rows& rows, std::size_t conditioning_depth, F&& f) {
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t length = rows.row_length(r);
    if (length > conditioning_depth) {
      f(rows.row_begin(r) + conditioning_depth, rows.row_begin(r) + length);
    }
  }
}

// Positions counted from `rows`.
inline Count counted_positions(const Rows& rows, std::size_t conditioning_depth) {
  Count n = 0;
  for_each_counted(rows, conditioning_depth, [&](std::size_t lo, std::size_t hi) { n += hi - lo; });
  return n;
}

// Small integer codes for the leaves' symbols, in the symbols' order.
struct SymbolCodes {
  std::vector<std::uint32_t> code;  // per leaf
  std::vector<Symbol> symbols;      // per code, when the codes are not the symbols themselves

  std::size_t count() const noexcept { return count_; }
  Symbol symbol(std::uint32_t c) const noexcept { return symbols.empty() ? c : symbols[c]; }

  template <class Position, class T>
  SymbolCodes(std::span<const T> flat, const Leaves<Position>& leaves) : code(leaves.size()) {
    const std::size_t n = leaves.size();
    Symbol largest = 0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max<Symbol>(largest, flat[leaves.first[i]]);
    if (largest < (Symbol{1} << 20)) {
      for (std::size_t i = 0; i < n; ++i)
        code[i] = static_cast<std::uint32_t>(flat[leaves.first[i]]);
      count_ = n == 0 ? 0 : static_cast<std::size_t>(largest) + 1;
      return;
    }
    symbols.resize(n);
    for (std::size_t i = 0; i < n; ++i) symbols[i] = flat[leaves.first[i]];
    std::sort(symbols.begin(), symbols.end());
    symbols.erase(std::unique(symbols.begin(), symbols.end()), symbols.end());
    for (std::size_t i = 0; i < n; ++i) {
      code[i] = static_cast<std::uint32_t>(
          std::lower_bound(symbols.begin(), symbols.end(), Symbol{flat[leaves.first[i]]}) -
          symbols.begin());
    }
    count_ = symbols.size();
  }

 private:
  std::size_t count_ = 0;
};

// Runs of a sequence of leaves at levels 0 .. levels - 1: the run at level d
// is a maximal range of items whose consecutive items share at least d + 1
// levels. Each run tracks its total count and its owner, the leaf with the
// smallest first offset. A run that ends is folded into the one above it,
// which contains it, so an item is added at the deepest level only.
template <class Position>
class RunStack {
 public:
  struct Run {
    Count count;
    Position first;
    Position owner;
    Position start;  // index of the run's first item
  };

  explicit RunStack(std::size_t levels) : runs_(levels) {}

  // Ends the runs at levels `shared` and deeper before item `item`, deepest
  // first, calling close(level, run, item), and starts new runs there,
  // calling open(level).
  template <class Close, class Open>
  void next(Position item, std::size_t shared, Close&& close, Open&& open) {
    if (started_) {
      end_runs(shared, item, close);
    } else {
      shared = 0;
      started_ = true;
    }
    for (std::size_t d = shared; d < runs_.size(); ++d) {
      runs_[d] = Run{0, NONE<Position>, NONE<Position>, item};
      open(d);
    }
  }

  void add(Position leaf, Position first, Position count) {
    Run& deepest = runs_.back();
    deepest.count += count;
    if (first < deepest.first) {
      deepest.first = first;
      deepest.owner = leaf;
    }
  }

  template <class Close>
  void finish(Position end, Close&& close) {
    if (started_) end_runs(0, end, close);
  }

 private:
  template <class Close>
  void end_runs(std::size_t shared, Position end, Close& close) {
    for (std::size_t d = runs_.size(); d-- > shared;) {
      const Run& run = runs_[d];
      close(d, run, end);
      if (d == 0) continue;
      Run& above = runs_[d - 1];
      above.count += run.count;
      if (run.first < above.first) {
        above.first = run.first;
        above.owner = run.owner;
      }
    }
  }

  std::vector<Run> runs_;
  bool started_ = false;
};

// The outcome records of the open runs, kept per symbol: each symbol has a
// stack of entries, one for each open level whose run has seen the symbol,
// the deepest on top. A leaf's entry starts at the deepest level; when a run
// ends, each of its entries is reported and then folded into the level above.
template <class Position>
class RecordStacks {
 public:
  struct Entry {
    Count count;
    Position first;
    Position owner;  // the leaf with the smallest first offset
    std::uint32_t level;
    std::uint32_t below;  // the symbol's entry at a shallower level, or NO_ENTRY
  };

  RecordStacks(std::size_t codes, std::size_t levels) : top_(codes, NO_ENTRY), mark_(levels) {}

  void open(std::size_t level) { mark_[level] = touched_.size(); }

  void add(std::uint32_t code, std::size_t level, Position leaf, Position first, Position count) {
    const std::uint32_t top = top_[code];
    if (top != NO_ENTRY && entries_[top].level == level) {
      merge(entries_[top], Entry{count, first, leaf, 0, 0});
      return;
    }
    std::uint32_t index;
    if (free_.empty()) {
      index = static_cast<std::uint32_t>(entries_.size());
      entries_.emplace_back();
    } else {
      index = free_.back();
      free_.pop_back();
    }
    entries_[index] = Entry{count, first, leaf, static_cast<std::uint32_t>(level), top};
    top_[code] = index;
    touched_.push_back(code);
  }

  // Calls report(code, entry) for every record of the run ending at `level`, then
  // folds those records into the run above.
  template <class Report>
  void close(std::size_t level, Report&& report) {
    const std::size_t from = mark_[level], end = touched_.size();
    for (std::size_t k = from; k < end; ++k) report(touched_[k], entries_[top_[touched_[k]]]);
    std::size_t kept = from;  // codes whose entry moves up a level
    for (std::size_t k = from; k < end; ++k) {
      const std::uint32_t code = touched_[k];
      const std::uint32_t index = top_[code];
      Entry& entry = entries_[index];
      const std::uint32_t below = entry.below;
      if (level > 0 && (below == NO_ENTRY || entries_[below].level != level - 1)) {
        entry.level = static_cast<std::uint32_t>(level - 1);
        touched_[kept++] = code;
        continue;
      }
      if (level > 0) merge(entries_[below], entry);
      top_[code] = below;
      free_.push_back(index);
    }
    touched_.resize(kept);
  }

 private:
  static constexpr std::uint32_t NO_ENTRY = ~std::uint32_t{0};

  static void merge(Entry& into, const Entry& from) {
    into.count += from.count;
    if (from.first < into.first) {
      into.first = from.first;
      into.owner = from.owner;
    }
  }

  std::vector<std::uint32_t> top_;  // per symbol code: its deepest entry
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> free_;
  std::vector<std::uint32_t> touched_;  // codes with an entry, level by level
  std::vector<std::size_t> mark_;       // where each open level's codes begin
};

// Sorts a node's few list members (insertion sort up to 16 of them).
template <class Item, class Less = std::less<>>
void sort_small(std::span<Item> items, Less less = {}) {
  if (items.size() > 16) {
    std::sort(items.begin(), items.end(), less);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    const Item moving = items[i];
    std::size_t j = i;
    for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = items[j - 1];
    items[j] = moving;
  }
}

// Walks the leaves in context order. For every run that ends, deepest first:
// record(level, code, entry) for each of its outcome records, then
// node(level, run, end) for the node the run stands for. open(level) is
// called for every run that starts; then tracked(level) says whether that
// run's records are wanted. Tracked levels must form a prefix of the open
// ones (the root's is always tracked): a leaf's records enter at the deepest
// tracked level, and the untracked runs report none.
template <class Position, class Record, class Node, class Open, class Tracked>
void scan_context_order(const Leaves<Position>& leaves, const SymbolCodes& codes,
                        std::size_t levels, Record&& record, Node&& node, Open&& open,
                        Tracked&& tracked) {
  RunStack<Position> runs(levels);
  RecordStacks<Position> records(codes.count(), levels);
  std::size_t deepest = 0;  // the deepest open level that is tracked
  auto close = [&](std::size_t d, const typename RunStack<Position>::Run& run, Position end) {
    if (tracked(d)) {
      records.close(d, [&](std::uint32_t code, const auto& entry) { record(d, code, entry); });
    }
    node(d, run, end);
  };
  auto start = [&](std::size_t d) {
    open(d);
    if (d > 0) deepest = std::min(deepest, d - 1);
    if (d == 0 || tracked(d)) {
      records.open(d);
      deepest = d;
    }
  };
  const Position n = static_cast<Position>(leaves.size());
  for (Position i = 0; i < n; ++i) {
    runs.next(i, i == 0 ? 0 : std::size_t{leaves.shared[i]} + 1, close, start);
    runs.add(i, leaves.first[i], leaves.count[i]);
    records.add(codes.code[i], deepest, i, leaves.first[i], leaves.count[i]);
  }
  runs.finish(n, close);
}

// Every level tracked.
inline bool all_levels(std::size_t) { return true; }

// A child's value in a bottom-up scan, and its first offset.
template <class Position>
struct ChildValue {
  Position first;
  double value;
};

// Visits every node bottom-up, each after its children:
//   visit(preorder, depth, run, outcomes, children) -> the node's value
// where `preorder` numbers the nodes in the order their runs start, `outcomes`
// are the node's records in ascending symbol order, and `children` are its
// children's values in child-list order (newest child first), as the bottom-up
// selectors sum them.
template <class Position, class Visit>
void scan_bottom_up(const Leaves<Position>& leaves, const SymbolCodes& codes, std::size_t levels,
                    Visit&& visit) {
  std::vector<ChildValue<Position>> pending;  // visited nodes whose parent is not yet visited
  std::vector<std::size_t> child_mark(levels), preorder(levels);
  std::size_t next = 0;
  std::vector<SymbolCount> outcomes;
  scan_context_order(
      leaves, codes, levels,
      [&](std::size_t, std::uint32_t code, const auto& entry) {
        outcomes.push_back(SymbolCount{codes.symbol(code), entry.count});
      },
      [&](std::size_t d, const auto& run, Position) {
        sort_small(std::span(outcomes),
                   [](const SymbolCount& a, const SymbolCount& b) { return a.symbol < b.symbol; });
        const auto children = std::span(pending).subspan(child_mark[d]);
        sort_small(children, [](const ChildValue<Position>& a, const ChildValue<Position>& b) {
          return a.first > b.first;
        });
        const double value = visit(preorder[d], d, run, std::span<const SymbolCount>(outcomes),
                                   std::span<const ChildValue<Position>>(children));
        outcomes.clear();
        pending.resize(child_mark[d]);
        pending.push_back(ChildValue<Position>{run.first, value});
      },
      [&](std::size_t d) {
        child_mark[d] = pending.size();
        preorder[d] = next++;
      },
      all_levels);
}

// Calls f with a value of the narrowest offset type (std::uint32_t or
// std::uint64_t) that reaches every symbol of `rows`.
template <class F>
decltype(auto) with_offset_type(const Rows& rows, F&& f) {
  if (rows.symbol_count() < std::numeric_limits<std::uint32_t>::max()) return f(std::uint32_t{});
  return f(std::uint64_t{});
}

// Writes count tries record by record; the one party that reaches a trie's
// arenas from outside the class.
class TrieAssembly {
 public:
  // The whole trie of `leaves` (in context order) over `symbols`.
  template <class Position, class T>
  static CountTrie assemble(std::span<const T> symbols, const Leaves<Position>& leaves,
                            std::size_t alphabet_size, std::size_t depth, Count sample_size);

  // A trie made of these records, whose lists are linked already; its long
  // lists are entered into the side indexes.
  static CountTrie adopt(std::size_t alphabet_size, std::size_t depth, Count sample_size,
                         std::vector<TrieNode> nodes, std::vector<ChildEdge> edges,
                         std::vector<OutcomeCount> outcomes);
};

}  // namespace ostrel::detail
