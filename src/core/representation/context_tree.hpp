#pragma once
// A complete context tree given by its contexts, oldest symbol first (as the
// model's context list and the ranked trees give them), checked and held as
// a dense table: every inner node has all m children, so its children are one
// row of m entries, and the table has about as many entries as the tree has
// nodes. Inner nodes are numbered in preorder (a parent before its children);
// leaves in context order (their contexts read most recent first, ascending),
// which is the order of the counts' keys, so the keys whose context ends in
// one leaf are a run of them.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "base/types.hpp"
#include "representation/rows.hpp"

namespace ostrel {

class ContextTree {
 public:
  // A child entry: an inner node's index, or LEAF | a leaf's index.
  static constexpr std::uint64_t LEAF = std::uint64_t{1} << 63;

  // The tree whose leaves are `contexts` (each a row), over 0 .. alphabet_size
  // - 1, none longer than max_depth. Fails with a message naming a context
  // that is wrong: the first, in the order given, that is too long or holds a
  // symbol outside the alphabet; else, in context order, one that repeats
  // another, is a suffix of another (so an inner node, not a leaf), or lies
  // below an inner node that lacks one of its m children. The rows hold at
  // least one context.
  static std::expected<ContextTree, std::string> build(const Rows& contexts,
                                                       std::size_t alphabet_size,
                                                       std::size_t max_depth);

  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  // The longest context's length.
  std::size_t depth() const noexcept { return depth_; }
  std::size_t inner_count() const noexcept { return inner_depth_.size(); }
  std::size_t leaf_count() const noexcept { return leaf_depth_.size(); }
  // The tree of the root alone.
  bool root_is_leaf() const noexcept { return inner_depth_.empty(); }
  // The entry of inner node `v`'s child for symbol `s`.
  std::uint64_t child(std::size_t v, Symbol s) const noexcept {
    return children_[v * alphabet_size_ + s];
  }
  std::size_t leaf_depth(std::size_t leaf) const noexcept { return leaf_depth_[leaf]; }
  std::size_t inner_depth(std::size_t v) const noexcept { return inner_depth_[v]; }
  // The inner node at `depth` (below the leaf's depth) on the path to `leaf`.
  std::size_t ancestor(std::size_t leaf, std::size_t depth) const noexcept {
    std::size_t v = leaf_parent_[leaf];
    while (inner_depth_[v] > depth) v = inner_parent_[v];
    return v;
  }

 private:
  std::size_t alphabet_size_ = 0;
  std::size_t depth_ = 0;
  std::vector<std::uint64_t> children_;  // inner node after inner node, m entries each
  std::vector<Depth> inner_depth_;
  std::vector<std::size_t> inner_parent_;  // the root's is 0
  std::vector<Depth> leaf_depth_;
  std::vector<std::size_t> leaf_parent_;  // the root leaf's is 0
};

// Follows keys in context order down the tree to the leaf each key's context
// ends in. For key after key: `shared`, the context symbols it shares with
// the key before (ignored for the first), and `context(d)`, its context
// symbol d, asked only for d > shared (what a front-coded key stores).
class LeafWalk {
 public:
  explicit LeafWalk(const ContextTree& tree) : tree_(tree), path_(tree.depth() + 1, 0) {}

  template <class Context>
  std::size_t next(std::size_t shared, Context&& context) {
    if (tree_.root_is_leaf()) return 0;
    if (started_ && shared >= leaf_depth_) return leaf_;
    std::size_t d = started_ ? shared : 0;
    started_ = true;
    for (;;) {
      const std::uint64_t entry = tree_.child(path_[d], context(d + 1));
      ++d;
      if ((entry & ContextTree::LEAF) != 0) {
        leaf_ = static_cast<std::size_t>(entry & ~ContextTree::LEAF);
        leaf_depth_ = d;
        return leaf_;
      }
      path_[d] = static_cast<std::size_t>(entry);
    }
  }

  // The inner nodes on the last key's path, by depth (below its leaf's depth).
  std::size_t inner_at(std::size_t depth) const noexcept { return path_[depth]; }

 private:
  const ContextTree& tree_;
  std::vector<std::size_t> path_;  // path_[d]: the inner node at depth d
  std::size_t leaf_ = 0;
  std::size_t leaf_depth_ = 0;
  bool started_ = false;
};

}  // namespace ostrel
