// Counting by sorting.
//
// Call the storage_depth symbols before a counted position, most recent first,
// its context, and its context followed by the position's own symbol its key.
// A leaf is one distinct key, with the number of positions that have it and
// the offset of the first of them.
//
// Sorted by key (context order), the nodes at depth d are the maximal runs of
// leaves that share d context symbols. Sorted by symbol, then context (outcome
// order), the outcome records at depth d are the runs that share the symbol
// and d context symbols. Counting positions one after the other creates a node
// or a record at the earliest position of its run, which is the first
// position of one of the run's leaves: the run's owner. A position that
// creates the node of its path at depth d also creates the deeper ones (their
// contexts extend one never seen before), and likewise records; so each leaf
// owns one chain of nodes and one chain of records, each running from some
// depth down to storage_depth. Numbering the leaves by first position, each
// chain in depth order, numbers nodes and records exactly as counting does,
// and linking every record at the front of its list in that order gives the
// lists that counting gives.
//
// Three ways bring the positions into context order: a directly addressed
// table of packed keys when there are few possible keys, a radix sort of
// packed (key, offset) words when those fit 64 bits, and otherwise a
// most-significant-first radix sort over the symbols themselves.

#include "trie_build.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <span>
#include <type_traits>
#include <vector>

namespace ostrel::detail {

namespace {

// No leaf, no offset.
template <class Position>
constexpr Position NONE = std::numeric_limits<Position>::max();
// No leaf of the same symbol precedes this one.
constexpr Depth NO_DEPTH = std::numeric_limits<Depth>::max();

// Keys packed into 64 bits: `bits` bits per symbol, the most recent context
// symbol highest, the position's own symbol lowest.
constexpr unsigned TABLE_BITS = 26;

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

// Calls f(key, offset) for every counted position in order. The context is
// kept rolling: one shift and one insertion per position.
template <class T, class F>
void for_each_key(std::span<const T> symbols, const Rows& rows, std::size_t conditioning_depth,
                  std::size_t depth, unsigned bits, F&& f) {
  const unsigned oldest = depth == 0 ? 0 : bits * static_cast<unsigned>(depth - 1);
  for_each_counted(rows, conditioning_depth, [&](std::size_t lo, std::size_t hi) {
    std::uint64_t context = 0;
    for (std::size_t d = 1; d <= depth; ++d) context = (context << bits) | symbols[lo - d];
    for (std::size_t at = lo; at < hi; ++at) {
      const std::uint64_t symbol = symbols[at];
      f((context << bits) | symbol, at);
      if (depth != 0) context = (symbol << oldest) | (context >> bits);
    }
  });
}

// Context symbols that two different packed keys share.
std::size_t shared_context(std::uint64_t a, std::uint64_t b, std::size_t depth, unsigned bits) {
  return depth - (static_cast<unsigned>(std::bit_width(a ^ b)) - 1) / bits;
}

// Sorts the words by their bits [lo, hi) (all higher bits are zero), keeping
// words with equal such bits in their order: least significant digit first.
void radix_sort_bits(std::vector<std::uint64_t>& words, unsigned lo, unsigned hi) {
  if (hi <= lo || words.size() < 2) return;
  if (words.size() < 256) {
    // Equal sort bits come with ascending low bits in every caller, so sorting
    // the whole words orders them the same way.
    std::sort(words.begin(), words.end());
    return;
  }
  const unsigned span = hi - lo;
  const unsigned passes = (span + 10) / 11;
  const unsigned width = (span + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
  std::vector<std::uint64_t> spare(words.size());
  std::vector<std::size_t> counts(std::size_t{1} << width);
  for (unsigned pass = 0; pass < passes; ++pass) {
    const unsigned shift = lo + pass * width;
    std::fill(counts.begin(), counts.end(), 0);
    for (const std::uint64_t w : words) ++counts[(w >> shift) & mask];
    if (counts[(words[0] >> shift) & mask] == words.size()) continue;  // one digit only
    std::size_t total = 0;
    for (std::size_t& c : counts) total += std::exchange(c, total);
    for (const std::uint64_t w : words) spare[counts[(w >> shift) & mask]++] = w;
    words.swap(spare);
  }
}

// Leaves from a table with one entry per possible key.
template <class Position, class T>
Leaves<Position> leaves_from_table(std::span<const T> symbols, const Rows& rows,
                                   std::size_t conditioning_depth, std::size_t depth,
                                   unsigned bits) {
  struct Entry {
    Position count;
    Position first;
  };
  std::vector<Entry> table(std::size_t{1} << (bits * (depth + 1)), Entry{0, 0});
  for_each_key(symbols, rows, conditioning_depth, depth, bits,
               [&](std::uint64_t key, std::size_t at) {
                 Entry& entry = table[key];
                 if (entry.count == 0) entry.first = static_cast<Position>(at);
                 ++entry.count;
               });
  Leaves<Position> leaves;
  leaves.reserve(static_cast<std::size_t>(
      std::count_if(table.begin(), table.end(), [](const Entry& e) { return e.count != 0; })));
  std::uint64_t previous = 0;
  for (std::uint64_t key = 0; key < table.size(); ++key) {
    const Entry& entry = table[key];
    if (entry.count == 0) continue;
    leaves.add(entry.first, entry.count,
               leaves.size() == 0 ? 0 : shared_context(previous, key, depth, bits));
    previous = key;
  }
  return leaves;
}

// Leaves from (key, offset) words sorted by key; offsets ascend within a key.
template <class Position, class T>
Leaves<Position> leaves_from_packed(std::span<const T> symbols, const Rows& rows,
                                    std::size_t conditioning_depth, std::size_t depth,
                                    unsigned bits, std::size_t positions, unsigned offset_bits) {
  std::vector<std::uint64_t> words;
  words.reserve(positions);
  for_each_key(
      symbols, rows, conditioning_depth, depth, bits,
      [&](std::uint64_t key, std::size_t at) { words.push_back(key << offset_bits | at); });
  const unsigned key_bits = bits * static_cast<unsigned>(depth + 1);
  radix_sort_bits(words, offset_bits, offset_bits + key_bits);

  const std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    distinct += i == 0 || (words[i] >> offset_bits) != (words[i - 1] >> offset_bits);
  }
  Leaves<Position> leaves;
  leaves.reserve(distinct);
  for (std::size_t i = 0; i < words.size();) {
    const std::uint64_t key = words[i] >> offset_bits;
    std::size_t end = i + 1;
    while (end < words.size() && (words[end] >> offset_bits) == key) ++end;
    leaves.add(static_cast<Position>(words[i] & offset_mask), static_cast<Position>(end - i),
               i == 0 ? 0 : shared_context(words[i - 1] >> offset_bits, key, depth, bits));
    i = end;
  }
  return leaves;
}

// Leaves from the counted offsets sorted by their keys read symbol by symbol:
// a most-significant-byte-first radix sort (each symbol as its big-endian
// bytes) with insertion sort for small groups. Stable, so the first offset of
// a key comes first.
template <class Position, class T>
Leaves<Position> leaves_from_digits(std::span<const T> symbols, const Rows& rows,
                                    std::size_t conditioning_depth, std::size_t depth,
                                    std::size_t positions) {
  constexpr std::size_t SMALL = 16;
  constexpr std::size_t width = sizeof(T);
  const std::size_t digits = depth + 1;
  const std::size_t key_bytes = width * digits;
  // Digit q of a key: context symbol q + 1 for q < depth, then the symbol.
  auto digit = [&](Position at, std::size_t q) -> T {
    return q < depth ? symbols[at - 1 - q] : symbols[at];
  };
  auto key_byte = [&](Position at, std::size_t j) -> unsigned {
    return static_cast<unsigned>(
        (static_cast<std::uint64_t>(digit(at, j / width)) >> (8 * (width - 1 - j % width))) & 0xFF);
  };
  // Digits shared by two keys that agree on their first `from` digits.
  auto common = [&](Position a, Position b, std::size_t from) {
    while (from < digits && digit(a, from) == digit(b, from)) ++from;
    return from;
  };

  std::vector<Position> order;
  order.reserve(positions);
  for_each_counted(rows, conditioning_depth, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t at = lo; at < hi; ++at) order.push_back(static_cast<Position>(at));
  });
  // shared[i]: digits key i shares with key i - 1 (digits itself when equal).
  std::vector<std::uint32_t> shared(positions, 0);
  std::vector<Position> spare(positions);

  struct Group {
    std::size_t begin, end, byte;
  };
  std::vector<Group> groups;
  if (positions > 1) groups.push_back(Group{0, positions, 0});
  std::size_t counts[256];
  while (!groups.empty()) {
    const Group g = groups.back();
    groups.pop_back();
    if (g.byte == key_bytes) {
      for (std::size_t i = g.begin + 1; i < g.end; ++i)
        shared[i] = static_cast<std::uint32_t>(digits);
      continue;
    }
    const std::size_t from = g.byte / width;  // every key of the group shares these digits
    if (g.end - g.begin <= SMALL) {
      for (std::size_t i = g.begin + 1; i < g.end; ++i) {
        const Position moving = order[i];
        std::size_t j = i;
        for (; j > g.begin; --j) {
          const std::size_t c = common(order[j - 1], moving, from);
          if (c == digits || digit(order[j - 1], c) < digit(moving, c)) break;
          order[j] = order[j - 1];
        }
        order[j] = moving;
      }
      for (std::size_t i = g.begin + 1; i < g.end; ++i) {
        shared[i] = static_cast<std::uint32_t>(common(order[i - 1], order[i], from));
      }
      continue;
    }
    std::fill(std::begin(counts), std::end(counts), 0);
    for (std::size_t i = g.begin; i < g.end; ++i) ++counts[key_byte(order[i], g.byte)];
    if (counts[key_byte(order[g.begin], g.byte)] == g.end - g.begin) {
      groups.push_back(Group{g.begin, g.end, g.byte + 1});
      continue;
    }
    std::size_t starts[257];
    starts[0] = g.begin;
    for (std::size_t b = 0; b < 256; ++b) starts[b + 1] = starts[b] + counts[b];
    std::size_t next[256];
    std::copy(starts, starts + 256, next);
    for (std::size_t i = g.begin; i < g.end; ++i)
      spare[next[key_byte(order[i], g.byte)]++] = order[i];
    std::copy(spare.begin() + static_cast<std::ptrdiff_t>(g.begin),
              spare.begin() + static_cast<std::ptrdiff_t>(g.end),
              order.begin() + static_cast<std::ptrdiff_t>(g.begin));
    for (std::size_t b = 256; b-- > 0;) {
      const std::size_t lo = starts[b], hi = starts[b + 1];
      if (lo == hi) continue;
      if (lo != g.begin) shared[lo] = static_cast<std::uint32_t>(from);
      if (hi - lo > 1) groups.push_back(Group{lo, hi, g.byte + 1});
    }
  }

  std::size_t distinct = 0;
  for (std::size_t i = 0; i < positions; ++i) distinct += i == 0 || shared[i] != digits;
  Leaves<Position> leaves;
  leaves.reserve(distinct);
  for (std::size_t i = 0; i < positions;) {
    std::size_t end = i + 1;
    Position first = order[i];
    while (end < positions && shared[end] == digits) first = std::min(first, order[end++]);
    leaves.add(first, static_cast<Position>(end - i), i == 0 ? 0 : shared[i]);
    i = end;
  }
  return leaves;
}

// The leaves' indices in the order of their first offsets (all distinct).
template <class Position>
std::vector<Position> by_first_offset(const std::vector<Position>& first) {
  const std::size_t n = first.size();
  std::vector<Position> order(n);
  if constexpr (sizeof(Position) <= 4) {
    std::vector<std::uint64_t> words(n);
    Position largest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      words[i] = static_cast<std::uint64_t>(first[i]) << 32 | i;
      largest = std::max(largest, first[i]);
    }
    radix_sort_bits(words, 32, 32 + static_cast<unsigned>(std::bit_width(largest)));
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Position>(words[i]);
  } else {
    std::iota(order.begin(), order.end(), Position{0});
    std::sort(order.begin(), order.end(),
              [&](Position a, Position b) { return first[a] < first[b]; });
  }
  return order;
}

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

  // The deepest level whose run started at or before `item`, an item of the
  // run at level 0. Run starts never decrease with the level.
  std::size_t deepest_started_by(Position item) const {
    const auto after =
        std::upper_bound(runs_.begin(), runs_.end(), item,
                         [](Position value, const Run& run) { return value < run.start; });
    return static_cast<std::size_t>(after - runs_.begin()) - 1;
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

void ignore_open(std::size_t) {}

// Saturating list-length counter: only "longer than SHORT_LIST" matters.
void bump(std::uint8_t& length) {
  if (length <= SHORT_LIST) ++length;
}

}  // namespace

class TrieAssembly {
 public:
  // The trie of `leaves` (in context order) over `symbols`.
  template <class Position, class T>
  static CountTrie assemble(std::span<const T> symbols, const Leaves<Position>& leaves,
                            std::size_t alphabet_size, std::size_t depth, Count sample_size);
};

template <class Position, class T>
CountTrie TrieAssembly::assemble(std::span<const T> symbols, const Leaves<Position>& leaves,
                                 std::size_t alphabet_size, std::size_t depth, Count sample_size) {
  CountTrie trie(alphabet_size, depth);
  trie.sample_size_ = sample_size;
  const std::size_t n = leaves.size();
  if (n == 0) return trie;
  const std::size_t levels = depth + 1;
  auto symbol_of = [&](Position leaf) -> Symbol { return symbols[leaves.first[leaf]]; };
  auto shared_at = [&](Position i) -> std::size_t { return i == 0 ? 0 : leaves.shared[i] + 1; };
  using Run = typename RunStack<Position>::Run;

  // Small integer codes for the leaves' symbols.
  std::vector<std::uint32_t> code(n);
  std::size_t codes = 0;
  {
    Symbol largest = 0;
    for (Position i = 0; i < n; ++i) largest = std::max(largest, symbol_of(i));
    if (largest < (Symbol{1} << 20)) {
      for (Position i = 0; i < n; ++i) code[i] = static_cast<std::uint32_t>(symbol_of(i));
      codes = static_cast<std::size_t>(largest) + 1;
    } else {
      std::vector<Symbol> distinct(n);
      for (Position i = 0; i < n; ++i) distinct[i] = symbol_of(i);
      std::sort(distinct.begin(), distinct.end());
      distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
      for (Position i = 0; i < n; ++i) {
        code[i] = static_cast<std::uint32_t>(
            std::lower_bound(distinct.begin(), distinct.end(), symbol_of(i)) - distinct.begin());
      }
      codes = distinct.size();
    }
  }

  // Context order: where each leaf's node chain starts (`levels`: it owns no
  // node), and the context symbols each leaf shares with the previous leaf of
  // its symbol, which is its predecessor in outcome order.
  std::vector<std::uint32_t> node_from(n, static_cast<std::uint32_t>(levels));
  std::vector<Depth> shared_same(n, NO_DEPTH);
  {
    std::vector<Position> last(codes, NONE<Position>);
    RunStack<Position> runs(levels);
    auto close = [&](std::size_t d, const Run& run, Position) {
      if (d > 0) node_from[run.owner] = static_cast<std::uint32_t>(d);
    };
    for (Position i = 0; i < n; ++i) {
      runs.next(i, shared_at(i), close, ignore_open);
      Position& previous = last[code[i]];
      if (previous != NONE<Position>) {
        shared_same[i] = static_cast<Depth>(runs.deepest_started_by(previous));
      }
      previous = i;
      runs.add(i, leaves.first[i], leaves.count[i]);
    }
    runs.finish(static_cast<Position>(n), close);
  }

  // Outcome order: a stable counting sort of the leaves by symbol code.
  std::vector<Position> by_symbol(n);
  {
    std::vector<Position> start(codes + 1, 0);
    for (Position i = 0; i < n; ++i) ++start[code[i] + 1];
    for (std::size_t c = 0; c < codes; ++c) start[c + 1] += start[c];
    for (Position i = 0; i < n; ++i) by_symbol[start[code[i]]++] = i;
  }
  auto outcome_shared = [&](Position j) -> std::size_t {
    if (j == 0 || code[by_symbol[j - 1]] != code[by_symbol[j]]) return 0;
    return std::size_t{shared_same[by_symbol[j]]} + 1;
  };
  auto scan_outcome_order = [&](auto&& close) {
    RunStack<Position> runs(levels);
    for (Position j = 0; j < n; ++j) {
      runs.next(j, outcome_shared(j), close, ignore_open);
      const Position leaf = by_symbol[j];
      runs.add(leaf, leaves.first[leaf], leaves.count[leaf]);
    }
    runs.finish(static_cast<Position>(n), close);
  };
  // Where each leaf's record chain starts; every leaf owns at least the
  // record of its own key at full depth.
  std::vector<std::uint32_t> record_from(n, static_cast<std::uint32_t>(depth));
  scan_outcome_order([&](std::size_t d, const Run& run, Position) {
    record_from[run.owner] = static_cast<std::uint32_t>(d);
  });
  code = {};
  shared_same = {};

  // Creation order: the leaves by first position, each contributing its chains.
  const std::vector<Position> creation = by_first_offset(leaves.first);
  std::vector<NodeIndex> node_base(n, NO_INDEX);
  std::vector<OutcomeIndex> record_base(n);
  std::uint64_t node_total = 1, record_total = 0;
  for (const Position leaf : creation) {
    if (node_from[leaf] <= depth) {
      node_base[leaf] = static_cast<NodeIndex>(node_total);
      node_total += levels - node_from[leaf];
    }
    record_base[leaf] = static_cast<OutcomeIndex>(record_total);
    record_total += levels - record_from[leaf];
    if (node_total > MAX_RECORDS || record_total > MAX_RECORDS) throw CapacityExhausted{};
  }
  const auto node_count = static_cast<std::size_t>(node_total);
  trie.nodes_.resize(node_count);
  trie.edges_.resize(node_count - 1);
  trie.outcomes_.resize(static_cast<std::size_t>(record_total));
  auto& nodes = trie.nodes_;

  // Nodes, in context order: each run at depth d >= 1 is the node its owner's
  // chain holds at d; it learns its parent when the run above it ends.
  std::vector<NodeIndex> leaf_node(n);  // the node of the leaf's whole context
  {
    std::vector<NodeIndex> pending;  // ended runs whose parent has not ended yet
    std::vector<std::size_t> mark(levels);
    RunStack<Position> runs(levels);
    auto open = [&](std::size_t d) { mark[d] = pending.size(); };
    auto close = [&](std::size_t d, const Run& run, Position end) {
      NodeIndex node = 0;
      if (d > 0) {
        const Position owner = run.owner;
        node = node_base[owner] + static_cast<NodeIndex>(d - node_from[owner]);
        nodes[node] = TrieNode{0,        symbols[leaves.first[owner] - d],
                               NO_INDEX, NO_INDEX,
                               NO_INDEX, static_cast<Depth>(d),
                               0};
      }
      for (std::size_t k = mark[d]; k < pending.size(); ++k) nodes[pending[k]].parent = node;
      pending.resize(mark[d]);
      if (d > 0) pending.push_back(node);
      if (d == depth) std::fill(leaf_node.begin() + run.start, leaf_node.begin() + end, node);
    };
    for (Position i = 0; i < n; ++i) {
      runs.next(i, shared_at(i), close, open);
      runs.add(i, leaves.first[i], leaves.count[i]);
    }
    runs.finish(static_cast<Position>(n), close);
  }
  node_from = {};
  node_base = {};

  // Records, in outcome order: each run at depth d is the record its owner's
  // chain holds at d.
  scan_outcome_order([&](std::size_t d, const Run& run, Position) {
    const Position owner = run.owner;
    trie.outcomes_[record_base[owner] + (d - record_from[owner])] =
        OutcomeCount{run.count, symbol_of(owner), NO_INDEX};
  });

  // Lists, linked at the front in creation order: children by node index,
  // records leaf by leaf (one leaf gives each node at most one record).
  std::vector<std::uint8_t> child_lengths(node_count, 0), outcome_lengths(node_count, 0);
  for (std::size_t i = 1; i < node_count; ++i) {
    const NodeIndex parent = nodes[i].parent;
    trie.edges_[i - 1] =
        ChildEdge{nodes[i].symbol, static_cast<NodeIndex>(i), nodes[parent].first_child};
    nodes[parent].first_child = static_cast<EdgeIndex>(i - 1);
    bump(child_lengths[parent]);
  }
  for (const Position leaf : creation) {
    NodeIndex node = leaf_node[leaf];
    const std::size_t chain = levels - record_from[leaf];
    for (std::size_t k = chain; k-- > 0;) {
      const auto record = static_cast<OutcomeIndex>(record_base[leaf] + k);
      TrieNode& owner = nodes[node];
      trie.outcomes_[record].next = owner.first_outcome;
      owner.first_outcome = record;
      owner.count += trie.outcomes_[record].count;
      bump(outcome_lengths[node]);
      node = owner.parent;
    }
  }
  for (std::size_t i = 0; i < node_count; ++i) {
    trie.index_long_lists(static_cast<NodeIndex>(i), child_lengths[i], outcome_lengths[i]);
  }
  return trie;
}

template <class Position>
CountTrie count_by_sorting(const Rows& rows, std::size_t alphabet_size,
                           std::size_t conditioning_depth, std::size_t storage_depth,
                           SortStrategy strategy) {
  Count positions = 0;
  for_each_counted(rows, conditioning_depth,
                   [&](std::size_t lo, std::size_t hi) { positions += hi - lo; });
  const std::size_t depth = storage_depth;
  const auto bits = std::max(1u, static_cast<unsigned>(std::bit_width(rows.max_symbol())));
  const std::size_t key_bits = bits * (depth + 1);  // no overflow: depth <= 65535
  const auto offset_bits = static_cast<unsigned>(std::bit_width(rows.symbol_count()));
  const bool table_fits = key_bits <= TABLE_BITS;
  const bool packed_fits = key_bits + offset_bits <= 64;
  if (strategy == SortStrategy::Automatic) {
    // The table costs one entry per possible key: worth it when there are no
    // more of those than twice the positions, where sorting would need as
    // much memory for its two buffers of words.
    const Count table_size = table_fits ? Count{1} << key_bits : 0;
    strategy = table_fits && table_size <= std::max<Count>(2 * positions, 4096)
                   ? SortStrategy::Table
               : packed_fits ? SortStrategy::Packed
                             : SortStrategy::Digits;
  }
  if ((strategy == SortStrategy::Table && !table_fits) ||
      (strategy == SortStrategy::Packed && !packed_fits)) {
    strategy = SortStrategy::Digits;
  }
  return rows.visit([&](auto symbols) {
    Leaves<Position> leaves;
    if (positions != 0) {
      switch (strategy) {
        case SortStrategy::Table:
          leaves = leaves_from_table<Position>(symbols, rows, conditioning_depth, depth, bits);
          break;
        case SortStrategy::Packed:
          leaves = leaves_from_packed<Position>(symbols, rows, conditioning_depth, depth, bits,
                                                static_cast<std::size_t>(positions), offset_bits);
          break;
        default:
          leaves = leaves_from_digits<Position>(symbols, rows, conditioning_depth, depth,
                                                static_cast<std::size_t>(positions));
          break;
      }
    }
    return TrieAssembly::assemble(symbols, leaves, alphabet_size, depth, positions);
  });
}

template CountTrie count_by_sorting<std::uint32_t>(const Rows&, std::size_t, std::size_t,
                                                   std::size_t, SortStrategy);
template CountTrie count_by_sorting<std::uint64_t>(const Rows&, std::size_t, std::size_t,
                                                   std::size_t, SortStrategy);

}  // namespace ostrel::detail
