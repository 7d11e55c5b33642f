// Building the chain of fitted models' contexts. One pass over each model's
// trie, one over the tree of internal strings (which only grows at its end,
// parents before children) and one over its leaves: linear in the chain.

#include "model/chain.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

namespace {

constexpr std::uint32_t NONE = ~std::uint32_t{0};
// An entry of the tree's child table that is a leaf: its state in the low bits.
constexpr std::uint32_t LEAF = std::uint32_t{1} << 31;
// A model node below which the walk's answers differ.
constexpr NodeIndex MIXED{NoIndex::VALUE - 1};

// What one model answers: `own[n]` when the walk ends at node n (the deepest
// context on its path, or n when there is none), `merged[n]` for every
// history whose walk passes through n, or MIXED. Where it is not MIXED,
// merged[n] is own[n]: nodes below different children of n differ, so only
// an answer from n's path can be common to all of them.
struct Answers {
  IndexVector<NodeIndex, NodeIndex> own;
  IndexVector<NodeIndex, NodeIndex> merged;
};

bool expands(const CountTrie& trie, NodeIndex n) {
  return trie.node(n).first_child.has_value() && trie.node(n).depth < trie.storage_depth();
}

Answers answers_of(const ChainModel& model) {
  const CountTrie& trie = model.trie;
  const std::size_t nodes = trie.node_count();
  auto is_context = [&](NodeIndex n) {
    return n.value() < model.terminal.size() && model.terminal[n.value()] == 1;
  };
  Answers out{IndexVector<NodeIndex, NodeIndex>(nodes), IndexVector<NodeIndex, NodeIndex>(nodes)};
  // Parents precede children: the deepest context on the path, top down.
  IndexVector<NodeIndex, NodeIndex> deepest(nodes, NO_INDEX);
  for (const NodeIndex n : trie.nodes().indices()) {
    if (is_context(n)) {
      deepest[n] = n;
    } else if (n != ROOT) {
      deepest[n] = deepest[trie.node(n).parent];
    }
    out.own[n] = deepest[n].has_value() ? deepest[n] : n;
  }
  // Bottom up: a node whose walk goes on answers as its children do, and as
  // itself for the symbols it has no child for.
  for (const NodeIndex n : trie.nodes().indices()) {
    std::size_t children = 0;
    if (expands(trie, n)) {
      for (auto it = trie.children(n).begin(); it != trie.children(n).end(); ++it) ++children;
    }
    out.merged[n] = children < trie.alphabet_size() ? out.own[n] : NodeIndex(NO_INDEX);
  }
  // Children follow their parents: from the last node back.
  for (std::size_t i = nodes; i-- > 1;) {
    const NodeIndex n(i);
    const NodeIndex parent = trie.node(n).parent;
    if (!expands(trie, parent)) continue;
    NodeIndex& at = out.merged[parent];
    if (!at.has_value()) {
      at = out.merged[n];
    } else if (at != out.merged[n]) {
      at = MIXED;
    }
  }
  return out;
}

// The internal nodes of the union tree, in a dense child table.
class StringTree {
 public:
  explicit StringTree(std::size_t alphabet) : alphabet_(alphabet) {}

  std::size_t size() const noexcept { return parent_.size(); }
  std::uint32_t& child(std::uint32_t node, Symbol s) { return child_[node * alphabet_ + s]; }
  std::uint32_t parent(std::uint32_t node) const { return parent_[node]; }
  Symbol symbol(std::uint32_t node) const { return symbol_[node]; }

  // A new internal node: the root when `parent` is NONE.
  std::uint32_t add(std::uint32_t parent, Symbol s) {
    if (size() + 1 > CHAIN_LIMIT / alphabet_) throw ChainTooLarge();
    const auto node = static_cast<std::uint32_t>(size());
    child_.resize(child_.size() + alphabet_, NONE);
    parent_.push_back(parent);
    symbol_.push_back(s);
    if (parent != NONE) child(parent, s) = node;
    return node;
  }

  // The internal child of `node` for `s`, made when missing.
  std::uint32_t descend(std::uint32_t node, Symbol s) {
    const std::uint32_t at = child(node, s);
    return at != NONE ? at : add(node, s);
  }

 private:
  std::size_t alphabet_;
  std::vector<std::uint32_t> child_;
  std::vector<std::uint32_t> parent_;
  std::vector<Symbol> symbol_;
};

// Where a model's walk stands after the symbols of a tree node.
struct Walked {
  NodeIndex reached;
  bool stopped;
};

Walked step(const CountTrie& trie, Walked at, Symbol s) {
  if (at.stopped || !expands(trie, at.reached)) return Walked{at.reached, true};
  const NodeIndex child = trie.find_child(at.reached, s);
  if (!child.has_value()) return Walked{at.reached, true};
  return Walked{child, false};
}

NodeIndex answer_at(const Answers& answers, Walked at) {
  if (!at.stopped && answers.merged[at.reached] == MIXED) {
    throw InternalFault("a chain state answers from no one node");
  }
  return answers.own[at.reached];
}

}  // namespace

ContextChain build_chain(std::span<const ChainModel> models) {
  if (models.empty()) throw InternalFault("a chain needs a model");
  const std::size_t alphabet = models[0].trie.alphabet_size();
  std::vector<Answers> answers;
  for (const ChainModel& model : models) answers.push_back(answers_of(model));

  // Every model's internal nodes whose leaves answer differently.
  StringTree tree(alphabet);
  for (std::size_t m = 0; m < models.size(); ++m) {
    const CountTrie& trie = models[m].trie;
    IndexVector<NodeIndex, std::uint32_t> in_tree(trie.node_count(), NONE);
    for (const NodeIndex n : trie.nodes().indices()) {
      if (answers[m].merged[n] != MIXED) continue;
      if (n == ROOT) {
        in_tree[n] = tree.size() == 0 ? tree.add(NONE, 0) : 0;
      } else {
        // A mixed node's parent is mixed, and so in the tree.
        in_tree[n] = tree.descend(in_tree[trie.node(n).parent], trie.node(n).symbol);
      }
    }
  }
  // Closed under dropping the newest symbol: the node of a string less its
  // newest symbol is that of its parent less its newest symbol, extended by
  // the string's oldest symbol. Nodes made here are visited in turn.
  std::vector<std::uint32_t> shorter;
  for (std::uint32_t u = 0; u < tree.size(); ++u) {
    const std::uint32_t parent = tree.parent(u);
    std::uint32_t to = NONE;
    if (parent == 0) {
      to = 0;
    } else if (parent != NONE) {
      to = tree.descend(shorter[parent], tree.symbol(u));
    }
    shorter.push_back(to);
  }

  ContextChain chain;
  chain.alphabet_size = alphabet;
  const std::size_t internal = tree.size();
  chain.states = internal == 0 ? 1 : (alphabet - 1) * internal + 1;
  if (chain.states > CHAIN_LIMIT / alphabet) throw ChainTooLarge();
  chain.answers.assign(models.size(), std::vector<NodeIndex>(chain.states));
  chain.next.assign(chain.states * alphabet, 0);
  if (internal == 0) {
    // One state: every model answers from one node after every history.
    for (std::size_t m = 0; m < models.size(); ++m) {
      chain.answers[m][0] = answer_at(answers[m], Walked{ROOT, false});
    }
    return chain;
  }

  // The leaves, numbered in node and symbol order, and every model's walk
  // to them.
  std::vector<std::vector<Walked>> walks(models.size(), std::vector<Walked>(internal));
  std::uint32_t state = 0;
  for (std::uint32_t u = 0; u < internal; ++u) {
    for (std::size_t m = 0; m < models.size(); ++m) {
      walks[m][u] = u == 0 ? Walked{ROOT, false}
                           : step(models[m].trie, walks[m][tree.parent(u)], tree.symbol(u));
    }
    for (Symbol s = 0; s < alphabet; ++s) {
      std::uint32_t& entry = tree.child(u, s);
      if (entry != NONE) continue;
      for (std::size_t m = 0; m < models.size(); ++m) {
        chain.answers[m][state] = answer_at(answers[m], step(models[m].trie, walks[m][u], s));
      }
      entry = LEAF | state++;
    }
  }
  if (state != chain.states) throw InternalFault("the chain's leaves miscounted");

  // reach[u * A + s]: the entry reached by walking the string of u followed
  // by s; for u = a + p (a its oldest symbol) it is the walk of p + s, and
  // one more step by a when that ends at an internal node.
  std::vector<std::uint32_t> reach(internal * alphabet);
  for (std::uint32_t u = 0; u < internal; ++u) {
    for (Symbol s = 0; s < alphabet; ++s) {
      std::uint32_t at = tree.child(0, s);
      if (u != 0) {
        at = reach[tree.parent(u) * alphabet + s];
        if ((at & LEAF) == 0) at = tree.child(at, tree.symbol(u));
      }
      reach[u * alphabet + s] = at;
    }
  }
  for (std::uint32_t u = 0; u < internal; ++u) {
    for (Symbol a = 0; a < alphabet; ++a) {
      const std::uint32_t leaf = tree.child(u, a);
      if ((leaf & LEAF) == 0) continue;
      for (Symbol s = 0; s < alphabet; ++s) {
        std::uint32_t at = reach[u * alphabet + s];
        if ((at & LEAF) == 0) at = tree.child(at, a);
        if ((at & LEAF) == 0) throw InternalFault("a chain state does not fix the next one");
        chain.next[static_cast<std::size_t>(leaf & ~LEAF) * alphabet + s] = at & ~LEAF;
      }
    }
  }
  return chain;
}

}  // namespace ostrel
