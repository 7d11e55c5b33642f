// Reading and cutting front-coded keys.

#include "representation/leaves.hpp"

#include <algorithm>

namespace ostrel::detail {

std::vector<std::size_t> suffix_starts(const KeyedLeaves& keyed) {
  std::vector<std::size_t> begin(keyed.size() + 1, 0);
  for (std::size_t i = 0; i < keyed.size(); ++i) begin[i + 1] = begin[i] + keyed.stored(i);
  return begin;
}

KeyedLeaves truncated(const KeyedLeaves& keyed, std::size_t depth) {
  if (depth > keyed.depth) throw InternalFault("truncated: deeper than the keys");
  KeyedLeaves out;
  out.depth = depth;
  const std::size_t width = keyed.depth + 1;
  std::vector<Symbol> key(width);
  // The leaves of one context of `depth` symbols: contiguous in context
  // order, and ordered by their own symbol once sorted.
  struct Item {
    Symbol own;
    Count count;
    std::uint64_t first;
  };
  std::vector<Item> group;
  std::size_t group_shared = 0;  // what the group's context shares with the previous one's
  auto flush = [&] {
    std::sort(group.begin(), group.end(),
              [](const Item& a, const Item& b) { return a.own < b.own; });
    for (std::size_t j = 0; j < group.size();) {
      const bool opening = j == 0;
      Item item = group[j];
      for (++j; j < group.size() && group[j].own == item.own; ++j) {
        item.count += group[j].count;
        item.first = std::min(item.first, group[j].first);
      }
      // The group's first key shares with the previous group's what their
      // contexts share; the others differ only in their own symbol.
      const std::size_t shared = opening ? group_shared : depth;
      out.leaves.add(item.first, item.count, shared);
      if (shared < depth) {
        out.suffixes.append(std::span<const Symbol>(key).subspan(shared, depth - shared));
      }
      out.suffixes.push_back(item.own);
    }
    group.clear();
  };
  keyed.suffixes.visit([&](auto suffixes) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < keyed.size(); ++i) {
      const std::size_t shared = keyed.leaves.shared[i];
      if (i > 0 && shared < depth) {
        flush();  // the key still holds the finished group's context
        group_shared = shared;
      }
      const std::size_t stored = keyed.stored(i);
      std::copy_n(suffixes.begin() + static_cast<std::ptrdiff_t>(at), stored,
                  key.begin() + static_cast<std::ptrdiff_t>(shared));
      at += stored;
      group.push_back(Item{key[keyed.depth], keyed.leaves.count[i], keyed.leaves.first[i]});
    }
  });
  if (!group.empty()) flush();
  return out;
}

}  // namespace ostrel::detail
