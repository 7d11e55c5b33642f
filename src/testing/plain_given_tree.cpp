// Fitting a given tree and reading contexts, by the rules as written.

#include "testing/plain_given_tree.hpp"

#include <set>
#include <stdexcept>

#include "fit/compact.hpp"
#include "testing/walking_builder.hpp"

namespace ostrel::oracle {

std::pair<CountTrie, std::vector<std::uint8_t>> plain_fit_given_tree(
    const Rows& rows, std::size_t alphabet_size, std::size_t depth,
    const std::vector<std::vector<Symbol>>& contexts) {
  auto built = from_rows_by_walking(rows, alphabet_size, depth, depth);
  if (!built) throw std::invalid_argument(built.error());
  CountTrie trie = std::move(*built);
  // The inner nodes: every proper suffix of a context, oldest symbol first.
  std::set<std::vector<Symbol>> inner;
  for (const auto& c : contexts) {
    for (std::size_t k = 1; k <= c.size(); ++k) inner.emplace(c.begin() + k, c.end());
  }
  std::vector<std::uint8_t> kept(trie.node_count(), 0), terminal(trie.node_count(), 0);
  std::vector<NodeIndex> stack{ROOT};
  while (!stack.empty()) {
    const NodeIndex node = stack.back();
    stack.pop_back();
    if (kept.size() < trie.node_count()) {
      kept.resize(trie.node_count(), 0);
      terminal.resize(trie.node_count(), 0);
    }
    kept[node.value()] = 1;
    if (inner.count(context(trie, node)) == 0) {
      terminal[node.value()] = 1;
      continue;
    }
    for (Symbol s = 0; s < alphabet_size; ++s) {
      auto child = trie.get_or_create_child(node, s);
      if (!child) throw std::invalid_argument(child.error());
      stack.push_back(*child);
    }
  }
  kept.resize(trie.node_count(), 0);
  terminal.resize(trie.node_count(), 0);
  return compact(std::move(trie), kept, terminal);
}

std::map<std::vector<Symbol>, std::vector<Count>> plain_context_counts(const Rows& rows,
                                                                       std::size_t alphabet_size,
                                                                       std::size_t depth,
                                                                       std::size_t length) {
  std::map<std::vector<Symbol>, std::vector<Count>> out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t t = depth; t < rows.row_length(r); ++t) {
      std::vector<Symbol> c;
      for (std::size_t d = length; d > 0; --d) c.push_back(rows.symbol(r, t - d));
      auto& counts = out[c];
      counts.resize(alphabet_size, 0);
      ++counts[rows.symbol(r, t)];
    }
  }
  return out;
}

}  // namespace ostrel::oracle
