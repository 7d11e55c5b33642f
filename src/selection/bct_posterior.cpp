// The evidence and the best trees of the BCT model, over a whole count trie
// (the plain passes) and from the sorted leaves (one scan each).
//
// Ranking trees. Every tree of a node is a leaf or a split, and a split is a
// choice of one tree for each child with data and one forest for the children
// without: a tuple of ranks, one per coordinate (coordinate 0 the forest, then
// the children with data by ascending symbol). A split's value is a sum of its
// coordinates' values, and a sum of doubles never decreases when a summand
// grows, so lowering any rank never lowers the value. Each tuple other than
// all zeros has one parent, the tuple with its first nonzero rank one lower,
// which is no worse and comes first among equal values (the order compares
// ranks, smaller first). Popping tuples best first from a heap that starts
// with the all-zero tuple and receives each popped tuple's children (the
// tuples that raise a coordinate at or below its first nonzero one) therefore
// meets every tuple, in order. A forest's slots share one list of trees
// without data, so the children that raise a slot below the first nonzero one
// all have the same value; one heap item stands for them, lowest slot first.
//
// The plain pass instead forms, at every node, every tuple that can be among
// the best k (a tuple has at least prod(rank + 1) - 1 tuples before it: all
// those it covers rank by rank) and sorts them.

#include "selection/bct_posterior.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <numeric>
#include <span>
#include <unordered_map>
#include <utility>

#include "selection/bct.hpp"
#include "selection/selection.hpp"

namespace ostrel::bct {

namespace {

// ln(e^a + e^b) without overflow: the larger plus the log of one plus the
// ratio.
double log_add(double a, double b) {
  const double hi = a < b ? b : a;
  const double lo = a < b ? a : b;
  return hi + std::log1p(std::exp(lo - hi));
}

struct Prior {
  double lb, l1b;
  explicit Prior(double beta) : lb(std::log(beta)), l1b(std::log1p(-beta)) {}
};

// The contexts of one tree, walked without recursion, then put in the order
// of the model's context list. `path[d - 1]` is the symbol at depth d of the
// node being visited, so a context, oldest first, is the path read backwards.
// Contexts are kept in one flat array per length and sorted there: as packed
// words (the oldest symbol highest, the context's place lowest) when they fit
// 64 bits, by comparison otherwise.
class ContextWriter {
 public:
  explicit ContextWriter(std::size_t alphabet_size)
      : bits_(static_cast<unsigned>(std::bit_width(alphabet_size - 1))) {}

  // Enters a node at `depth` whose edge carries `symbol` (ignored at the root).
  void enter(std::size_t depth, Symbol symbol) {
    path_.resize(depth == 0 ? 0 : depth - 1);
    if (depth > 0) path_.push_back(symbol);
  }
  void leaf() {
    const std::size_t d = path_.size();
    if (by_length_.size() <= d) by_length_.resize(d + 1);
    by_length_[d].symbols.insert(by_length_[d].symbols.end(), path_.rbegin(), path_.rend());
    ++by_length_[d].count;
    ++contexts_;
  }
  // Contexts written so far.
  std::size_t contexts() const noexcept { return contexts_; }

  RankedTree take(double log_value) {
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

 private:
  struct Group {
    std::vector<Symbol> symbols;  // `count` contexts of one length, back to back
    std::size_t count = 0;
  };
  unsigned bits_;  // per packed symbol
  std::vector<Symbol> path_;
  std::vector<Group> by_length_;
  std::size_t contexts_ = 0;
};

// The symbols of 0 .. m - 1 missing from `present` (ascending), in order.
template <class F>
void for_each_missing(std::size_t alphabet_size, std::span<const Symbol> present, F&& f) {
  std::size_t j = 0;
  for (Symbol s = 0; s < alphabet_size; ++s) {
    if (j < present.size() && present[j] == s) {
      ++j;
    } else {
      f(s);
    }
  }
}

// ---------------------------------------------------------------------------
// Evidence from the sorted leaves.

template <class Position>
class EvidenceScan {
 public:
  using Value = double;
  using Run = typename detail::RunStack<Position>::Run;

  EvidenceScan(std::size_t alphabet_size, std::size_t depth, double beta)
      : rule_(alphabet_size, depth, beta), prior_(beta), depth_(depth) {}

  double node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
              std::span<const Position>,
              std::span<const detail::ChildValue<Position, double>> children) {
    double total = prior_.l1b;
    for (const auto& child : children) total = total + child.value;
    const double value = combine(rule_.estimate(run.count, outcomes), depth, total);
    if (depth == 0) root_ = value;
    return value;
  }

  // The root's value, once the scan is over.
  double root() const noexcept { return root_; }

  // A chain's values depend only on its leaf estimate and the depths, so they
  // are worked out once per estimate (bit for bit), from the deepest up.
  double chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome, Position) {
    const double e = rule_.estimate(run.count, std::span<const SymbolCount>(&outcome, 1));
    if (chain_value_.size() != levels || std::bit_cast<std::uint64_t>(e) != chain_leaf_) {
      chain_leaf_ = std::bit_cast<std::uint64_t>(e);
      chain_value_.assign(levels, 0.0);
      chain_from_ = levels;
    }
    for (; chain_from_ > top; --chain_from_) {
      const std::size_t d = chain_from_ - 1;
      chain_value_[d] =
          combine(e, d, d + 1 == levels ? prior_.l1b : prior_.l1b + chain_value_[d + 1]);
    }
    if (top == 0) root_ = chain_value_[0];
    return chain_value_[top];
  }

 private:
  double combine(double e, std::size_t depth, double split) const {
    if (depth == depth_) return e;
    if (depth > depth_) throw InternalFault("bct evidence: node below the storage depth");
    return log_add(prior_.lb + e, split);
  }

  Rule rule_;
  Prior prior_;
  std::size_t depth_;
  double root_ = 0.0;
  std::uint64_t chain_leaf_ = 0;
  std::size_t chain_from_ = 0;
  std::vector<double> chain_value_;
};

// ---------------------------------------------------------------------------
// The plain ranking over a whole count trie.

namespace plain {

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
    Rule rule(alphabet_size_, depth_, beta);
    std::vector<SymbolCount> present;
    nodes_.resize(trie.node_count());
    for (std::size_t i = trie.node_count(); i-- > 0;) {
      const auto index = static_cast<NodeIndex>(i);
      const TrieNode& node = trie.node(index);
      sorted_outcomes(trie, index, present);
      const double e = rule.estimate(node.count, present);
      Trees& trees = nodes_[i];
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

  std::vector<RankedTree> best() {
    std::vector<RankedTree> result;
    for (std::uint32_t r = 0; r < nodes_[0].size(); ++r) {
      result.push_back(contexts(r, nodes_[0][r].value));
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

  RankedTree contexts(std::uint32_t rank, double value) {
    struct Item {
      bool empty;
      NodeIndex node;  // a trie node, unless `empty`
      std::uint32_t rank;
      std::size_t depth;
      Symbol symbol;
    };
    ContextWriter writer(alphabet_size_);
    std::vector<Item> stack{Item{false, 0, rank, 0, NO_SYMBOL}};
    auto push_forest = [&](std::size_t depth, std::span<const Symbol> present, std::uint32_t r) {
      const std::size_t slots = alphabet_size_ - present.size();
      const Tree& chosen = forest(depth, slots)[r];
      std::size_t slot = 0;
      for_each_missing(alphabet_size_, present, [&](Symbol s) {
        stack.push_back(Item{true, 0, chosen.ranks[slot++], depth, s});
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
  Prior prior_;
  std::size_t k_;
  std::size_t alphabet_size_, depth_;
  std::vector<Trees> empty_;  // per depth: the best trees without data
  std::map<std::pair<std::size_t, std::size_t>, Trees> forests_;
  std::vector<Trees> nodes_;  // per trie node: its best trees
};

}  // namespace plain

// ---------------------------------------------------------------------------
// From the sorted leaves: each node's best value, then the lazy ranking.

constexpr std::uint32_t NO_LIST = ~std::uint32_t{0};

// A node with data, as the ranking needs it; or the top of a chain of
// single-leaf nodes, which stands for the chain down to D.
struct ScoredNode {
  double leaf;                // its value as a leaf: lb + E above D, E at D
  double best;                // the value of its best tree, bct's maximal value
  std::uint64_t key;          // the leaf at which its run starts: where its symbol comes from
  std::uint32_t first_child;  // its children, in child-list order, in ScoredTrie::children
  std::uint32_t child_count;
  std::uint32_t chain;  // a chain's top: its values in ScoredTrie::chains; otherwise NO_LIST
  Depth depth;
};

// The nodes of the single-leaf chains whose leaf has the estimate `e`: each
// holds that leaf's counts alone, so its values depend on its depth only.
struct ChainValues {
  double e;
  std::vector<double> best;  // best[D - d]: the best value of such a node at depth d
};

struct ScoredTrie {
  std::vector<ScoredNode> nodes;  // postorder: the root last
  std::vector<std::uint32_t> children;
  std::vector<ChainValues> chains;
};

template <class Position>
class ScoreScan {
 public:
  struct Value {
    double best;
    std::uint32_t id;
  };
  using Run = typename detail::RunStack<Position>::Run;

  ScoreScan(std::size_t alphabet_size, std::size_t depth, double beta, ScoredTrie& out)
      : rule_(alphabet_size, depth, beta), lb_(std::log(beta)), depth_(depth), out_(out) {}

  Value node(std::size_t, std::size_t depth, const Run& run, std::span<const SymbolCount> outcomes,
             std::span<const Position>,
             std::span<const detail::ChildValue<Position, Value>> children) {
    const double e = rule_.estimate(run.count, outcomes);
    double total = rule_.split_base();
    for (const auto& child : children) total = total + child.value.best;
    const NodeDecision decision = rule_.decide(e, depth, total, children.size());
    const std::uint32_t id = add(ScoredNode{
        depth == depth_ ? e : lb_ + e, decision.value, run.start,
        static_cast<std::uint32_t>(out_.children.size()),
        static_cast<std::uint32_t>(children.size()), NO_LIST, static_cast<Depth>(depth)});
    for (const auto& child : children) out_.children.push_back(child.value.id);
    return {decision.value, id};
  }

  // One record for the chain; its nodes' values, decided from the deepest up
  // as node() decides them, are kept once per leaf estimate (bit for bit).
  Value chain(std::size_t top, std::size_t levels, const Run& run, SymbolCount outcome, Position) {
    const double e = rule_.estimate(run.count, std::span<const SymbolCount>(&outcome, 1));
    const auto [at, added] = chain_index_.try_emplace(
        std::bit_cast<std::uint64_t>(e), static_cast<std::uint32_t>(out_.chains.size()));
    if (added) out_.chains.push_back(ChainValues{e, {}});
    std::vector<double>& best = out_.chains[at->second].best;
    while (best.size() < levels - top) {
      const std::size_t d = depth_ - best.size();
      best.push_back(best.empty() ? rule_.decide(e, d, rule_.split_base(), 0).value
                                  : rule_.decide(e, d, rule_.split_base() + best.back(), 1).value);
    }
    const double value = best[depth_ - top];
    const std::uint32_t id = add(ScoredNode{top == depth_ ? e : lb_ + e, value, run.start, 0, 0,
                                            at->second, static_cast<Depth>(top)});
    return {value, id};
  }

 private:
  std::uint32_t add(const ScoredNode& node) {
    if (out_.nodes.size() >= MAX_RECORDS) throw CapacityExhausted{};
    out_.nodes.push_back(node);
    return static_cast<std::uint32_t>(out_.nodes.size() - 1);
  }

  Rule rule_;
  double lb_;
  std::size_t depth_;
  ScoredTrie& out_;
  std::unordered_map<std::uint64_t, std::uint32_t> chain_index_;  // estimate bits -> chain values
};

// The best-first ranking over scored nodes. Each list holds the trees of one
// node with data (the nodes of chains with one leaf estimate and one depth
// share theirs), of a subtree without data at one depth, or of a forest of
// such subtrees, best first; it finds them only as far as asked, and asks its
// coordinates for their further trees only when it needs them. The requests
// go on an explicit stack, so no depth bounds the recursion.
class LazyRanking {
 public:
  LazyRanking(const ScoredTrie& trie, const KeySymbol& key_symbol, std::size_t alphabet_size,
              std::size_t depth, double beta)
      : trie_(trie),
        key_symbol_(key_symbol),
        alphabet_size_(alphabet_size),
        depth_(depth),
        prior_(beta),
        node_lists_(trie.nodes.size(), NO_LIST),
        node_symbols_(trie.nodes.size(), NO_SYMBOL),
        empty_lists_(depth + 1, NO_LIST),
        empty_best_(depth + 1, 0.0) {
    // The best tree without data at each depth: bct's table of empty subtrees.
    const double m = static_cast<double>(alphabet_size);
    for (std::size_t e = depth; e-- > 0;) {
      const double split = prior_.l1b + empty_best_[e + 1] * m;
      empty_best_[e] = split > prior_.lb ? split : prior_.lb;
    }
  }

  std::vector<RankedTree> best(std::size_t k) {
    const std::uint32_t root = trie_.nodes.empty()
                                   ? empty_list(0)
                                   : node_list(static_cast<std::uint32_t>(trie_.nodes.size() - 1));
    std::vector<RankedTree> result;
    const std::size_t wanted = std::min<std::size_t>(k, std::numeric_limits<std::uint32_t>::max());
    for (std::uint32_t r = 0; r < wanted && ensure(root, r); ++r) {
      result.push_back(contexts(r, lists_[root].entries[r].value));
    }
    return result;
  }

 private:
  struct RankPair {
    std::uint32_t at;  // coordinate or slot
    std::uint32_t rank;
  };

  // A tree of a list, or a candidate for its next tree.
  struct Ranked {
    double value;
    std::uint32_t begin, size;  // its nonzero ranks in the list's pool, ascending `at`
    std::uint32_t until;        // a forest candidate: also stands for the slots up to this one
    bool leaf;
  };

  // A child with data of a node.
  struct Child {
    double best;
    std::uint32_t node;   // its scored node; NO_LIST below a chain's top
    std::uint32_t chain;  // a chain's node: its chain values; otherwise NO_LIST
    std::uint32_t depth;
    std::uint32_t list;  // its list, once made
  };

  enum class Kind : std::uint8_t { Node, Forest };

  struct List {
    Kind kind = Kind::Node;
    bool splittable = false;  // a node above D
    bool started = false, pending = false, done = false;
    std::size_t depth = 0;          // of the node, or of the forest's subtrees
    double leaf = 0.0;              // a node's value as a leaf
    double best = 0.0;              // the value of its first tree
    std::uint32_t node = NO_LIST;   // a node with data outside chains: its scored node
    std::uint32_t chain = NO_LIST;  // the nodes of a chain: their chain values
    // A node: the list of its forest (coordinate 0), if it has one. A forest:
    // the list of its slots' trees without data.
    std::uint32_t forest = NO_LIST;
    std::uint32_t slots = 0;               // a forest
    std::vector<Child> children;           // a node: coordinates 1..k, by ascending symbol
    std::vector<std::uint32_t> sum_order;  // coordinates 1..k in child-list order
    std::vector<Ranked> entries, heap;
    std::vector<RankPair> pool;
  };

  struct Demand {
    std::uint32_t list, rank;
  };

  enum class Have : std::uint8_t { Yes, No, Later };

  static bool before(const std::vector<RankPair>& pool, const Ranked& a, const Ranked& b) {
    if (a.value != b.value) return a.value > b.value;
    if (a.leaf != b.leaf) return a.leaf;
    std::uint32_t i = a.size, j = b.size;
    for (; i > 0 && j > 0; --i, --j) {
      const RankPair& x = pool[a.begin + i - 1];
      const RankPair& y = pool[b.begin + j - 1];
      if (x.at != y.at) return x.at < y.at;
      if (x.rank != y.rank) return x.rank < y.rank;
    }
    return j > 0;
  }

  static auto worse(const List& list) {
    return [&pool = list.pool](const Ranked& a, const Ranked& b) { return before(pool, b, a); };
  }

  double chain_best(std::uint32_t chain, std::size_t depth) const {
    return trie_.chains[chain].best[depth_ - depth];
  }

  // The list of a node's trees: the node at `depth` scores `leaf` as a leaf
  // and `best` as its first tree.
  List tree_list(std::size_t depth, double leaf, double best) const {
    List list;
    list.splittable = depth < depth_;
    list.depth = depth;
    list.leaf = leaf;
    list.best = best;
    return list;
  }

  std::uint32_t add_list(List list) {
    if (lists_.size() >= NO_LIST) throw CapacityExhausted{};
    lists_.push_back(std::move(list));
    return static_cast<std::uint32_t>(lists_.size() - 1);
  }

  std::uint32_t node_list(std::uint32_t node) {
    if (node_lists_[node] == NO_LIST) {
      const ScoredNode& n = trie_.nodes[node];
      if (n.chain != NO_LIST) {
        node_lists_[node] = chain_list(n.chain, n.depth);
      } else {
        List list = tree_list(n.depth, n.leaf, n.best);
        list.node = node;
        node_lists_[node] = add_list(std::move(list));
      }
    }
    return node_lists_[node];
  }

  std::uint32_t chain_list(std::uint32_t chain, std::size_t depth) {
    const auto key = std::make_pair(chain, depth);
    if (const auto found = chain_lists_.find(key); found != chain_lists_.end()) {
      return found->second;
    }
    const double e = trie_.chains[chain].e;
    List list = tree_list(depth, depth < depth_ ? prior_.lb + e : e, chain_best(chain, depth));
    list.chain = chain;
    const std::uint32_t id = add_list(std::move(list));
    chain_lists_.emplace(key, id);
    return id;
  }

  std::uint32_t empty_list(std::size_t depth) {
    if (empty_lists_[depth] == NO_LIST) {
      empty_lists_[depth] =
          add_list(tree_list(depth, depth < depth_ ? prior_.lb : 0.0, empty_best_[depth]));
    }
    return empty_lists_[depth];
  }

  std::uint32_t forest_list(std::size_t depth, std::size_t slots) {
    const auto key = std::make_pair(depth, slots);
    if (const auto found = forest_lists_.find(key); found != forest_lists_.end()) {
      return found->second;
    }
    List list;
    list.kind = Kind::Forest;
    list.depth = depth;
    list.slots = static_cast<std::uint32_t>(slots);
    list.forest = empty_list(depth);
    list.best = empty_best_[depth] * static_cast<double>(slots);
    const std::uint32_t id = add_list(std::move(list));
    forest_lists_.emplace(key, id);
    return id;
  }

  std::uint32_t list_of(Child& child) {
    if (child.list == NO_LIST) {
      child.list =
          child.node != NO_LIST ? node_list(child.node) : chain_list(child.chain, child.depth);
    }
    return child.list;
  }

  // A scored node's symbol, read from the key source once.
  Symbol symbol(std::uint32_t node) {
    Symbol& known = node_symbols_[node];
    if (known == NO_SYMBOL) known = key_symbol_(trie_.nodes[node].key, trie_.nodes[node].depth);
    return known;
  }

  struct Keyed {
    Symbol symbol;
    std::uint32_t node, place;
  };

  // The children of a scored node by ascending symbol, with their places in
  // child-list order.
  const std::vector<Keyed>& children_by_symbol(std::uint32_t node) {
    const ScoredNode& n = trie_.nodes[node];
    keyed_.clear();
    for (std::uint32_t t = 0; t < n.child_count; ++t) {
      const std::uint32_t child = trie_.children[n.first_child + t];
      keyed_.push_back(Keyed{symbol(child), child, t});
    }
    std::sort(keyed_.begin(), keyed_.end(),
              [](const Keyed& a, const Keyed& b) { return a.symbol < b.symbol; });
    return keyed_;
  }

  Child child_of(std::uint32_t node) const {
    const ScoredNode& n = trie_.nodes[node];
    return Child{n.best, node, n.chain, n.depth, NO_LIST};
  }

  // Whether list `id` has tree `rank`: Later pushes the request.
  Have have(std::uint32_t id, std::uint32_t rank) {
    const List& list = lists_[id];
    if (list.entries.size() > rank) return Have::Yes;
    if (list.done) return Have::No;
    demands_.push_back(Demand{id, rank});
    return Have::Later;
  }

  Have have_coordinate(List& list, std::uint32_t c, std::uint32_t rank) {
    if (c == 0) return have(list.forest, rank);
    Child& child = list.children[c - 1];
    if (child.depth == depth_) return Have::No;  // a single tree
    return have(list_of(child), rank);
  }

  double coordinate_value(const List& list, std::uint32_t c, std::uint32_t rank) const {
    if (c == 0) {
      const List& forest = lists_[list.forest];
      return rank == 0 ? forest.best : forest.entries[rank].value;
    }
    const Child& child = list.children[c - 1];
    return rank == 0 ? child.best : lists_[child.list].entries[rank].value;
  }

  double split_value(const List& list, std::span<const RankPair> ranks) {
    for (const RankPair& p : ranks) scratch_[p.at] = p.rank;
    double value = prior_.l1b;
    for (const std::uint32_t c : list.sum_order) {
      value = value + coordinate_value(list, c, scratch_[c]);
    }
    if (list.forest != NO_LIST) value = value + coordinate_value(list, 0, scratch_[0]);
    for (const RankPair& p : ranks) scratch_[p.at] = 0;
    return value;
  }

  double forest_value(const List& list, std::span<const RankPair> ranks) const {
    const List& each = lists_[list.forest];
    double value = each.best * static_cast<double>(list.slots);
    for (const RankPair& p : ranks) value = value + (each.entries[p.rank].value - each.best);
    return value;
  }

  // Pushes a candidate whose ranks are `raised` followed by `rest`.
  void push(List& list, double value, RankPair raised, std::span<const RankPair> rest,
            std::uint32_t until) {
    const auto begin = static_cast<std::uint32_t>(list.pool.size());
    list.pool.push_back(raised);
    list.pool.insert(list.pool.end(), rest.begin(), rest.end());
    list.heap.push_back(
        Ranked{value, begin, static_cast<std::uint32_t>(rest.size() + 1), until, false});
    std::push_heap(list.heap.begin(), list.heap.end(), worse(list));
  }

  void start(std::uint32_t id) {
    List& list = lists_[id];
    list.started = true;
    if (list.kind == Kind::Forest) {
      list.heap.push_back(Ranked{list.best, 0, 0, 0, false});
      return;
    }
    list.heap.push_back(Ranked{list.leaf, 0, 0, 0, true});
    if (!list.splittable) return;
    if (list.node != NO_LIST) {
      const std::vector<Keyed>& keyed = children_by_symbol(list.node);
      list.sum_order.assign(keyed.size(), 0);
      for (std::uint32_t c = 0; c < keyed.size(); ++c) {
        list.children.push_back(child_of(keyed[c].node));
        list.sum_order[keyed[c].place] = c + 1;
      }
    } else if (list.chain != NO_LIST) {
      list.children.push_back(Child{chain_best(list.chain, list.depth + 1), NO_LIST, list.chain,
                                    static_cast<std::uint32_t>(list.depth + 1), NO_LIST});
      list.sum_order.push_back(1);
    }
    const std::size_t present = list.children.size();
    if (present < alphabet_size_) {
      list.forest = forest_list(list.depth + 1, alphabet_size_ - present);
    }
    if (scratch_.size() < present + 1) scratch_.resize(present + 1, 0);
    list.heap.push_back(Ranked{split_value(list, {}), 0, 0, 0, false});
    std::push_heap(list.heap.begin(), list.heap.end(), worse(list));
  }

  // Pushes the candidates that follow the list's last tree; false when it
  // has first requested a tree of a coordinate.
  bool expand(std::uint32_t id) {
    List& list = lists_[id];
    const Ranked& last = list.entries.back();
    base_.assign(list.pool.begin() + last.begin, list.pool.begin() + last.begin + last.size);
    if (list.kind == Kind::Forest) {
      const std::uint32_t first = base_.empty() ? list.slots : base_[0].at;
      Have below = Have::No, raise = Have::No;
      if (first > 0 && (below = have(list.forest, 1)) == Have::Later) return false;
      if (!base_.empty() && (raise = have(list.forest, base_[0].rank + 1)) == Have::Later) {
        return false;
      }
      if (below == Have::Yes) {
        const RankPair raised{0, 1};
        std::vector<RankPair>& ranks = candidate_;
        ranks.assign(1, raised);
        ranks.insert(ranks.end(), base_.begin(), base_.end());
        push(list, forest_value(list, ranks), raised, base_, first);
      }
      if (raise == Have::Yes) {
        const RankPair raised{first, base_[0].rank + 1};
        std::vector<RankPair>& ranks = candidate_;
        ranks.assign(1, raised);
        ranks.insert(ranks.end(), base_.begin() + 1, base_.end());
        push(list, forest_value(list, ranks), raised, std::span(base_).subspan(1), 0);
      }
      list.pending = false;
      return true;
    }
    const auto coordinates = static_cast<std::uint32_t>(list.children.size() + 1);
    const std::uint32_t first = base_.empty() ? coordinates : base_[0].at;
    auto exists = [&](std::uint32_t c) { return c > 0 || list.forest != NO_LIST; };
    for (std::uint32_t c = 0; c < first; ++c) {
      if (exists(c) && have_coordinate(list, c, 1) == Have::Later) return false;
    }
    if (!base_.empty() && have_coordinate(list, first, base_[0].rank + 1) == Have::Later) {
      return false;
    }
    std::vector<RankPair>& ranks = candidate_;
    for (std::uint32_t c = 0; c < first; ++c) {
      if (!exists(c) || have_coordinate(list, c, 1) != Have::Yes) continue;
      const RankPair raised{c, 1};
      ranks.assign(1, raised);
      ranks.insert(ranks.end(), base_.begin(), base_.end());
      push(list, split_value(list, ranks), raised, base_, 0);
    }
    if (!base_.empty() && have_coordinate(list, first, base_[0].rank + 1) == Have::Yes) {
      const RankPair raised{first, base_[0].rank + 1};
      ranks.assign(1, raised);
      ranks.insert(ranks.end(), base_.begin() + 1, base_.end());
      push(list, split_value(list, ranks), raised, std::span(base_).subspan(1), 0);
    }
    list.pending = false;
    return true;
  }

  void pop(std::uint32_t id) {
    List& list = lists_[id];
    std::pop_heap(list.heap.begin(), list.heap.end(), worse(list));
    Ranked top = list.heap.back();
    list.heap.pop_back();
    if (list.entries.empty() && top.value != list.best) {
      throw InternalFault("bct ranking: the first tree is not the best one");
    }
    if (top.size > 0 && list.pool[top.begin].at + 1 < top.until) {
      // The next slot raised alike: the same sum, formed in the same order.
      const RankPair next{list.pool[top.begin].at + 1, 1};
      base_.assign(list.pool.begin() + top.begin + 1, list.pool.begin() + top.begin + top.size);
      push(list, top.value, next, base_, top.until);
    }
    top.until = 0;
    list.entries.push_back(top);
    list.pending = !top.leaf;
  }

  // One step towards list `id`'s next tree.
  void step(std::uint32_t id) {
    if (!lists_[id].started) start(id);
    if (lists_[id].pending && !expand(id)) return;
    List& list = lists_[id];
    if (list.heap.empty()) {
      list.done = true;
      return;
    }
    pop(id);
  }

  // Whether list `id` has tree `rank`, finding it if need be.
  bool ensure(std::uint32_t id, std::uint32_t rank) {
    demands_.push_back(Demand{id, rank});
    while (!demands_.empty()) {
      const Demand demand = demands_.back();
      const List& list = lists_[demand.list];
      if (list.entries.size() > demand.rank || list.done) {
        demands_.pop_back();
        continue;
      }
      step(demand.list);
    }
    return lists_[id].entries.size() > rank;
  }

  // The contexts of the root's tree `rank`. A node's first tree needs no
  // list: it is the leaf when the best value is the leaf's (a split is taken
  // only when strictly higher), and otherwise every coordinate's first tree.
  RankedTree contexts(std::uint32_t rank, double value) {
    struct Item {
      std::uint32_t node;   // a scored node; NO_LIST otherwise
      std::uint32_t chain;  // a chain's node below its top: its chain values; NO_LIST otherwise
      std::uint64_t key;    // ... and the chain's leaf
      std::uint32_t rank;
      std::size_t depth;
      Symbol symbol;
    };
    ContextWriter writer(alphabet_size_);
    std::vector<Item> stack;
    std::vector<Symbol> present;
    std::vector<std::uint32_t> dense;
    auto push_forest = [&](std::size_t depth, std::uint32_t r) {
      const std::size_t slots = alphabet_size_ - present.size();
      // Each slot gives the tree a context at least. A tree of more contexts
      // than a fitted trie can have nodes could never be held, and one that
      // memory cannot hold is refused before its walk fills memory.
      if (slots >
          MAX_RECORDS - std::min<std::size_t>(MAX_RECORDS, writer.contexts() + stack.size())) {
        throw CapacityExhausted{};
      }
      if (stack.size() + slots > stack.capacity()) {
        stack.reserve(std::max(stack.size() + slots, 2 * stack.capacity()));
      }
      std::span<const RankPair> ranks;
      if (r > 0) {
        const List& forest = lists_[forest_list(depth, slots)];
        const Ranked& chosen = forest.entries[r];
        ranks = std::span(forest.pool).subspan(chosen.begin, chosen.size);
      }
      std::uint32_t slot = 0;
      std::size_t next = 0;
      for_each_missing(alphabet_size_, present, [&](Symbol s) {
        std::uint32_t slot_rank = 0;
        if (next < ranks.size() && ranks[next].at == slot) slot_rank = ranks[next++].rank;
        stack.push_back(Item{NO_LIST, NO_LIST, 0, slot_rank, depth, s});
        ++slot;
      });
    };
    const std::uint32_t root =
        trie_.nodes.empty() ? NO_LIST : static_cast<std::uint32_t>(trie_.nodes.size() - 1);
    stack.push_back(Item{root, NO_LIST, 0, rank, 0, NO_SYMBOL});
    while (!stack.empty()) {
      Item item = stack.back();
      stack.pop_back();
      writer.enter(item.depth, item.symbol);
      if (item.depth == depth_) {
        writer.leaf();
        continue;
      }
      if (item.node != NO_LIST && trie_.nodes[item.node].chain != NO_LIST) {
        // A chain's top: the chain's node at this depth.
        item.chain = trie_.nodes[item.node].chain;
        item.key = trie_.nodes[item.node].key;
        item.node = NO_LIST;
      }
      const bool data = item.node != NO_LIST, chain = item.chain != NO_LIST;
      const Ranked* tree = nullptr;
      const List* list = nullptr;
      if (item.rank > 0) {
        list = &lists_[data    ? node_lists_[item.node]
                       : chain ? chain_lists_.at(std::make_pair(item.chain, item.depth))
                               : empty_lists_[item.depth]];
        tree = &list->entries[item.rank];
        if (tree->leaf) {
          writer.leaf();
          continue;
        }
      } else {
        const double leaf = data    ? trie_.nodes[item.node].leaf
                            : chain ? prior_.lb + trie_.chains[item.chain].e
                                    : prior_.lb;
        const double best = data    ? trie_.nodes[item.node].best
                            : chain ? chain_best(item.chain, item.depth)
                                    : empty_best_[item.depth];
        if (best == leaf) {
          writer.leaf();
          continue;
        }
      }
      // A split: each coordinate's rank, 0 unless the tree says otherwise.
      const std::size_t children = data ? trie_.nodes[item.node].child_count : chain ? 1 : 0;
      dense.assign(children + 1, 0);
      if (tree != nullptr) {
        for (std::uint32_t p = 0; p < tree->size; ++p) {
          dense[list->pool[tree->begin + p].at] = list->pool[tree->begin + p].rank;
        }
      }
      present.clear();
      if (data) {
        const std::vector<Keyed>& keyed = children_by_symbol(item.node);
        for (std::size_t c = 0; c < keyed.size(); ++c) {
          present.push_back(keyed[c].symbol);
          stack.push_back(
              Item{keyed[c].node, NO_LIST, 0, dense[c + 1], item.depth + 1, keyed[c].symbol});
        }
      } else if (chain) {
        const Symbol s = key_symbol_(item.key, item.depth + 1);
        present.push_back(s);
        stack.push_back(Item{NO_LIST, item.chain, item.key, dense[1], item.depth + 1, s});
      }
      if (present.size() < alphabet_size_) push_forest(item.depth + 1, dense[0]);
    }
    return writer.take(value);
  }

  const ScoredTrie& trie_;
  const KeySymbol& key_symbol_;
  std::size_t alphabet_size_, depth_;
  Prior prior_;
  std::deque<List> lists_;                  // references stay valid as lists are added
  std::vector<std::uint32_t> node_lists_;   // per scored node
  std::vector<Symbol> node_symbols_;        // per scored node, NO_SYMBOL until read
  std::vector<std::uint32_t> empty_lists_;  // per depth
  std::vector<double> empty_best_;          // per depth: the best tree without data
  std::map<std::pair<std::uint32_t, std::size_t>, std::uint32_t> chain_lists_;
  std::map<std::pair<std::size_t, std::size_t>, std::uint32_t> forest_lists_;
  std::vector<Demand> demands_;
  std::vector<std::uint32_t> scratch_;  // dense ranks of one split, zero between uses
  std::vector<RankPair> base_, candidate_;
  std::vector<Keyed> keyed_;
};

}  // namespace

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

double log_evidence(const CountTrie& trie, double beta) {
  const std::size_t depth = trie.storage_depth();
  Rule rule(trie.alphabet_size(), depth, beta);
  const Prior prior(beta);
  std::vector<double> evidence(trie.node_count(), 0.0);
  std::vector<SymbolCount> present;
  for (std::size_t i = trie.node_count(); i-- > 0;) {
    const auto index = static_cast<NodeIndex>(i);
    const TrieNode& node = trie.node(index);
    if (node.count == 0) continue;  // no data below: exactly log 1
    sorted_outcomes(trie, index, present);
    const double e = rule.estimate(node.count, present);
    if (node.depth == depth) {
      evidence[i] = e;
      continue;
    }
    double total = prior.l1b;
    for (const ChildEdge& edge : trie.children(index)) total = total + evidence[edge.child];
    evidence[i] = log_add(prior.lb + e, total);
  }
  return evidence[0];
}

std::vector<RankedTree> top_trees(const CountTrie& trie, double beta, std::size_t k) {
  if (k == 0) return {};
  return plain::Ranking(trie, beta, k).best();
}

template <class Position>
double log_evidence(const detail::Leaves<Position>& leaves, const detail::SymbolCodes& codes,
                    std::size_t alphabet_size, std::size_t depth, double beta) {
  if (leaves.size() == 0) return 0.0;  // no data: exactly log 1
  EvidenceScan<Position> scan(alphabet_size, depth, beta);
  detail::scan_bottom_up(leaves, codes, depth + 1, scan);
  return scan.root();
}

template <class Position>
std::vector<RankedTree> top_trees(const detail::Leaves<Position>& leaves,
                                  const detail::SymbolCodes& codes, const KeySymbol& key_symbol,
                                  std::size_t alphabet_size, std::size_t depth, double beta,
                                  std::size_t k) {
  if (k == 0) return {};
  ScoredTrie scored;
  if (leaves.size() > 0) {
    ScoreScan<Position> scan(alphabet_size, depth, beta, scored);
    detail::scan_bottom_up(leaves, codes, depth + 1, scan);
  }
  return LazyRanking(scored, key_symbol, alphabet_size, depth, beta).best(k);
}

template double log_evidence<std::uint64_t>(const detail::Leaves<std::uint64_t>&,
                                            const detail::SymbolCodes&, std::size_t, std::size_t,
                                            double);
template std::vector<RankedTree> top_trees<std::uint64_t>(const detail::Leaves<std::uint64_t>&,
                                                          const detail::SymbolCodes&,
                                                          const KeySymbol&, std::size_t,
                                                          std::size_t, double, std::size_t);

double log_evidence(const detail::KeyedLeaves& keyed, std::size_t alphabet_size, double beta) {
  const std::vector<std::size_t> begin = detail::suffix_starts(keyed);
  return keyed.suffixes.visit([&](auto suffixes) {
    const detail::FrontKeys keys{suffixes, std::span<const Depth>(keyed.leaves.shared),
                                 std::span<const std::size_t>(begin)};
    return log_evidence(keyed.leaves, detail::SymbolCodes(keys, keyed.size()), alphabet_size,
                        keyed.depth, beta);
  });
}

std::vector<RankedTree> top_trees(const detail::KeyedLeaves& keyed, std::size_t alphabet_size,
                                  double beta, std::size_t k) {
  const std::vector<std::size_t> begin = detail::suffix_starts(keyed);
  return keyed.suffixes.visit([&](auto suffixes) {
    const detail::FrontKeys keys{suffixes, std::span<const Depth>(keyed.leaves.shared),
                                 std::span<const std::size_t>(begin)};
    const KeySymbol key_symbol = [&](std::uint64_t leaf, std::size_t d) {
      return keys.context(static_cast<std::size_t>(leaf), d);
    };
    return top_trees(keyed.leaves, detail::SymbolCodes(keys, keyed.size()), key_symbol,
                     alphabet_size, keyed.depth, beta, k);
  });
}

}  // namespace ostrel::bct
