// The bct and bic rules through the plain selector against their recursions
// as written, evaluated densely over every symbol of every node, on seeded
// random tries: the same decision at every node and depth.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/math.hpp"
#include "core_test_support.hpp"
#include "testing/plain_selection.hpp"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The recursion as written: every symbol 0..m-1 looked up on the plain outcome list and
// added in ascending order, absent ones included.
oracle::SplitPlan dense_bct(const CountTrie& trie, double beta) {
  const std::size_t m = trie.alphabet_size(), depth = trie.storage_depth(), n = trie.node_count();
  const double lb = std::log(beta), l1b = std::log1p(-beta);
  oracle::SplitPlan plan{Bytes(n, 0), Bytes(depth + 1, 0)};
  std::vector<double> unseen(depth + 1, 0.0), best(n, 0.0);
  for (std::size_t d = depth; d-- > 0;) {
    const double s = l1b + unseen[d + 1] * static_cast<double>(m);
    plan.depth_split[d] = s > lb;
    unseen[d] = s > lb ? s : lb;
  }
  const double half = static_cast<double>(m) * 0.5, lg_half = log_gamma(half);
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    double e = lg_half - log_gamma(half + static_cast<double>(node.count));
    for (Symbol j = 0; j < m; ++j) {
      double x = 0.5;
      for (OutcomeIndex o = node.first_outcome; o != NO_INDEX; o = trie.outcomes()[o].next) {
        if (trie.outcomes()[o].symbol == j) {
          x = static_cast<double>(trie.outcomes()[o].count) + 0.5;
          break;
        }
      }
      e = e + (log_gamma(x) + (-0.5723649429246995));
    }
    if (node.depth == depth) {
      best[i] = e;
      continue;
    }
    double f = l1b;
    std::size_t k = 0;
    for (EdgeIndex edge = node.first_child; edge != NO_INDEX; edge = trie.edges()[edge].next) {
      f = f + best[trie.edges()[edge].child.value()];
      ++k;
    }
    f = f + unseen[node.depth + 1] * static_cast<double>(m - k);
    const double l = lb + e;
    plan.node_split[i] = f > l;
    best[i] = f > l ? f : l;
  }
  return plan;
}

oracle::SplitPlan dense_bic(const CountTrie& trie, double penalty) {
  const std::size_t m = trie.alphabet_size(), depth = trie.storage_depth(), n = trie.node_count();
  const double node_penalty =
      std::log(static_cast<double>(std::max<Count>(trie.sample_size(), 1))) *
      ((penalty * 0.5) * static_cast<double>(m - 1));
  oracle::SplitPlan plan{Bytes(n, 0), Bytes(depth + 1, 0)};
  std::vector<double> score(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    const TrieNode& node = trie.node(static_cast<NodeIndex>(i));
    double total = 0.0;
    for (Symbol j = 0; node.count != 0 && j < m; ++j) {
      for (OutcomeIndex o = node.first_outcome; o != NO_INDEX; o = trie.outcomes()[o].next) {
        const OutcomeCount record = trie.outcomes()[o];
        if (record.symbol != j) continue;
        const double c = static_cast<double>(record.count);
        if (record.count != 0) total = total + std::log(c / static_cast<double>(node.count)) * c;
        break;
      }
    }
    score[i] = total - node_penalty;
    if (node.depth == depth || node.first_child == NO_INDEX) continue;
    double sum = 0.0;
    std::size_t k = 0;
    for (EdgeIndex e = node.first_child; e != NO_INDEX; e = trie.edges()[e].next) {
      sum = sum + score[trie.edges()[e].child.value()];
      ++k;
    }
    sum = sum - node_penalty * static_cast<double>(m - k);
    if (sum > score[i]) {
      score[i] = sum;
      plan.node_split[i] = 1;
    }
  }
  return plan;
}

struct RandomCase {
  std::size_t alphabet, depth, length;
  double parameter;  // bct's beta or bic's penalty
  double follow;
};

struct Bct {
  static constexpr std::uint64_t FIRST_SEED = 21;
  static constexpr RandomCase CASES[] = {{2, 6, 400, 0.5, 0.6},
                                         {3, 4, 400, 0.75, 0.6},
                                         {5, 3, 600, 0.6, 0.7},
                                         {300, 2, 3000, 0.999, 0.9},
                                         {320, 3, 2000, 0.9, 0.95}};
  static oracle::SplitPlan plain(const CountTrie& trie, double beta) {
    return oracle::plain_bct_select(trie, beta);
  }
  static oracle::SplitPlan dense(const CountTrie& trie, double beta) {
    return dense_bct(trie, beta);
  }
};

struct Bic {
  static constexpr std::uint64_t FIRST_SEED = 31;
  static constexpr RandomCase CASES[] = {{2, 6, 400, 1.0, 0.6},
                                         {3, 4, 400, 0.5, 0.6},
                                         {5, 3, 600, 0.3, 0.7},
                                         {300, 2, 3000, 1e-3, 0.9},
                                         {320, 3, 2000, 1e-3, 0.95}};
  static oracle::SplitPlan plain(const CountTrie& trie, double penalty) {
    return oracle::plain_bic_select(trie, penalty);
  }
  static oracle::SplitPlan dense(const CountTrie& trie, double penalty) {
    return dense_bic(trie, penalty);
  }
};

template <class Rule>
class DenseAgreementTest : public testing::Test {};
using Rules = testing::Types<Bct, Bic>;
TYPED_TEST_SUITE(DenseAgreementTest, Rules);

TYPED_TEST(DenseAgreementTest, SameDecisionsAsDenseRecursion) {
  for (const RandomCase& c : TypeParam::CASES) {
    SCOPED_TRACE(testing::Message() << "alphabet " << c.alphabet << " depth " << c.depth);
    testing_support::expect_plans_agree(
        TypeParam::FIRST_SEED, c.alphabet, c.depth, c.length, c.follow,
        [&](const CountTrie& trie) { return TypeParam::plain(trie, c.parameter); },
        [&](const CountTrie& trie) { return TypeParam::dense(trie, c.parameter); });
  }
}

}  // namespace
}  // namespace ostrel
