// Checking a tree given by its contexts and building its table.
//
// Read most recent symbol first, the contexts are paths from the root. Sorted,
// the leaves of a complete tree come in the order a depth-first walk that
// takes children by ascending symbol meets them, so each consecutive pair
// differs as two neighbouring leaves do: below the depth l where they part,
// the first is the last leaf of its subtree (every symbol m - 1), the second
// the first of the next sibling's (every symbol 0), and at l the second's
// symbol is the first's plus one. The first leaf is all zeros, the last all
// m - 1. A pair that breaks this shows the node that lacks a child.

#include "representation/context_tree.hpp"

#include <algorithm>
#include <numeric>
#include <span>

namespace ostrel {

namespace {

// "[a, b, c]": symbols oldest first.
std::string spelled(std::span<const Symbol> oldest_first) {
  std::string out = "[";
  for (std::size_t i = 0; i < oldest_first.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(oldest_first[i]);
  }
  return out + "]";
}

class Paths {
 public:
  explicit Paths(const Rows& contexts) {
    const std::size_t n = contexts.size();
    symbols_.resize(contexts.symbol_count());
    begin_.resize(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) begin_[i + 1] = begin_[i] + contexts.row_length(i);
    contexts.visit([&](auto all) {
      // Each context reversed: most recent symbol first.
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = begin_[i]; j < begin_[i + 1]; ++j) {
          symbols_[j] = static_cast<Symbol>(all[begin_[i + 1] - 1 - (j - begin_[i])]);
        }
      }
    });
  }
  std::span<const Symbol> path(std::size_t i) const {
    return std::span<const Symbol>(symbols_).subspan(begin_[i], begin_[i + 1] - begin_[i]);
  }
  // Context i, oldest symbol first.
  std::string context(std::size_t i) const {
    std::vector<Symbol> oldest(path(i).rbegin(), path(i).rend());
    return "contexts[" + std::to_string(i) + "] = " + spelled(oldest);
  }
  // The node of the first `depth` symbols of path i, oldest first.
  std::string node(std::size_t i, std::size_t depth) const {
    const auto p = path(i).first(depth);
    std::vector<Symbol> oldest(p.rbegin(), p.rend());
    return spelled(oldest);
  }

 private:
  std::vector<Symbol> symbols_;
  std::vector<std::size_t> begin_;
};

}  // namespace

std::expected<ContextTree, std::string> ContextTree::build(const Rows& contexts,
                                                           std::size_t alphabet_size,
                                                           std::size_t max_depth) {
  const std::size_t n = contexts.size(), m = alphabet_size;
  if (n == 0)
    return std::unexpected("contexts holds no context; the tree of the root alone is [[]]");
  const Paths paths(contexts);
  for (std::size_t i = 0; i < n; ++i) {
    const auto p = paths.path(i);
    if (p.size() > max_depth) {
      return std::unexpected(paths.context(i) + " is longer than max_depth " +
                             std::to_string(max_depth));
    }
    for (std::size_t j = p.size(); j-- > 0;) {
      if (p[j] >= m) {
        return std::unexpected(paths.context(i) + " holds symbol " + std::to_string(p[j]) +
                               ", outside 0.." + std::to_string(m));
      }
    }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const auto x = paths.path(a), y = paths.path(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  });
  auto lacks = [&](std::size_t i, std::size_t depth, Symbol s) {
    return std::unexpected(paths.context(i) + " lies below the node " + paths.node(i, depth) +
                           ", which is not a context and has no child for symbol " +
                           std::to_string(s) + ": such a node needs all " + std::to_string(m) +
                           " children");
  };
  {
    const auto p = paths.path(order[0]);
    for (std::size_t j = 0; j < p.size(); ++j) {
      if (p[j] != 0) return lacks(order[0], j, 0);
    }
  }
  for (std::size_t r = 0; r + 1 < n; ++r) {
    const std::size_t a = order[r], b = order[r + 1];
    const auto x = paths.path(a), y = paths.path(b);
    std::size_t l = 0;
    while (l < x.size() && l < y.size() && x[l] == y[l]) ++l;
    if (l == x.size() && l == y.size()) {
      const std::size_t later = std::max(a, b), earlier = std::min(a, b);
      return std::unexpected(paths.context(later) + " repeats contexts[" + std::to_string(earlier) +
                             "]");
    }
    if (l == x.size()) {
      return std::unexpected(paths.context(a) + " is a suffix of " + paths.context(b) +
                             ", so it is an inner node of the tree, not a context");
    }
    for (std::size_t j = l + 1; j < x.size(); ++j) {
      if (x[j] != m - 1) return lacks(a, j, x[j] + 1);
    }
    if (y[l] != x[l] + 1) return lacks(a, l, x[l] + 1);
    for (std::size_t j = l + 1; j < y.size(); ++j) {
      if (y[j] != 0) return lacks(b, j, 0);
    }
  }
  {
    const auto p = paths.path(order[n - 1]);
    for (std::size_t j = 0; j < p.size(); ++j) {
      if (p[j] != m - 1) return lacks(order[n - 1], j, p[j] + 1);
    }
  }

  // Complete: (n - 1) / (m - 1) inner nodes, met in preorder along the
  // sorted leaves.
  ContextTree tree;
  tree.alphabet_size_ = m;
  const std::size_t inner = (n - 1) / (m - 1);
  tree.children_.assign(inner * m, 0);
  tree.inner_depth_.reserve(inner);
  tree.inner_parent_.reserve(inner);
  tree.leaf_depth_.resize(n);
  tree.leaf_parent_.resize(n, 0);
  std::vector<std::size_t> path;  // inner nodes by depth on the current leaf's path
  for (std::size_t r = 0; r < n; ++r) {
    const auto p = paths.path(order[r]);
    tree.depth_ = std::max(tree.depth_, p.size());
    tree.leaf_depth_[r] = static_cast<Depth>(p.size());
    std::size_t l = 0;
    if (r != 0) {
      const auto q = paths.path(order[r - 1]);
      while (l < q.size() && l < p.size() && q[l] == p[l]) ++l;
      ++l;  // the inner nodes down to depth l exist
    }
    path.resize(std::min(l, p.size()));
    for (std::size_t d = path.size(); d < p.size(); ++d) {
      const std::size_t v = tree.inner_depth_.size();
      tree.inner_depth_.push_back(static_cast<Depth>(d));
      tree.inner_parent_.push_back(d > 0 ? path[d - 1] : 0);
      if (d > 0) tree.children_[path[d - 1] * m + p[d - 1]] = v;
      path.push_back(v);
    }
    if (!p.empty()) {
      tree.children_[path[p.size() - 1] * m + p.back()] = LEAF | r;
      tree.leaf_parent_[r] = path[p.size() - 1];
    }
  }
  if (tree.inner_depth_.size() != inner)
    throw InternalFault("context tree: inner nodes miscounted");
  return tree;
}

}  // namespace ostrel
