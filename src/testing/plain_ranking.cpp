// FOR TESTING ONLY: the evidence and the ranking of trees over a whole trie,
// as written.
//
// The plain pass instead forms, at every node, every tuple that can be among
// the best k (a tuple has at least prod(rank + 1) - 1 tuples before it: all
// those it covers rank by rank) and sorts them.

#include "testing/plain_ranking.hpp"

#include <algorithm>
#include <map>
#include <span>
#include <utility>

#include "posterior/prior.hpp"
#include "selection/bct.hpp"

namespace ostrel::oracle {

namespace {

struct Tree {
  double value;
  bool leaf;
  // Per coordinate (0 the forest, then the children with data by ascending
  // symbol), or per slot of a forest.
  std::vector<std::uint32_t> ranks;
};
using Trees = std::vector<Tree>;

bool before(const Tree& a, const Tree& b) {
  if (a.value != b.value) return a.value > b.value;
  if (a.leaf != b.leaf) return a.leaf;
  for (std::size_t c = a.ranks.size(); c-- > 0;) {
    if (a.ranks[c] != b.ranks[c]) return a.ranks[c] < b.ranks[c];
  }
  return false;
}

void keep_best(Trees& trees, std::size_t k) {
  std::sort(trees.begin(), trees.end(), before);
  if (trees.size() > k) trees.resize(k);
}

// Calls f(ranks) for every tuple with ranks[c] < sizes[c] and
// prod(ranks[c] + 1) <= k.
template <class F>
void for_each_tuple(const std::vector<std::size_t>& sizes, std::size_t k, F&& f) {
  std::vector<std::uint32_t> ranks(sizes.size(), 0);
  auto fits = [&] {
    std::size_t product = 1;
    for (const std::uint32_t r : ranks) {
      if (product > k / (r + std::size_t{1})) return false;
      product *= r + std::size_t{1};
    }
    return true;
  };
  for (;;) {
    f(std::as_const(ranks));
    std::size_t c = 0;
    for (; c < ranks.size(); ++c) {
      ++ranks[c];
      if (ranks[c] < sizes[c] && fits()) break;
      ranks[c] = 0;
    }
    if (c == ranks.size()) return;
  }
}

class Ranking {
 public:
  Ranking(const CountTrie& trie, double beta, std::size_t k)
      : trie_(trie),
        prior_(beta),
        k_(k),
        alphabet_size_(trie.alphabet_size()),
        depth_(trie.storage_depth()),
        empty_(depth_ + 1) {
    for (std::size_t e = depth_ + 1; e-- > 0;) {
      Trees& trees = empty_[e];
      if (e == depth_) {
        trees.push_back(Tree{0.0, true, {}});
        continue;
      }
      trees.push_back(Tree{prior_.lb, true, {}});
      const Trees& below = forest(e + 1, alphabet_size_);
      for (std::uint32_t r = 0; r < below.size(); ++r) {
        trees.push_back(Tree{prior_.l1b + below[r].value, false, {r}});
      }
      keep_best(trees, k_);
    }
    bct::Rule rule(alphabet_size_, depth_, beta);
    std::vector<SymbolCount> present;
    nodes_.resize(trie.node_count());
    for (std::size_t i = trie.node_count(); i-- > 0;) {
      const NodeIndex index(i);
      const TrieNode& node = trie.node(index);
      sorted_outcomes(trie, index, present);
      const double e = rule.estimate(node.count, present);
      Trees& trees = nodes_[index];
      if (node.depth == depth_) {
        trees.push_back(Tree{e, true, {}});
        continue;
      }
      trees.push_back(Tree{prior_.lb + e, true, {}});
      const std::vector<NodeIndex> by_symbol = children_by_symbol(index);
      const std::size_t missing = alphabet_size_ - by_symbol.size();
      const Trees* rest = missing > 0 ? &forest(node.depth + 1, missing) : nullptr;
      std::vector<std::size_t> sizes{rest != nullptr ? rest->size() : 1};
      for (const NodeIndex child : by_symbol) sizes.push_back(nodes_[child].size());
      // The children in child-list order, each with its coordinate.
      std::vector<std::pair<NodeIndex, std::size_t>> summands;
      for (const ChildEdge& edge : trie.children(index)) {
        const auto at = std::find(by_symbol.begin(), by_symbol.end(), edge.child);
        summands.emplace_back(edge.child, static_cast<std::size_t>(at - by_symbol.begin()) + 1);
      }
      for_each_tuple(sizes, k_, [&](const std::vector<std::uint32_t>& ranks) {
        double value = prior_.l1b;
        for (const auto& [child, c] : summands) value = value + nodes_[child][ranks[c]].value;
        if (rest != nullptr) value = value + (*rest)[ranks[0]].value;
        trees.push_back(Tree{value, false, ranks});
      });
      keep_best(trees, k_);
    }
  }

  std::vector<bct::RankedTree> best() {
    std::vector<bct::RankedTree> result;
    for (std::uint32_t r = 0; r < nodes_[ROOT].size(); ++r) {
      result.push_back(contexts(r, nodes_[ROOT][r].value));
    }
    return result;
  }

 private:
  std::vector<NodeIndex> children_by_symbol(NodeIndex node) const {
    std::vector<NodeIndex> children;
    for (const ChildEdge& edge : trie_.children(node)) children.push_back(edge.child);
    std::sort(children.begin(), children.end(), [&](NodeIndex a, NodeIndex b) {
      return trie_.node(a).symbol < trie_.node(b).symbol;
    });
    return children;
  }

  // The best forests of `slots` subtrees without data at `depth`.
  const Trees& forest(std::size_t depth, std::size_t slots) {
    const auto key = std::make_pair(depth, slots);
    if (const auto found = forests_.find(key); found != forests_.end()) return found->second;
    const Trees& each = empty_[depth];
    const double u0 = each[0].value;
    Trees trees;
    for_each_tuple(std::vector<std::size_t>(slots, each.size()), k_,
                   [&](const std::vector<std::uint32_t>& ranks) {
                     double value = u0 * static_cast<double>(slots);
                     for (const std::uint32_t r : ranks) {
                       if (r > 0) value = value + (each[r].value - u0);
                     }
                     trees.push_back(Tree{value, false, ranks});
                   });
    keep_best(trees, k_);
    return forests_.emplace(key, std::move(trees)).first->second;
  }

  bct::RankedTree contexts(std::uint32_t rank, double value) {
    struct Item {
      bool empty;
      NodeIndex node;  // a trie node, unless `empty`
      std::uint32_t rank;
      std::size_t depth;
      Symbol symbol;
    };
    bct::ContextWriter writer(alphabet_size_);
    std::vector<Item> stack{Item{false, ROOT, rank, 0, NO_SYMBOL}};
    auto push_forest = [&](std::size_t depth, std::span<const Symbol> present, std::uint32_t r) {
      const std::size_t slots = alphabet_size_ - present.size();
      const Tree& chosen = forest(depth, slots)[r];
      std::size_t slot = 0;
      bct::for_each_missing(alphabet_size_, present, [&](Symbol s) {
        stack.push_back(Item{true, ROOT, chosen.ranks[slot++], depth, s});
      });
    };
    while (!stack.empty()) {
      const Item item = stack.back();
      stack.pop_back();
      writer.enter(item.depth, item.symbol);
      const Tree& tree = item.empty ? empty_[item.depth][item.rank] : nodes_[item.node][item.rank];
      if (tree.leaf) {
        writer.leaf();
        continue;
      }
      if (item.empty) {
        push_forest(item.depth + 1, {}, tree.ranks[0]);
        continue;
      }
      const std::vector<NodeIndex> by_symbol = children_by_symbol(item.node);
      std::vector<Symbol> present;
      for (std::size_t c = 0; c < by_symbol.size(); ++c) {
        present.push_back(trie_.node(by_symbol[c]).symbol);
        stack.push_back(Item{false, by_symbol[c], tree.ranks[c + 1], item.depth + 1,
                             trie_.node(by_symbol[c]).symbol});
      }
      if (present.size() < alphabet_size_) push_forest(item.depth + 1, present, tree.ranks[0]);
    }
    return writer.take(value);
  }

  const CountTrie& trie_;
  bct::BctPrior prior_;
  std::size_t k_;
  std::size_t alphabet_size_, depth_;
  std::vector<Trees> empty_;  // per depth: the best trees without data
  std::map<std::pair<std::size_t, std::size_t>, Trees> forests_;
  IndexVector<NodeIndex, Trees> nodes_;  // per trie node: its best trees
};

}  // namespace

double plain_log_evidence(const CountTrie& trie, double beta) {
  const std::size_t depth = trie.storage_depth();
  bct::Rule rule(trie.alphabet_size(), depth, beta);
  const bct::BctPrior prior(beta);
  IndexVector<NodeIndex, double> evidence(trie.node_count(), 0.0);
  std::vector<SymbolCount> present;
  for (std::size_t i = trie.node_count(); i-- > 0;) {
    const NodeIndex index(i);
    const TrieNode& node = trie.node(index);
    if (node.count == 0) continue;  // no data below: exactly log 1
    sorted_outcomes(trie, index, present);
    const double e = rule.estimate(node.count, present);
    if (node.depth == depth) {
      evidence[index] = e;
      continue;
    }
    double total = prior.l1b;
    for (const ChildEdge& edge : trie.children(index)) total = total + evidence[edge.child];
    evidence[index] = bct::log_add(prior.lb + e, total);
  }
  return evidence[ROOT];
}

std::vector<bct::RankedTree> plain_top_trees(const CountTrie& trie, double beta, std::size_t k) {
  if (k == 0) return {};
  return Ranking(trie, beta, k).best();
}

}  // namespace ostrel::oracle
