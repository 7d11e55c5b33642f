// Writing a tree's contexts in the model's order.

#include "posterior/tree_contexts.hpp"

#include <bit>
#include <numeric>

namespace ostrel::bct {

RankedTree ContextWriter::take(double log_value) {
  RankedTree tree{{}, {}, log_value};
  std::size_t total = 0, contexts = 0;
  for (const Group& group : by_length_) total += group.symbols.size(), contexts += group.count;
  tree.symbols.resize(total);
  tree.ends.reserve(contexts);
  Symbol* out = tree.symbols.data();
  std::vector<std::uint64_t> words;
  std::vector<std::size_t> order;
  for (std::size_t d = 0; d < by_length_.size(); ++d) {
    const Group& group = by_length_[d];
    const Symbol* records = group.symbols.data();
    const auto emit = [&](std::size_t i) {
      out = std::copy(records + i * d, records + i * d + d, out);
      tree.ends.push_back(static_cast<std::size_t>(out - tree.symbols.data()));
    };
    const unsigned place_bits = static_cast<unsigned>(std::bit_width(group.count));
    if (d * bits_ + place_bits <= 64) {
      words.resize(group.count);
      for (std::size_t i = 0; i < group.count; ++i) {
        std::uint64_t key = 0;
        for (std::size_t p = 0; p < d; ++p) key = key << bits_ | records[i * d + p];
        words[i] = key << place_bits | i;
      }
      std::sort(words.begin(), words.end());
      const std::uint64_t mask = (std::uint64_t{1} << place_bits) - 1;
      for (const std::uint64_t word : words) emit(static_cast<std::size_t>(word & mask));
    } else {
      order.resize(group.count);
      std::iota(order.begin(), order.end(), std::size_t{0});
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::lexicographical_compare(records + a * d, records + a * d + d, records + b * d,
                                            records + b * d + d);
      });
      for (const std::size_t i : order) emit(i);
    }
  }
  by_length_.clear();
  contexts_ = 0;
  return tree;
}

std::vector<std::vector<Symbol>> RankedTree::contexts() const {
  std::vector<std::vector<Symbol>> lists;
  lists.reserve(ends.size());
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    lists.emplace_back(symbols.begin() + static_cast<std::ptrdiff_t>(begin),
                       symbols.begin() + static_cast<std::ptrdiff_t>(end));
    begin = end;
  }
  return lists;
}

}  // namespace ostrel::bct
