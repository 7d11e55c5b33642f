// The lazy best-first ranking of trees.
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

#include "posterior/ranking.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <span>
#include <utility>

namespace ostrel::bct {

namespace {

// go on an explicit stack, so no depth bounds the recursion.
class LazyRanking {
 public:
  LazyRanking(const ScoredTrie& trie, const KeySymbol& key_symbol, std::size_t alphabet_size,
              std::size_t depth, const BctPrior& prior)
      : trie_(trie),
        key_symbol_(key_symbol),
        alphabet_size_(alphabet_size),
        depth_(depth),
        prior_(prior),
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
  BctPrior prior_;
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

std::vector<RankedTree> best_trees(const ScoredTrie& trie, const KeySymbol& key_symbol,
                                   std::size_t alphabet_size, std::size_t depth,
                                   const BctPrior& prior, std::size_t k) {
  if (k == 0) return {};
  return LazyRanking(trie, key_symbol, alphabet_size, depth, prior).best(k);
}

}  // namespace ostrel::bct
