// Assembling the whole count trie from leaves, in two scans: the first finds
// which node and record chains each leaf owns, numbering them in creation
// order; the second writes every node whole, with its lists, when its run
// ends.

#include "fit/assemble.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "representation/context_scan.hpp"
#include "representation/trie_writer.hpp"
#include "util/radix_sort.hpp"
#include "util/small_sort.hpp"

namespace ostrel::detail {

namespace {

// Each node but the root is made together with the edge that leads to it, in
// node order, so the edge into node c is edge c - 1.
EdgeIndex edge_made_with(NodeIndex child) noexcept { return EdgeIndex(child.value() - 1); }

// Calls f(leaf) for every leaf in the order of their first offsets (all
// distinct): through a table indexed by offset when that is no larger than
// the buffers of a radix sort of the leaves, otherwise by that sort.
template <class Position, class F>
void for_each_by_first(std::span<const Position> first, F&& f) {
  const std::size_t n = first.size();
  Position largest = 0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, first[i]);
  if (largest / 4 <= n) {
    std::vector<Position> leaf_at(static_cast<std::size_t>(largest) + 1, NONE<Position>);
    for (std::size_t i = 0; i < n; ++i) leaf_at[first[i]] = static_cast<Position>(i);
    for (const Position leaf : leaf_at) {
      if (leaf != NONE<Position>) f(leaf);
    }
    return;
  }
  if constexpr (sizeof(Position) <= 4) {
    RadixSort radix(32, 32 + static_cast<unsigned>(std::bit_width(largest)));
    const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(2 * n);
    std::span<std::uint64_t> words(buffer.get(), n);
    for (std::size_t i = 0; i < n; ++i) {
      words[i] = static_cast<std::uint64_t>(first[i]) << 32 | i;
      radix.count(words[i]);
    }
    for (const std::uint64_t word : radix.sort(words, std::span(buffer.get() + n, n))) {
      f(static_cast<Position>(word));
    }
  } else {
    std::vector<Position> order(n);
    std::iota(order.begin(), order.end(), Position{0});
    std::sort(order.begin(), order.end(),
              [&](Position a, Position b) { return first[a] < first[b]; });
    for (const Position leaf : order) f(leaf);
  }
}

// The whole trie of `leaves` (in context order), their keys read from `keys`.
template <class Position, class Keys>
CountTrie assemble(const Keys& keys, const Leaves<Position>& leaves, std::size_t alphabet_size,
                   std::size_t depth, Count sample_size) {
  const std::size_t n = leaves.size();
  if (n == 0) return TrieWriter(alphabet_size, depth, sample_size, 1).finish();
  const std::size_t levels = depth + 1;
  using Run = typename RunStack<Position>::Run;
  using Entry = RecordEntry<Position>;

  const SymbolCodes codes(keys, n);

  // First pass: where each leaf's chains start (`levels`: it owns none).
  // Numbering turns them into offsets: the index of the leaf's node or
  // record at depth d is its offset + d (modulo 2^32, which the indices never
  // reach).
  std::vector<std::uint32_t> node_from(n, static_cast<std::uint32_t>(levels));
  std::vector<std::uint32_t> record_from(n, static_cast<std::uint32_t>(levels));
  scan_context_order(
      leaves, codes, levels,
      [&](std::size_t d, std::uint32_t, const Entry& entry) {
        record_from[entry.owner] = static_cast<std::uint32_t>(d);
      },
      [&](std::size_t d, const Run& run, Position) {
        if (d > 0) node_from[run.owner] = static_cast<std::uint32_t>(d);
      },
      [](std::size_t) {}, no_chain);

  // Creation order: the leaves by first position, each contributing its chains.
  std::uint64_t node_total = 1, record_total = 0;
  for_each_by_first(std::span<const Position>(leaves.first), [&](Position leaf) {
    if (node_from[leaf] < levels) {
      const std::uint32_t from = node_from[leaf];
      node_from[leaf] = static_cast<std::uint32_t>(node_total) - from;
      node_total += levels - from;
    }
    const std::uint32_t from = record_from[leaf];
    record_from[leaf] = static_cast<std::uint32_t>(record_total) - from;
    record_total += levels - from;
    if (node_total > MAX_RECORDS || record_total > MAX_RECORDS) throw CapacityExhausted{};
  });
  TrieWriter out(alphabet_size, depth, sample_size, static_cast<std::size_t>(node_total));
  out.resize(static_cast<std::size_t>(node_total - 1), static_cast<std::size_t>(record_total));

  // Second pass: each run that ends is a node, written whole at its index
  // with its lists: records and children were created in index order, and
  // each put at the front of its list in that order, so lists read newest
  // first. A node's parent is set when the parent's run ends.
  struct Child {
    NodeIndex node;
    Symbol symbol;
    bool operator<(const Child& other) const noexcept { return node < other.node; }
  };
  struct Record {
    OutcomeIndex index;
    Count count;
    Symbol symbol;
    bool operator<(const Record& other) const noexcept { return index < other.index; }
  };
  std::vector<Child> pending;  // nodes whose parent has not ended yet
  std::vector<std::size_t> child_mark(levels);
  std::vector<Record> node_records;
  scan_context_order(
      leaves, codes, levels,
      [&](std::size_t d, std::uint32_t code, const Entry& entry) {
        const Position owner = entry.owner;
        node_records.push_back(
            Record{OutcomeIndex(record_from[owner] + d), entry.count, codes.symbol(code)});
      },
      [&](std::size_t d, const Run& run, Position) {
        NodeIndex node = ROOT;
        Symbol symbol = NO_SYMBOL;
        if (d > 0) {
          node = NodeIndex(node_from[run.owner] + d);
          symbol = keys.context(run.start, d);
        }
        out.node(node, run.count, symbol, static_cast<Depth>(d));
        sort_small(std::span(node_records));
        for (const Record& r : node_records) out.place_outcome(r.index, node, r.symbol, r.count);
        const auto children = std::span(pending).subspan(child_mark[d]);
        sort_small(children);
        for (const Child& c : children)
          out.place_child(edge_made_with(c.node), node, c.symbol, c.node);
        out.close(node, children.size(), node_records.size());
        node_records.clear();
        pending.resize(child_mark[d]);
        if (d > 0) pending.push_back(Child{node, symbol});
      },
      [&](std::size_t d) { child_mark[d] = pending.size(); }, no_chain);
  return std::move(out).finish();
}

}  // namespace

template <class Position>
CountTrie count_by_sorting(const Rows& rows, std::size_t alphabet_size,
                           std::size_t conditioning_depth, std::size_t storage_depth,
                           SortStrategy strategy) {
  const Leaves<Position> leaves =
      sorted_leaves<Position>(rows, conditioning_depth, storage_depth, strategy);
  return rows.visit([&](auto symbols) {
    return assemble(RowKeys{symbols, std::span<const Position>(leaves.first)}, leaves,
                    alphabet_size, storage_depth, counted_positions(rows, conditioning_depth));
  });
}

CountTrie whole_trie(const KeyedLeaves& keyed, std::size_t alphabet_size, Count sample_size) {
  return with_front_keys(keyed, [&](const auto& keys) {
    return assemble(keys, keyed.leaves, alphabet_size, keyed.depth, sample_size);
  });
}

template CountTrie count_by_sorting<std::uint32_t>(const Rows&, std::size_t, std::size_t,
                                                   std::size_t, SortStrategy);
template CountTrie count_by_sorting<std::uint64_t>(const Rows&, std::size_t, std::size_t,
                                                   std::size_t, SortStrategy);

}  // namespace ostrel::detail

namespace ostrel {

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

}  // namespace ostrel
