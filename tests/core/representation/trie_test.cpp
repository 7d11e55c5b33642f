// Tests for the count trie: building from rows, child creation, compaction and the two
// lookups. Alphabets of hundreds of symbols push per-node lists past SHORT_LIST, so the
// side index must agree with the linked lists in content, order and numbering.

#include "representation/trie.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

#include "core_test_support.hpp"
#include "fit/compact.hpp"

namespace ostrel {
namespace {

// The records are as compact where the native word has 32 bits (armhf: a
// 64-bit count still aligns to 8 bytes); trie.hpp checks the 64-bit sizes.
static_assert(sizeof(void*) != 4 ||
              (sizeof(TrieNode) == 32 && sizeof(ChildEdge) == 12 && sizeof(OutcomeCount) == 16));

using Seq = std::vector<Symbol>;
using Bytes = std::vector<std::uint8_t>;

// Symbols of a node's child list (or outcome list) in list order.
Seq list_symbols(const CountTrie& trie, NodeIndex node, bool children) {
  Seq out;
  if (children) {
    for (const ChildEdge& edge : trie.children(node)) out.push_back(edge.symbol);
  } else {
    for (const OutcomeCount& record : trie.outcomes(node)) out.push_back(record.symbol);
  }
  return out;
}

CountTrie build(const Rows& rows, std::size_t alphabet, std::size_t conditioning,
                std::size_t storage) {
  auto trie = from_rows_with_storage(rows, alphabet, conditioning, storage);
  if (!trie) ADD_FAILURE() << trie.error();
  return std::move(*trie);
}

// Row 0, 1, 1 over {0, 1}, both depths 1.
CountTrie worked_example() { return build({{0, 1, 1}}, 2, 1, 1); }

TEST(BuildTest, WorkedExampleRecordsNewestFirst) {
  const CountTrie trie = worked_example();
  EXPECT_EQ(trie.sample_size(), 2u);
  ASSERT_EQ(trie.node_count(), 3u);
  for (const NodeIndex i : {1_node, 2_node}) {
    const TrieNode& n = trie.node(i);
    EXPECT_TRUE(n.count == 1 && n.symbol == i.value() - 1 && n.parent == ROOT && n.depth == 1 &&
                n.first_child == NO_INDEX && n.first_outcome == OutcomeIndex(i.value()));
    EXPECT_EQ(trie.dense_counts(i), (std::vector<Count>{0, 1}));
  }
  EXPECT_TRUE(trie.node(ROOT).count == 2 && trie.node(ROOT).first_child == EdgeIndex(1));
  ASSERT_EQ(trie.edges().size(), 2u);
  const ChildEdge &e0 = trie.edges()[EdgeIndex(0)], &e1 = trie.edges()[EdgeIndex(1)];
  EXPECT_TRUE(e1.symbol == 1 && e1.child == 2_node && e1.next == EdgeIndex(0));
  EXPECT_TRUE(e0.symbol == 0 && e0.child == 1_node && e0.next == NO_INDEX);
  ASSERT_EQ(trie.outcomes().size(), 3u);
  EXPECT_EQ(trie.outcomes()[OutcomeIndex(0)].count, 2u);
  EXPECT_EQ(trie.dense_counts(ROOT), (std::vector<Count>{0, 2}));
}

TEST(BuildTest, CountsOnlyPositionsAfterAFullContextOfTheirOwnRow) {
  struct Case {
    Rows rows;
    std::size_t alphabet, conditioning, storage, node_count;
    // Paths from the root (most recent symbol first) and their counts; the first is the root.
    std::vector<std::pair<Seq, std::vector<Count>>> counts;
  };
  const Case cases[] = {
      {{}, 2, 1, 1, 1, {{{}, {0, 0}}}},
      {{{0, 1, 1}, {1}}, 2, 0, 0, 1, {{{}, {1, 3}}}},
      {{{0, 1}}, 2, 2, 2, 1, {{{}, {0, 0}}}},
      {{{0, 1, 2, 3, 0}},
       4,
       3,
       1,
       3,
       {{{}, {1, 0, 0, 1}}, {{2}, {0, 0, 0, 1}}, {{3}, {1, 0, 0, 0}}}},
      {{{0, 1}, {1, 0}}, 2, 1, 1, 3, {{{}, {1, 1}}, {{0}, {0, 1}}, {{1}, {1, 0}}}},
      {{{2, 0, 1, 0, 1}},
       3,
       2,
       2,
       6,
       {{{}, {1, 2, 0}},
        {{0}, {0, 2, 0}},
        {{0, 2}, {0, 1, 0}},
        {{0, 1}, {0, 1, 0}},
        {{1}, {1, 0, 0}},
        {{1, 0}, {1, 0, 0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    const CountTrie trie = build(c.rows, c.alphabet, c.conditioning, c.storage);
    Count sample_size = 0;
    for (Count k : c.counts[0].second) sample_size += k;
    EXPECT_EQ(trie.sample_size(), sample_size);
    EXPECT_EQ(trie.node_count(), c.node_count);
    EXPECT_EQ(trie.edges().size(), c.node_count - 1);
    for (const auto& [path, counts] : c.counts) {
      NodeIndex node = ROOT;
      for (Symbol s : path) node = trie.find_child(node, s);
      ASSERT_NE(node, NO_INDEX);
      EXPECT_EQ(trie.dense_counts(node), counts);
    }
  }
}

TEST(BuildTest, RejectsWithTheFirstFailure) {
  const std::pair<Rows, const char*> cases[] = {
      {{{0, 9}}, "storage depth cannot exceed conditioning depth"},  // depths 1 and 2
      {{{0, 1, 1}, {0, 1, 5, 7}, {9}}, "symbol 5 at data[1][2] is outside 0..2"},
      {{{0}, {1, 1, 1}, {0, 2}}, "symbol 2 at data[2][1] is outside 0..2"},  // context only
  };
  for (std::size_t k = 0; k < 3; ++k) {
    const auto trie = from_rows_with_storage(cases[k].first, 2, k == 0 ? 1 : 3, 2);
    ASSERT_FALSE(trie.has_value());
    EXPECT_EQ(trie.error(), cases[k].second);
  }
}

TEST(GetOrCreateChildTest, SecondCallFindsTheSameChild) {
  CountTrie trie(3, 2);
  EXPECT_EQ(*trie.get_or_create_child(ROOT, 2), 1_node);
  EXPECT_EQ(*trie.get_or_create_child(ROOT, 2), 1_node);
  EXPECT_EQ(trie.node_count(), 2u);
  EXPECT_EQ(trie.edges().size(), 1u);
  const TrieNode& child = trie.node(1_node);
  EXPECT_TRUE(child.count == 0 && child.symbol == 2 && child.parent == ROOT && child.depth == 1 &&
              child.first_child == NO_INDEX && child.first_outcome == NO_INDEX);
}

TEST(GetOrCreateChildTest, RefusesDepthBeyond65535AndChangesNothing) {
  Rows rows;
  for (int i = 0; i <= 65535; ++i) rows.push_symbol(0);
  rows.end_row();
  CountTrie trie = build(rows, 2, 65535, 65535);
  const NodeIndex deepest = 65535_node;
  ASSERT_EQ(trie.node(deepest).depth, 65535);
  const std::size_t edges = trie.edges().size(), outcomes = trie.outcomes().size();
  const auto refused = trie.get_or_create_child(deepest, 1);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "count trie depth overflow");
  EXPECT_EQ(trie.node_count(), 65536u);
  EXPECT_EQ(trie.edges().size(), edges);
  EXPECT_EQ(trie.outcomes().size(), outcomes);
  EXPECT_EQ(trie.node(deepest).first_child, NO_INDEX);
  const auto sibling = trie.get_or_create_child(65534_node, 1);  // lands at depth 65535
  ASSERT_TRUE(sibling.has_value());
  EXPECT_EQ(trie.node(*sibling).depth, 65535);
}

TEST(CompactTest, WorkedExample) {
  struct Case {
    Bytes kept, terminal, new_terminal;
    Seq root_children;  // in list order
    NodeIndex answer_for_1_0;
  };
  const Case cases[] = {
      {{1, 1, 1}, {0, 1, 1}, {0, 1, 1}, {0, 1}, 1_node},  // all kept: lists reversed
      {{1, 0, 0}, {1, 0, 0}, {1}, {}, ROOT},              // root only
      {{1, 0, 1}, {2, 1, 3}, {0, 1}, {1}, ROOT},          // renumbered; lowest bit carried
      {{1, 1}, {}, {0, 0}, {0}, 1_node},                  // short flags read as 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.kept));
    const auto [trie, terminal] = compact(worked_example(), c.kept, c.terminal);
    EXPECT_EQ(terminal, c.new_terminal);
    ASSERT_EQ(trie.node_count(), c.new_terminal.size());
    EXPECT_EQ(trie.edges().size(), trie.node_count() - 1);
    EXPECT_EQ(list_symbols(trie, ROOT, true), c.root_children);
    for (const NodeIndex i : IndexRange<NodeIndex>(1, trie.node_count())) {
      EXPECT_EQ(trie.node(i).parent, ROOT);
      EXPECT_EQ(trie.find_child(ROOT, trie.node(i).symbol), i);
    }
    EXPECT_TRUE(trie.sample_size() == 2 && trie.node(ROOT).count == 2 && trie.storage_depth() == 1);
    EXPECT_EQ(trie.dense_counts(ROOT), (std::vector<Count>{0, 2}));
    const Bytes all(trie.node_count(), 1);
    EXPECT_EQ(deepest_selected_suffix(trie, Seq{1, 0}, all, terminal), c.answer_for_1_0);
    EXPECT_EQ(deepest_selected_suffix(trie, Seq{}, all, terminal), ROOT);
  }
}

// Row 1, 2, 3, 0 with depth 3 gives the chain 0 -3-> 1 -2-> 2 -1-> 3; node 4 hangs below
// node 3 for symbol 0, one level beyond the storage depth.
CountTrie chain() {
  CountTrie trie = build({{1, 2, 3, 0}}, 4, 3, 3);
  EXPECT_EQ(*trie.get_or_create_child(3_node, 0), 4_node);
  return trie;
}

TEST(ContextTest, ReadsOldestSymbolFirst) {
  const CountTrie trie = chain();
  EXPECT_EQ(context(trie, ROOT), Seq{});
  EXPECT_EQ(context(trie, 2_node), (Seq{2, 3}));
  EXPECT_EQ(context(trie, 3_node), (Seq{1, 2, 3}));
  EXPECT_EQ(context(trie, 4_node), (Seq{0, 1, 2, 3}));
}

TEST(DeepestSelectedSuffixTest, BacksOffAlongKeptPath) {
  const CountTrie trie = chain();
  const Bytes all(5, 1), none(5, 0);
  struct Case {
    Seq history;
    Bytes kept, terminal;
    NodeIndex expected;
  };
  const Case cases[] = {
      {{}, all, none, 0_node},
      {{1, 2, 3}, all, none, 3_node},
      {{2, 3}, all, none, 2_node},
      {{0, 1, 2, 3}, all, none, 3_node},  // cut to storage_depth symbols: node 4 is not reached
      {{3, 0}, all, none, 0_node},        // no child for the most recent symbol
      {{0, 3}, all, none, 1_node},
      {{1, 2, 3}, all, {0, 1, 0, 0, 0}, 1_node},  // a terminal node above non-terminal ones wins
      {{1, 2, 3}, all, {1, 0, 0, 0, 0}, 0_node},
      {{1, 2, 3}, all, {1, 0, 1, 0, 0}, 2_node},
      {{1, 2, 3}, {1, 1}, none, 1_node},
      {{1, 2, 3}, {1, 1, 0, 1, 1}, {0, 0, 0, 1, 0}, 1_node},
      {{1, 2, 3}, all, {0}, 3_node},
      {{1, 2, 3}, all, {}, 3_node},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.history) + " kept " + testing::PrintToString(c.kept) +
                 " terminal " + testing::PrintToString(c.terminal));
    EXPECT_EQ(deepest_selected_suffix(trie, c.history, c.kept, c.terminal), c.expected);
  }
  CountTrie flat(4, 0);  // storage depth 0: the root answers even with a terminal child
  ASSERT_TRUE(flat.get_or_create_child(ROOT, 3).has_value());
  EXPECT_EQ(deepest_selected_suffix(flat, Seq{3}, Bytes{1, 1}, Bytes{0, 1}), ROOT);
}

// Numbering, list order and counts as the building rules give them, tracked with maps.
struct Reference {
  struct Node {
    NodeIndex parent;
    Seq children, outcomes;  // in order of creation
    std::map<Symbol, Count> counts;
  };
  IndexVector<NodeIndex, Node> nodes = IndexVector<NodeIndex, Node>(1, Node{NO_INDEX, {}, {}, {}});
  std::map<std::pair<NodeIndex, Symbol>, NodeIndex> child;

  void record(NodeIndex v, Symbol x) {
    if (nodes[v].counts[x]++ == 0) nodes[v].outcomes.push_back(x);
  }
  Reference(const Rows& rows, std::size_t conditioning, std::size_t storage) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t t = conditioning; t < rows.row_length(r); ++t) {
        record(ROOT, rows.symbol(r, t));
        NodeIndex v = ROOT;
        for (std::size_t d = 1; d <= storage; ++d) {
          const auto [it, fresh] =
              child.try_emplace({v, rows.symbol(r, t - d)}, nodes.next_index());
          if (fresh) {
            nodes[v].children.push_back(rows.symbol(r, t - d));
            nodes.push_back(Node{v, {}, {}, {}});
          }
          record(v = it->second, rows.symbol(r, t));
        }
      }
    }
  }
  NodeIndex find(NodeIndex v, Symbol s) const {
    const auto it = child.find({v, s});
    return it == child.end() ? NO_INDEX : it->second;
  }
  Count count(NodeIndex v, Symbol s) const {
    const auto it = nodes[v].counts.find(s);
    return it == nodes[v].counts.end() ? 0 : it->second;
  }
};

class LargeAlphabetTest
    : public testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(LargeAlphabetTest, IndexedListsAgreeWithLinkedListsThroughCompaction) {
  const auto [alphabet, conditioning, storage] = GetParam();
  const Rows rows = testing_support::markov_rows(alphabet, alphabet, 3, 1500, 0.3);
  CountTrie trie = build(rows, alphabet, conditioning, storage);
  const Reference ref(rows, conditioning, storage);
  const std::size_t n = ref.nodes.size();
  ASSERT_EQ(trie.node_count(), n);
  for (const NodeIndex v : ref.nodes.indices()) {  // fresh lists are newest first
    const Reference::Node& r = ref.nodes[v];
    ASSERT_EQ(trie.node(v).parent, r.parent);
    EXPECT_EQ(list_symbols(trie, v, true), Seq(r.children.rbegin(), r.children.rend()));
    EXPECT_EQ(list_symbols(trie, v, false), Seq(r.outcomes.rbegin(), r.outcomes.rend()));
    for (Symbol s = 0; s < alphabet; ++s) {
      ASSERT_EQ(trie.find_child(v, s), ref.find(v, s)) << v << " " << s;
      ASSERT_EQ(trie.outcome_count(v, s), ref.count(v, s)) << v << " " << s;
    }
    EXPECT_EQ(trie.dense_counts(v), testing_support::walk_counts(trie, v));
  }

  std::mt19937_64 rng(alphabet);
  Bytes kept(n), terminal(n);
  IndexVector<NodeIndex, NodeIndex> rank(n, NO_INDEX);
  std::size_t kept_count = 0;
  for (const NodeIndex v : ref.nodes.indices()) {
    const std::size_t i = v.value();
    kept[i] = v == ROOT || (kept[ref.nodes[v].parent.value()] && rng() % 10 < 7);
    terminal[i] = static_cast<std::uint8_t>(rng() % 4);
    if (kept[i]) rank[v] = NodeIndex(kept_count++);
  }
  auto [small, new_terminal] = compact(std::move(trie), kept, terminal);
  ASSERT_EQ(small.node_count(), kept_count);
  EXPECT_EQ(small.alphabet_size(), alphabet);
  EXPECT_EQ(small.storage_depth(), storage);
  for (const NodeIndex v : ref.nodes.indices()) {  // compacted lists are in creation order
    if (!kept[v.value()]) continue;
    const NodeIndex w = rank[v];
    const Reference::Node& r = ref.nodes[v];
    EXPECT_EQ(new_terminal[w.value()], terminal[v.value()] & 1);
    EXPECT_EQ(small.node(w).parent, v == ROOT ? NodeIndex(NO_INDEX) : rank[r.parent]);
    Seq kept_children;
    for (Symbol s : r.children) {
      if (kept[ref.find(v, s).value()]) kept_children.push_back(s);
    }
    EXPECT_EQ(list_symbols(small, w, true), kept_children);
    EXPECT_EQ(list_symbols(small, w, false), r.outcomes);
    for (Symbol s = 0; s < alphabet; ++s) {
      const NodeIndex old = ref.find(v, s);
      ASSERT_EQ(small.find_child(w, s), old.has_value() ? rank[old] : NodeIndex(NO_INDEX))
          << v << " " << s;
      ASSERT_EQ(small.outcome_count(w, s), ref.count(v, s)) << v << " " << s;
    }
  }

  // Creation after compaction: existing children are found, missing ones appended once.
  std::size_t next = small.node_count();
  for (Symbol s = 0; s < alphabet; ++s) {
    const NodeIndex existing = small.find_child(ROOT, s);
    EXPECT_EQ(*small.get_or_create_child(ROOT, s),
              existing.has_value() ? existing : NodeIndex(next++));
    EXPECT_EQ(*small.get_or_create_child(ROOT, s), small.find_child(ROOT, s));
  }
  EXPECT_EQ(small.node_count(), next);
}

INSTANTIATE_TEST_SUITE_P(Alphabets, LargeAlphabetTest,
                         testing::Values(std::tuple{3, 2, 2}, std::tuple{300, 3, 2},
                                         std::tuple{1000, 1, 1}));

}  // namespace
}  // namespace ostrel
