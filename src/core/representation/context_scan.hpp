#pragma once
// The scans over leaves in context order (see leaves.hpp) that meet every node
// of the count trie: a run of leaves that ends is a node, reported after the
// nodes below it, with its count, its outcome records and the leaf that
// created it. Assembling the whole trie, selecting under bct and bic, and the
// posterior passes are callbacks of these scans.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "representation/leaves.hpp"
#include "representation/rows.hpp"
#include "representation/trie.hpp"
#include "util/arena.hpp"
#include "util/small_sort.hpp"

namespace ostrel::detail {

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

  // Ends the open runs at levels `shared` and deeper before item `item`,
  // deepest first, calling close(level, run, item), and opens new runs at
  // levels `shared` to `open_to` - 1, calling open(level). Levels beyond the
  // open ones are the caller's.
  template <class Close, class Open>
  [[gnu::always_inline]] void next(Position item, std::size_t shared, std::size_t open_to,
                                   Close&& close, Open&& open) {
    end_runs(shared, item, close);
    for (std::size_t d = open_; d < open_to; ++d) {
      runs_[d] = Run{0, NONE<Position>, NONE<Position>, item};
      open(d);
    }
    open_ = open_to;
  }

  // Adds a leaf, or a run that ended below the open ones, to the deepest
  // open run.
  [[gnu::always_inline]] void add(Position leaf, Position first, Count count) {
    Run& deepest = runs_[open_ - 1];
    deepest.count += count;
    if (first < deepest.first) {
      deepest.first = first;
      deepest.owner = leaf;
    }
  }

  template <class Close>
  void finish(Position end, Close&& close) {
    end_runs(0, end, close);
  }

 private:
  template <class Close>
  [[gnu::always_inline]] void end_runs(std::size_t shared, Position end, Close& close) {
    for (; open_ > shared; --open_) {
      const std::size_t d = open_ - 1;
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
  std::size_t open_ = 0;  // levels 0 .. open_ - 1 are open
};

// One outcome record of a run: how often its symbol followed, and the leaf
// with the smallest first offset among those that carry it.
template <class Position>
struct RecordEntry {
  Count count;
  Position first;
  Position owner;

  void merge(const RecordEntry& other) noexcept {
    count += other.count;
    if (other.first < first) {
      first = other.first;
      owner = other.owner;
    }
  }
};

// The outcome records of the open runs, kept per symbol: each symbol has a
// stack of entries, one for each open level whose run has seen the symbol,
// the deepest on top. A leaf's entry starts at the deepest level; when a run
// ends, each of its entries is reported and then folded into the level above.
template <class Position>
class RecordStacks {
 public:
  RecordStacks(std::size_t codes, std::size_t levels) : top_(codes, NO_ENTRY), mark_(levels) {}

  void open(std::size_t level) { mark_[level] = touched_.size(); }

  [[gnu::always_inline]] void add(std::uint32_t code, std::size_t level,
                                  const RecordEntry<Position>& record) {
    const std::uint32_t top = top_[code];
    if (top != NO_ENTRY && entries_[top].level == level) {
      entries_[top].record.merge(record);
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
    entries_[index] = Entry{record, static_cast<std::uint32_t>(level), top};
    top_[code] = index;
    touched_.push_back(code);
  }

  // Calls report(code, record) for every record of the run ending at
  // `level`, then folds those records into the run above.
  template <class Report>
  [[gnu::always_inline]] void close(std::size_t level, Report&& report) {
    const std::size_t from = mark_[level], end = touched_.size();
    for (std::size_t k = from; k < end; ++k) {
      report(touched_[k], std::as_const(entries_[top_[touched_[k]]].record));
    }
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
      if (level > 0) entries_[below].record.merge(entry.record);
      top_[code] = below;
      free_.push_back(index);
    }
    touched_.resize(kept);
  }

 private:
  static constexpr std::uint32_t NO_ENTRY = ~std::uint32_t{0};

  struct Entry {
    RecordEntry<Position> record;
    std::uint32_t level;
    std::uint32_t below;  // the symbol's entry at a shallower level, or NO_ENTRY
  };

  std::vector<std::uint32_t> top_;  // per symbol code: its deepest entry
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> free_;
  std::vector<std::uint32_t> touched_;  // codes with an entry, level by level
  std::vector<std::size_t> mark_;       // where each open level's codes begin
};

// The same for few symbols: one entry per level and symbol, every symbol of a
// level visited when its run ends (so records come in symbol order).
template <class Position>
class DenseRecords {
 public:
  // Up to this many symbol codes.
  static constexpr std::size_t MAX_CODES = 16;

  DenseRecords(std::size_t codes, std::size_t levels)
      : codes_(codes), entries_(codes * levels, EMPTY) {}

  void open(std::size_t) {}  // a level's entries are empty whenever its run starts

  void add(std::uint32_t code, std::size_t level, const RecordEntry<Position>& record) {
    entries_[level * codes_ + code].merge(record);
  }

  template <class Report>
  void close(std::size_t level, Report&& report) {
    RecordEntry<Position>* row = entries_.data() + level * codes_;
    RecordEntry<Position>* above = level > 0 ? row - codes_ : nullptr;
    for (std::uint32_t c = 0; c < codes_; ++c) {
      if (row[c].count == 0) continue;
      report(c, std::as_const(row[c]));
      if (above != nullptr) above[c].merge(row[c]);
      row[c] = EMPTY;
    }
  }

 private:
  static constexpr RecordEntry<Position> EMPTY{0, NONE<Position>, NONE<Position>};
  std::size_t codes_;
  std::vector<RecordEntry<Position>> entries_;  // level by level
};

// The scan below with the record store `Store`. The run and record stacks'
// steps run once per leaf or node and are inlined into it: calls there cost
// more than the work.
template <class Store, class Position, class Record, class Node, class Open, class Chain>
void scan_with(const Leaves<Position>& leaves, const SymbolCodes& codes, std::size_t levels,
               Record& record, Node& node, Open& open, Chain& chain) {
  using Run = typename RunStack<Position>::Run;
  RunStack<Position> runs(levels);
  Store records(codes.count(), levels);
  auto close = [&](std::size_t d, const Run& run, Position end) {
    records.close(d, [&](std::uint32_t code, const auto& entry) { record(d, code, entry); });
    node(d, run, end);
  };
  auto start = [&](std::size_t d) {
    open(d);
    records.open(d);
  };
  const std::size_t n = leaves.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto leaf = static_cast<Position>(i);
    const std::size_t after = i + 1 < n ? leaves.shared[i + 1] : 0;
    const std::size_t top = std::max<std::size_t>(leaves.shared[i], after) + 1;  // chain top
    const std::size_t open_to = std::min(top, levels);
    runs.next(leaf, i == 0 ? 0 : std::size_t{leaves.shared[i]} + 1, open_to, close, start);
    const Position first = leaves.first[i], count = leaves.count[i];
    const std::uint32_t code = codes.code[i];
    if (top < levels && !chain(top, leaf)) {
      for (std::size_t d = top; d < levels; ++d) open(d);
      for (std::size_t d = levels; d-- > top;) {
        record(d, code, RecordEntry<Position>{count, first, leaf});
        node(d, Run{count, first, leaf, leaf}, leaf + 1);
      }
    }
    runs.add(leaf, first, count);
    records.add(code, open_to - 1, RecordEntry<Position>{count, first, leaf});  // the deepest open
  }
  runs.finish(static_cast<Position>(n), close);
}

// Walks the leaves in context order. For every run that ends, deepest first:
// record(level, code, entry) for each of its outcome records, then
// node(level, run, end) for the node the run stands for. open(level) is
// called for every run that starts.
//
// Below the levels a leaf shares with either neighbour, its runs hold that
// leaf alone: a chain of nodes, one child and one record each. The scan first
// offers such a chain, from its top depth down, to chain(top, leaf); when that
// returns false, the chain's runs go through the callbacks above like any
// others.
template <class Position, class Record, class Node, class Open, class Chain>
void scan_context_order(const Leaves<Position>& leaves, const SymbolCodes& codes,
                        std::size_t levels, Record&& record, Node&& node, Open&& open,
                        Chain&& chain) {
  if (codes.count() <= DenseRecords<Position>::MAX_CODES) {
    scan_with<DenseRecords<Position>>(leaves, codes, levels, record, node, open, chain);
  } else {
    scan_with<RecordStacks<Position>>(leaves, codes, levels, record, node, open, chain);
  }
}

// Offers no chain handling: every chain goes through the ordinary callbacks.
struct NoChain {
  template <class Position>
  bool operator()(std::size_t, Position) const noexcept {
    return false;
  }
};
inline constexpr NoChain no_chain;

// A child's value in a bottom-up scan, and its first offset.
template <class Position, class Value>
struct ChildValue {
  Position first;
  Value value;
};

// scan_bottom_up (below) for at most DenseRecords::MAX_CODES symbol codes,
// with the same calls in the same order and less bookkeeping: each open level
// keeps its run, one record entry per code and where its children begin among
// the visited nodes. A level that ends hands over its records in code order,
// which is symbol order, and folds them and its run into the level above.
template <class Position, class Visitor, class Chain>
void scan_bottom_up_dense(const Leaves<Position>& leaves, const SymbolCodes& codes,
                          std::size_t levels, Visitor& visitor, Chain&& chain) {
  using Value = typename Visitor::Value;
  using Run = typename RunStack<Position>::Run;
  using Child = ChildValue<Position, Value>;
  struct Slot {
    Count count;
    Position first;
  };
  struct Level {
    Run run;
    std::size_t preorder;
    std::size_t children;  // where the level's children begin in `pending`
  };
  constexpr Slot EMPTY{0, NONE<Position>};
  const std::size_t code_count = codes.count();
  std::vector<Level> level(levels);
  std::vector<Slot> slots(levels * code_count, EMPTY);  // level by level
  Arena<Child> pending;                                 // visited nodes whose parent is not yet
  SymbolCount outcomes[DenseRecords<Position>::MAX_CODES];
  Position firsts[DenseRecords<Position>::MAX_CODES];
  std::size_t open = 0, next = 0;

  // Ends the run of the deepest open level, d.
  auto close = [&](std::size_t d) {
    Level& here = level[d];
    Slot* const row = slots.data() + d * code_count;
    Slot* const above = d > 0 ? row - code_count : nullptr;
    std::size_t k = 0;
    for (std::size_t c = 0; c < code_count; ++c) {
      const Slot slot = std::exchange(row[c], EMPTY);
      outcomes[k] = SymbolCount{codes.symbol(static_cast<std::uint32_t>(c)), slot.count};
      firsts[k] = slot.first;
      k += slot.count != 0;
      if (above != nullptr) {
        above[c].count += slot.count;
        above[c].first = std::min(above[c].first, slot.first);
      }
    }
    const auto children = pending.span().subspan(here.children);
    sort_small(children, [](const Child& a, const Child& b) { return a.first > b.first; });
    const Value value = visitor.node(
        here.preorder, d, std::as_const(here.run), std::span<const SymbolCount>(outcomes, k),
        std::span<const Position>(firsts, k), std::span<const Child>(children));
    pending.shrink(here.children);
    pending.push_back(Child{here.run.first, value});
    if (d > 0) {
      Run& above = level[d - 1].run;
      above.count += here.run.count;
      if (here.run.first < above.first) {
        above.first = here.run.first;
        above.owner = here.run.owner;
      }
    }
  };

  const std::size_t n = leaves.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto leaf = static_cast<Position>(i);
    const std::size_t before = i == 0 ? 0 : std::size_t{leaves.shared[i]} + 1;
    const std::size_t after = i + 1 < n ? leaves.shared[i + 1] : 0;
    const std::size_t top = std::max<std::size_t>(leaves.shared[i], after) + 1;  // chain top
    const std::size_t open_to = std::min(top, levels);
    while (open > before) close(--open);
    for (; open < open_to; ++open) {
      level[open] = Level{Run{0, NONE<Position>, NONE<Position>, leaf}, next++, pending.size()};
    }
    const Position first = leaves.first[i], count = leaves.count[i];
    const std::uint32_t code = codes.code[i];
    if (top < levels) {
      // The leaf's own nodes, from depth `top` down, numbered top first.
      pending.push_back(chain(top, leaf, next));
      next += levels - top;
    }
    Level& deepest = level[open - 1];
    deepest.run.count += count;
    if (first < deepest.run.first) {
      deepest.run.first = first;
      deepest.run.owner = leaf;
    }
    Slot& slot = slots[(open - 1) * code_count + code];
    slot.count += count;
    slot.first = std::min(slot.first, first);
  }
  while (open > 0) close(--open);
}

// Visits every node bottom-up, each after its children, through
//   visitor.node(preorder, depth, run, outcomes, firsts, children) -> Value
// where `preorder` numbers the nodes in the order their runs start,
// `outcomes` are the node's records in ascending symbol order (`firsts` their
// first offsets), and `children` its children's values in child-list order
// (newest child first), as the bottom-up selectors sum them. A visitor may
// also take the chains of single-leaf nodes whole, through
//   visitor.chain(top, levels, run, outcome, first) -> Value of the top node
// which must give what node() would give node by node, from depth levels - 1
// up to `top`.
template <class Position, class Visitor>
void scan_bottom_up(const Leaves<Position>& leaves, const SymbolCodes& codes, std::size_t levels,
                    Visitor& visitor) {
  using Value = typename Visitor::Value;
  using Run = typename RunStack<Position>::Run;
  struct Outcome {
    Symbol symbol;
    Count count;
    Position first;
  };
  // The nodes of `leaf` alone, from depth `top` down, numbered from `base`
  // top first, as the top node's entry among its parent's children.
  auto chain = [&](std::size_t top, Position leaf, std::size_t base) {
    const Run run{leaves.count[leaf], leaves.first[leaf], leaf, leaf};
    const SymbolCount outcome{codes.symbol(codes.code[leaf]), run.count};
    ChildValue<Position, Value> below{run.first, Value{}};
    if constexpr (requires { visitor.chain(top, levels, run, outcome, run.first); }) {
      below.value = visitor.chain(top, levels, run, outcome, run.first);
    } else {
      for (std::size_t d = levels; d-- > top;) {
        below.value =
            visitor.node(base + (d - top), d, run, std::span<const SymbolCount>(&outcome, 1),
                         std::span<const Position>(&run.first, 1),
                         std::span<const ChildValue<Position, Value>>(&below, d + 1 < levels));
      }
    }
    return below;
  };
  if (codes.count() <= DenseRecords<Position>::MAX_CODES) {
    scan_bottom_up_dense(leaves, codes, levels, visitor, chain);
    return;
  }
  std::vector<ChildValue<Position, Value>> pending;  // visited nodes whose parent is not yet
  std::vector<std::size_t> child_mark(levels), preorder(levels);
  std::size_t next = 0;
  std::vector<Outcome> found;
  std::vector<SymbolCount> outcomes;
  std::vector<Position> firsts;
  auto visit = [&](std::size_t number, std::size_t d, const Run& run,
                   std::span<const ChildValue<Position, Value>> children) {
    sort_small(std::span(found),
               [](const Outcome& a, const Outcome& b) { return a.symbol < b.symbol; });
    outcomes.clear();
    firsts.clear();
    for (const Outcome& o : found) {
      outcomes.push_back(SymbolCount{o.symbol, o.count});
      firsts.push_back(o.first);
    }
    found.clear();
    return visitor.node(number, d, run, std::span<const SymbolCount>(outcomes),
                        std::span<const Position>(firsts), children);
  };
  scan_context_order(
      leaves, codes, levels,
      [&](std::size_t, std::uint32_t code, const auto& entry) {
        found.push_back(Outcome{codes.symbol(code), entry.count, entry.first});
      },
      [&](std::size_t d, const Run& run, Position) {
        const auto children = std::span(pending).subspan(child_mark[d]);
        sort_small(children, [](const auto& a, const auto& b) { return a.first > b.first; });
        const Value value = visit(preorder[d], d, run, children);
        pending.resize(child_mark[d]);
        pending.push_back(ChildValue<Position, Value>{run.first, value});
      },
      [&](std::size_t d) {
        child_mark[d] = pending.size();
        preorder[d] = next++;
      },
      [&](std::size_t top, Position leaf) {
        pending.push_back(chain(top, leaf, next));
        next += levels - top;
        return true;
      });
}

}  // namespace ostrel::detail
