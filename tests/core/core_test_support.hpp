#pragma once
// Shared helpers of the core tests: seeded training rows with structure, counts read by
// walking the plain linked lists (never the side index), and checks that every tree mask
// and every untouched trie must pass.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "counts/counts.hpp"
#include "fit/assemble.hpp"
#include "model/model.hpp"
#include "representation/trie.hpp"
#include "selection/selection.hpp"
#include "testing/plain_selection.hpp"

namespace ostrel {

// How GoogleTest prints an index of any kind: its position, or "none".
template <class Kind>
std::ostream& operator<<(std::ostream& out, Index<Kind> index) {
  return index.has_value() ? out << index.value() : out << "none";
}

// A node index written as a literal in a test: 3_node.
constexpr NodeIndex operator""_node(unsigned long long i) { return NodeIndex(i); }

}  // namespace ostrel

namespace ostrel::testing_support {

// Rows in which the next symbol is, with probability `follow`, a fixed function of the two
// previous symbols within {0, ..., 3}, and otherwise uniform over the alphabet. Frequent
// small symbols give shallow contexts that matter; the rest fills long per-node lists.
inline Rows markov_rows(std::uint64_t seed, std::size_t alphabet, std::size_t rows,
                        std::size_t length, double follow) {
  std::mt19937_64 rng(seed);
  Rows out;
  for (std::size_t r = 0; r < rows; ++r) {
    Symbol prev = 0, prev2 = 0;
    for (std::size_t t = 0; t < length; ++t) {
      const Symbol s = static_cast<double>(rng() >> 11) * 0x1.0p-53 < follow
                           ? (prev2 == 1 ? 0 : (prev + 1) % 4 % alphabet)
                           : static_cast<Symbol>(rng() % alphabet);
      out.push_symbol(s);
      prev2 = prev;
      prev = s;
    }
    out.end_row();
  }
  return out;
}

// From this alphabet size on the default bct beta rounds to 1, so bct needs an explicit one.
inline constexpr std::size_t NEEDS_EXPLICIT_BETA = 55;

// An unfitted model; bct from NEEDS_EXPLICIT_BETA symbols on takes beta 0.9.
inline OSTRELObject model_for(std::size_t alphabet, std::size_t max_depth, std::u32string method) {
  const bool needs_beta = alphabet >= NEEDS_EXPLICIT_BETA && (method == U"bct");
  auto config = FitConfig::create(alphabet, max_depth, method,
                                  needs_beta ? std::optional(0.9) : std::nullopt, {}, U"condition");
  EXPECT_TRUE(config.has_value());
  return OSTRELObject(config.value_or(FitConfig{0.5, 1.0, 2, 0, SelectionMethod::Bct}));
}

// The counts of `rows`, added to a fresh value of part `part` (counted from
// their start when `starts`).
inline Counts counts_of(const Rows& rows, std::size_t alphabet, std::size_t depth,
                        std::uint64_t part = 0, bool starts = false) {
  auto counts = Counts::create(alphabet, depth, part, starts);
  EXPECT_TRUE(counts.has_value());
  if (!counts) throw std::runtime_error(counts.error());
  auto added = counts->add(rows);
  EXPECT_TRUE(added.has_value());
  return std::move(*counts);
}

// A query's sparse answer with every symbol's entry.
inline std::vector<double> dense(const SparseDistribution& d, std::size_t alphabet) {
  std::vector<double> out(alphabet, d.unseen);
  for (const auto& [s, p] : d.seen) out[s] = p;
  return out;
}

inline std::vector<Count> dense(const SparseCounts& counts, std::size_t alphabet) {
  std::vector<Count> out(alphabet, 0);
  for (const SymbolCount& c : counts) out[c.symbol] = c.count;
  return out;
}

// Seeded inputs of every shape the counting strategies meet: one long row, a few
// medium rows, many short ones (some no longer than the context), each alphabet width,
// empty and degenerate cases, and a deep chain.
enum class Source { Uniform, Skewed, Markov, Periodic };

struct Input {
  std::string name;
  std::size_t alphabet, conditioning, storage;
  Rows rows;
};

// `rows` rows of `source`, with lengths drawn from [min_length, max_length].
inline Rows random_rows(std::mt19937_64& rng, Source source, std::size_t alphabet, std::size_t rows,
                        std::size_t min_length, std::size_t max_length) {
  Rows out;
  std::uniform_int_distribution<std::size_t> length(min_length, max_length);
  std::geometric_distribution<std::size_t> skewed(0.35);
  const std::size_t period = 1 + rng() % 7;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t n = length(rng);
    for (std::size_t t = 0; t < n; ++t) {
      switch (source) {
        case Source::Uniform:
          out.push_symbol(rng() % alphabet);
          break;
        case Source::Skewed:
          out.push_symbol(std::min(skewed(rng), alphabet - 1));
          break;
        case Source::Markov:  // mostly a function of the previous symbol
          out.push_symbol(t > 0 && rng() % 4 != 0 ? (out.symbol(r, t - 1) * 7 + 3) % alphabet
                                                  : rng() % alphabet);
          break;
        case Source::Periodic:
          out.push_symbol(rng() % 16 == 0 ? rng() % alphabet : (t % period) % alphabet);
          break;
      }
    }
    out.end_row();
  }
  return out;
}

inline std::vector<Input> inputs() {
  std::vector<Input> out;
  std::mt19937_64 rng(20261208);
  const std::size_t alphabets[] = {2, 3, 4, 5, 16, 200, 300};
  const Source sources[] = {Source::Uniform, Source::Skewed, Source::Markov, Source::Periodic};
  for (int k = 0; k < 48; ++k) {
    const std::size_t alphabet = alphabets[k % 7];
    const Source source = sources[k % 4];
    const std::size_t storage = static_cast<std::size_t>(k % 13);
    const std::size_t conditioning = storage + (k % 3 == 0 ? rng() % 3 : 0);
    // One long row, a few medium rows, or many short ones (some no longer than the depth).
    const std::size_t shape = (k / 4) % 3;
    Rows rows = shape == 0   ? random_rows(rng, source, alphabet, 1, 3000, 3000)
                : shape == 1 ? random_rows(rng, source, alphabet, 4, 0, 700)
                             : random_rows(rng, source, alphabet, 150, 0, conditioning + 6);
    out.push_back({"case " + std::to_string(k), alphabet, conditioning, storage, std::move(rows)});
  }
  out.push_back({"no rows", 4, 3, 3, Rows{}});
  out.push_back({"only short rows", 3, 5, 4, Rows{{0, 1, 2}, {}, {2, 2, 2, 2, 2}}});
  out.push_back({"structured", 4, 6, 6, testing_support::markov_rows(7, 4, 5, 900, 0.8)});
  // Symbols of an alphabet near 2^32, few of them: the widest codes.
  {
    const Symbol big = 4294967290u;
    Rows rows;
    for (int t = 0; t < 2000; ++t) {
      const Symbol choices[] = {0, big - 1, big - 2, 1u << 31, 65536, 255};
      rows.push_symbol(choices[rng() % 6]);
    }
    rows.end_row();
    out.push_back({"alphabet near 2^32", big, 4, 3, std::move(rows)});
  }
  // A deep chain: one row of zeros, and a row that is almost periodic.
  {
    Rows rows;
    for (int t = 0; t < 400; ++t) rows.push_symbol(0);
    rows.end_row();
    for (int t = 0; t < 400; ++t) rows.push_symbol(t == 300 ? 1 : t % 2);
    rows.end_row();
    out.push_back({"deep chain", 2, 300, 300, std::move(rows)});
  }
  return out;
}

// Entry s is the count of s at `node`, found by walking its outcome list.
inline std::vector<Count> walk_counts(const CountTrie& trie, NodeIndex node) {
  std::vector<Count> counts(trie.alphabet_size(), 0);
  for (OutcomeIndex o = trie.node(node).first_outcome; o != NO_INDEX; o = trie.outcomes()[o].next) {
    counts[trie.outcomes()[o].symbol] += trie.outcomes()[o].count;
  }
  return counts;
}

// The invariants of every selected tree. `complete`: each node of the tree has no child in
// it or one per symbol, as under bct and bic.
inline void expect_valid_mask(const CountTrie& trie, const TreeMask& mask, bool complete) {
  const std::size_t n = trie.node_count();
  ASSERT_EQ(mask.kept.size(), n);
  ASSERT_EQ(mask.terminal.size(), n);
  EXPECT_EQ(mask.kept[0], 1);
  std::size_t contexts = 0;
  for (const NodeIndex node : trie.nodes().indices()) {
    const std::size_t i = node.value();
    SCOPED_TRACE(testing::Message() << "node " << i);
    ASSERT_LE(mask.kept[i], 1);
    ASSERT_LE(mask.terminal[i], 1);
    if (node != ROOT && mask.kept[i]) {
      EXPECT_EQ(mask.kept[trie.node(node).parent.value()], 1);
    }
    std::size_t kept_children = 0;
    for (const ChildEdge& edge : trie.children(node))
      kept_children += mask.kept[edge.child.value()];
    EXPECT_EQ(mask.terminal[i], mask.kept[i] && kept_children < trie.alphabet_size() ? 1 : 0);
    if (complete && mask.kept[i]) {
      EXPECT_TRUE(kept_children == 0 || kept_children == trie.alphabet_size());
    }
    contexts += mask.terminal[i];
  }
  EXPECT_GE(contexts, 1u);
}

// Contexts (each oldest symbol first) as the rows a tree is given by.
inline Rows rows_of(const std::vector<std::vector<Symbol>>& contexts) {
  Rows out;
  for (const auto& c : contexts) {
    for (const Symbol s : c) out.push_symbol(s);
    out.end_row();
  }
  return out;
}

// Every complete tree of depth at most `depth` over `alphabet` symbols, each as its
// contexts (oldest symbol first), the subtree below `recent` (most recent first).
inline std::vector<std::vector<std::vector<Symbol>>> complete_trees(
    std::size_t alphabet, std::size_t depth, std::vector<Symbol> recent = {}) {
  std::vector<std::vector<std::vector<Symbol>>> out(1);
  out[0].emplace_back(recent.rbegin(), recent.rend());
  if (recent.size() == depth) return out;
  std::vector<std::vector<std::vector<Symbol>>> partial{{}};
  for (Symbol s = 0; s < alphabet; ++s) {
    auto below = recent;
    below.push_back(s);
    std::vector<std::vector<std::vector<Symbol>>> next;
    for (const auto& left : partial) {
      for (const auto& sub : complete_trees(alphabet, depth, below)) {
        auto tree = left;
        tree.insert(tree.end(), sub.begin(), sub.end());
        next.push_back(std::move(tree));
      }
    }
    partial = std::move(next);
  }
  out.insert(out.end(), partial.begin(), partial.end());
  return out;
}

// A seeded complete tree of depth at most `depth`: each node above it splits with
// probability `split`.
inline std::vector<std::vector<Symbol>> random_tree(std::mt19937_64& rng, std::size_t alphabet,
                                                    std::size_t depth, double split,
                                                    std::vector<Symbol> recent = {}) {
  if (recent.size() == depth || static_cast<double>(rng() >> 11) * 0x1.0p-53 >= split) {
    return {std::vector<Symbol>(recent.rbegin(), recent.rend())};
  }
  std::vector<std::vector<Symbol>> out;
  for (Symbol s = 0; s < alphabet; ++s) {
    auto below = recent;
    below.push_back(s);
    const auto sub = random_tree(rng, alphabet, depth, split, below);
    out.insert(out.end(), sub.begin(), sub.end());
  }
  return out;
}

inline void expect_same_trie(const CountTrie& a, const CountTrie& b) {
  EXPECT_EQ(a.sample_size(), b.sample_size());
  EXPECT_EQ(a.storage_depth(), b.storage_depth());
  ASSERT_EQ(a.node_count(), b.node_count());
  ASSERT_EQ(a.edges().size(), b.edges().size());
  ASSERT_EQ(a.outcomes().size(), b.outcomes().size());
  for (const NodeIndex i : a.nodes().indices()) {
    const TrieNode &x = a.nodes()[i], &y = b.nodes()[i];
    EXPECT_TRUE(x.count == y.count && x.symbol == y.symbol && x.parent == y.parent &&
                x.first_child == y.first_child && x.first_outcome == y.first_outcome &&
                x.depth == y.depth)
        << "node " << i;
  }
  for (const EdgeIndex e : a.edges().indices()) {
    const ChildEdge &x = a.edges()[e], &y = b.edges()[e];
    EXPECT_TRUE(x.symbol == y.symbol && x.child == y.child && x.next == y.next) << "edge " << e;
  }
  for (const OutcomeIndex o : a.outcomes().indices()) {
    const OutcomeCount x = a.outcomes()[o], y = b.outcomes()[o];
    EXPECT_TRUE(x.count == y.count && x.symbol == y.symbol && x.next == y.next) << "outcome " << o;
  }
}

// On tries built from seeded rows (three seeds from `first_seed`), expects the
// selector's plan to equal the dense reference's, and both a split and a leaf
// to occur above the storage depth, so that the comparison decides something.
template <class Select, class Reference>
void expect_plans_agree(std::uint64_t first_seed, std::size_t alphabet, std::size_t depth,
                        std::size_t length, double follow, Select select, Reference reference) {
  std::size_t splits = 0, leaves = 0;
  for (std::uint64_t seed = first_seed; seed < first_seed + 3; ++seed) {
    SCOPED_TRACE(seed);
    const Rows rows = markov_rows(seed, alphabet, 3, length, follow);
    const auto trie = from_rows_with_storage(rows, alphabet, depth, depth);
    ASSERT_TRUE(trie.has_value());
    const oracle::SplitPlan expected = reference(*trie);
    const oracle::SplitPlan plan = select(*trie);
    EXPECT_EQ(plan.depth_split, expected.depth_split);
    ASSERT_EQ(plan.node_split, expected.node_split);
    for (const NodeIndex i : trie->nodes().indices()) {
      if (trie->node(i).depth < depth) (plan.node_split[i.value()] ? splits : leaves) += 1;
    }
  }
  EXPECT_GT(splits, 0u);
  EXPECT_GT(leaves, 0u);
}

}  // namespace ostrel::testing_support
