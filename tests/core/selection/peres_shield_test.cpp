// Tests for peres_shield::select: documented trees, flagging at equality, the depth bound,
// nodes flagged below unflagged ones, and agreement with the fluctuation test evaluated
// densely over every symbol.

#include "selection/peres_shield.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Rows repeating(std::vector<Symbol> pattern, std::size_t length) {
  Rows rows;
  for (std::size_t t = 0; t < length; ++t) rows.push_symbol(pattern[t % pattern.size()]);
  rows.end_row();
  return rows;
}

TEST(PeresShieldTest, DocumentedTrees) {
  struct Case {
    Rows rows;
    std::size_t alphabet;
    Bytes kept, terminal;
  };
  const Case cases[] = {
      // N = 256, T = 64: both children deviate by exactly 64 and are flagged.
      {repeating({0, 1}, 257), 2, {1, 1, 1}, {0, 1, 1}},
      // N = 255, T = 63.81...: deviations of 63.749... flag nothing.
      {repeating({0, 1}, 256), 2, {1, 0, 0}, {1, 0, 0}},
      // N = 400, T = 89.44...: only the context 0 (deviation 100) enters; the root stays
      // terminal with one of three children.
      {repeating({0, 1, 0, 2}, 401), 3, {1, 1, 0, 0}, {1, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    const auto trie = from_rows_with_storage(c.rows, c.alphabet, 1, 1);
    ASSERT_TRUE(trie.has_value());
    const TreeMask mask = peres_shield::select(*trie);
    EXPECT_EQ(mask.kept, c.kept);
    EXPECT_EQ(mask.terminal, c.terminal);
  }
}

TEST(PeresShieldTest, DepthBoundAndFlagsAlongThePath) {
  // Root with counts (r0, r1); node 1 below it for symbol 0 with (p0, p1); node 2 below node
  // 1 for symbol 0 with (i0, i1). Counts are set directly, independent of any rows.
  struct Case {
    Count r0, r1, p0, p1, i0, i1;
    std::size_t storage_depth;
    Bytes kept, terminal;
  };
  const Case cases[] = {
      // N = 15 gives depth bound 0: a deviation of 15 >= 7.6 is never tested.
      {15, 0, 0, 15, 0, 0, 1, {1, 0, 0}, {1, 0, 0}},
      // N = 100 gives bound 1: node 2 deviates by 40 >= 31.6 but lies deeper.
      {50, 50, 20, 20, 80, 0, 2, {1, 0, 0}, {1, 0, 0}},
      // N = 10000 (T = 1000) gives bound 2, but the storage depth 1 limits it.
      {5000, 5000, 2000, 2000, 8000, 0, 1, {1, 0, 0}, {1, 0, 0}},
      // Same with storage depth 2: node 2 deviates by 4000 from both ancestors.
      {5000, 5000, 2000, 2000, 8000, 0, 2, {1, 1, 1}, {1, 1, 1}},
      // Node 2 deviates by 1100 from the root (flags node 1) but by 500 from node 1.
      {5000, 5000, 2800, 1200, 2600, 400, 2, {1, 1, 0}, {1, 1, 0}},
      // Node 2 deviates by 1200 from node 1 but by 800 from the root, node 1 by 800: node 2
      // is flagged below an unflagged node and stays out.
      {5000, 5000, 2800, 1200, 200, 1800, 2, {1, 0, 0}, {1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    CountTrie trie(2, c.storage_depth);
    const NodeIndex root[] = {ROOT};
    for (Count k = 0; k < c.r0 + c.r1; ++k) trie.count_position(root, k < c.r0 ? 0 : 1);
    const NodeIndex p = *trie.get_or_create_child(ROOT, 0), i = *trie.get_or_create_child(p, 0);
    for (Count k = 0; k < c.p0 + c.p1; ++k) trie.increment_outcome(p, k < c.p0 ? 0 : 1);
    for (Count k = 0; k < c.i0 + c.i1; ++k) trie.increment_outcome(i, k < c.i0 ? 0 : 1);
    const TreeMask mask = peres_shield::select(trie);
    EXPECT_EQ(mask.kept, c.kept);
    EXPECT_EQ(mask.terminal, c.terminal);
  }
}

// The selector as written: the fluctuation takes every symbol 0..A-1 from plain list walks.
TreeMask dense_peres_shield(const CountTrie& trie) {
  const std::size_t n = trie.node_count(), a = trie.alphabet_size();
  const Count big_n = trie.sample_size();
  const double threshold = std::pow(static_cast<double>(big_n), 0.75);
  std::size_t bound = 0;
  if (big_n >= 3) {
    const double v = std::floor(std::log(std::log(static_cast<double>(big_n))));
    bound = v > 0.0 ? static_cast<std::size_t>(v) : 0;
  }
  bound = std::min(bound, trie.storage_depth());
  IndexVector<NodeIndex, std::vector<Count>> counts(n);
  for (const NodeIndex i : trie.nodes().indices())
    counts[i] = testing_support::walk_counts(trie, i);
  auto fluctuation = [&](NodeIndex i, NodeIndex p) {
    if (trie.node(p).count == 0) return 0.0;
    double largest = 0.0;
    for (Symbol b = 0; b < a; ++b) {
      const double e =
          (static_cast<double>(trie.node(i).count) * static_cast<double>(counts[p][b])) /
          static_cast<double>(trie.node(p).count);
      largest = std::max(largest, std::fabs(static_cast<double>(counts[i][b]) - e));
    }
    return largest;
  };
  Bytes flagged(n, 0);
  for (const NodeIndex i : IndexRange<NodeIndex>(1, n)) {
    if (trie.node(i).depth > bound) continue;
    for (NodeIndex c = i, p = trie.node(i).parent;; c = p, p = trie.node(p).parent) {
      if (fluctuation(i, p) >= threshold) flagged[c.value()] = 1;
      if (p == ROOT) break;
    }
  }
  TreeMask mask{Bytes(n, 0), Bytes(n, 0)};
  std::vector<NodeIndex> stack{ROOT};
  while (!stack.empty()) {
    const NodeIndex v = stack.back();
    stack.pop_back();
    mask.kept[v.value()] = 1;
    std::size_t pushed = 0;
    for (EdgeIndex e = trie.node(v).first_child; e != NO_INDEX; e = trie.edges()[e].next) {
      if (flagged[trie.edges()[e].child.value()]) {
        stack.push_back(trie.edges()[e].child);
        ++pushed;
      }
    }
    mask.terminal[v.value()] = pushed < a;
  }
  return mask;
}

struct RandomCase {
  std::size_t alphabet, rows, length;
  double follow;
};

class PeresShieldDenseAgreementTest : public testing::TestWithParam<RandomCase> {};

TEST_P(PeresShieldDenseAgreementTest, SameTreeAsDenseFluctuationTest) {
  const RandomCase& c = GetParam();
  std::size_t kept_beyond_root = 0;
  for (std::uint64_t seed = 41; seed <= 43; ++seed) {
    SCOPED_TRACE(seed);
    const Rows rows = testing_support::markov_rows(seed, c.alphabet, c.rows, c.length, c.follow);
    const auto trie = from_rows_with_storage(rows, c.alphabet, 3, 3);
    ASSERT_TRUE(trie.has_value());
    const CountTrie before = *trie;
    const TreeMask expected = dense_peres_shield(*trie);
    const TreeMask mask = peres_shield::select(*trie);
    testing_support::expect_same_trie(before, *trie);
    testing_support::expect_valid_mask(*trie, mask, false);
    EXPECT_EQ(mask.kept, expected.kept);
    EXPECT_EQ(mask.terminal, expected.terminal);
    kept_beyond_root += std::count(mask.kept.begin(), mask.kept.end(), 1) - 1;
  }
  EXPECT_GT(kept_beyond_root, 0u);
}

INSTANTIATE_TEST_SUITE_P(Alphabets, PeresShieldDenseAgreementTest,
                         testing::Values(RandomCase{2, 3, 700, 0.95}, RandomCase{5, 3, 2000, 0.9},
                                         RandomCase{300, 3, 2000, 0.95},
                                         RandomCase{320, 4, 1500, 0.9}));

}  // namespace
}  // namespace ostrel
