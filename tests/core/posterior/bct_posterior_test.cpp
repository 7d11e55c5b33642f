// Tests for the evidence and the best trees of the BCT model: every complete tree of tiny
// cases enumerated and scored directly, the scan against the pass over the whole trie record
// for record, and the first tree against the bct fit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "core_test_support.hpp"
#include "counts/counts.hpp"
#include "fit/assemble.hpp"
#include "model/model.hpp"
#include "posterior/posterior.hpp"
#include "selection/bct.hpp"
#include "testing/plain_mixture.hpp"
#include "testing/plain_ranking.hpp"

namespace ostrel {
namespace {

using Context = std::vector<Symbol>;
using Contexts = std::vector<Context>;

CountTrie count(const Rows& rows, std::size_t alphabet, std::size_t depth) {
  auto trie = from_rows_with_storage(rows, alphabet, depth, depth);
  if (!trie) throw std::runtime_error(trie.error());
  return std::move(*trie);
}

// The posterior as Counts run it: on the keys the rows' counts hold.
double evidence_of(const Rows& rows, std::size_t alphabet, std::size_t depth, double beta) {
  return bct::posterior(testing_support::counts_of(rows, alphabet, depth), bct::BctPrior(beta), 0)
      .log_evidence;
}

std::vector<bct::RankedTree> ranked_of(const Rows& rows, std::size_t alphabet, std::size_t depth,
                                       double beta, std::size_t k) {
  const bct::Posterior posterior =
      bct::posterior(testing_support::counts_of(rows, alphabet, depth), bct::BctPrior(beta), k);
  // The evidence the ranking gives its trees is the evidence alone, bit for bit.
  EXPECT_EQ(posterior.log_evidence, evidence_of(rows, alphabet, depth, beta));
  std::vector<bct::RankedTree> trees = posterior.top_trees;
  for (bct::RankedTree& tree : trees) {
    EXPECT_EQ(tree.log_posterior, tree.log_value - posterior.log_evidence);
    tree.log_posterior = 0.0;  // as the plain ranking leaves it
  }
  return trees;
}

void sort_like_the_model(Contexts& contexts) {
  std::sort(contexts.begin(), contexts.end(), [](const Context& a, const Context& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
}

// Every complete tree of depth at most `depth` over `alphabet` symbols, each as its sorted
// contexts with its log prior plus its log Krichevsky-Trofimov probability of the rows'
// positions, computed from the rows directly with the library's lgamma.
std::map<Contexts, double> every_tree(const Rows& rows, std::size_t alphabet, std::size_t depth,
                                      double beta) {
  auto log_probability = [&](const Context& context) {
    std::vector<double> counts(alphabet, 0.0);
    double n = 0.0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t t = depth; t < rows.row_length(r); ++t) {
        bool match = true;
        for (std::size_t i = 0; i < context.size(); ++i) {
          match = match && rows.symbol(r, t - context.size() + i) == context[i];
        }
        if (match) {
          counts[rows.symbol(r, t)] += 1.0;
          n += 1.0;
        }
      }
    }
    const double half = static_cast<double>(alphabet) / 2.0;
    double kt = std::lgamma(half) - std::lgamma(n + half);
    for (const double c : counts) kt += std::lgamma(c + 0.5) - std::lgamma(0.5);
    return kt;
  };
  // The trees below `context` as their leaves, each with its log prior.
  std::function<std::vector<std::pair<Contexts, double>>(const Context&)> below =
      [&](const Context& context) {
        std::vector<std::pair<Contexts, double>> trees;
        if (context.size() == depth) return decltype(trees){{{context}, 0.0}};
        trees.push_back({{context}, std::log(beta)});
        std::vector<std::pair<Contexts, double>> splits{{{}, std::log(1.0 - beta)}};
        for (Symbol s = 0; s < alphabet; ++s) {
          Context child{s};
          child.insert(child.end(), context.begin(), context.end());
          std::vector<std::pair<Contexts, double>> grown;
          for (const auto& [partial, prior] : splits) {
            for (const auto& [leaves, child_prior] : below(child)) {
              Contexts joined = partial;
              joined.insert(joined.end(), leaves.begin(), leaves.end());
              grown.push_back({joined, prior + child_prior});
            }
          }
          splits = std::move(grown);
        }
        trees.insert(trees.end(), splits.begin(), splits.end());
        return trees;
      };
  std::map<Contexts, double> trees;
  for (auto [leaves, prior] : below({})) {
    double value = prior;
    for (const Context& leaf : leaves) value += log_probability(leaf);
    sort_like_the_model(leaves);
    trees.emplace(leaves, value);
  }
  return trees;
}

// Values from the direct enumeration sum in another order and use another lgamma.
void expect_close(double value, double expected) {
  EXPECT_NEAR(value, expected, 1e-10 * (1.0 + std::abs(expected)));
}

struct TinyCase {
  std::size_t alphabet, depth;
  double beta;
  std::size_t rows, length;  // seeded rows (few and short: single-leaf chains); 0 rows: no data
};

class BctPosteriorBruteForceTest : public testing::TestWithParam<TinyCase> {};

// Both passes against every tree scored directly: the evidence is the log of their sum, and
// asking for more trees than exist ranks all of them, each once, with its own value, best
// first.
TEST_P(BctPosteriorBruteForceTest, RanksEveryTreeAndSumsThem) {
  const TinyCase& c = GetParam();
  const Rows rows = testing_support::markov_rows(7, c.alphabet, c.rows, c.length, 0.6);
  const std::map<Contexts, double> trees = every_tree(rows, c.alphabet, c.depth, c.beta);
  double top = -INFINITY, sum = 0.0;
  for (const auto& [leaves, value] : trees) top = std::max(top, value);
  for (const auto& [leaves, value] : trees) sum += std::exp(value - top);
  std::vector<double> sorted;
  for (const auto& [leaves, value] : trees) sorted.push_back(value);
  std::sort(sorted.rbegin(), sorted.rend());

  const CountTrie trie = count(rows, c.alphabet, c.depth);
  const double evidence = oracle::plain_log_evidence(trie, c.beta);
  if (c.rows == 0) {
    EXPECT_EQ(evidence, 0.0);
  } else {
    expect_close(evidence, top + std::log(sum));
  }
  EXPECT_EQ(evidence_of(rows, c.alphabet, c.depth, c.beta), evidence);

  const auto ranked = oracle::plain_top_trees(trie, c.beta, trees.size() + 3);
  ASSERT_EQ(ranked.size(), trees.size());
  std::set<Contexts> seen;
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(trees.contains(ranked[i].contexts()));
    EXPECT_TRUE(seen.insert(ranked[i].contexts()).second);
    expect_close(ranked[i].log_value, trees.at(ranked[i].contexts()));
    expect_close(ranked[i].log_value, sorted[i]);
    if (i > 0) {
      EXPECT_LE(ranked[i].log_value, ranked[i - 1].log_value);
    }
  }
  EXPECT_EQ(ranked_of(rows, c.alphabet, c.depth, c.beta, trees.size() + 3), ranked);
}

INSTANTIATE_TEST_SUITE_P(TinyTrees, BctPosteriorBruteForceTest,
                         testing::Values(TinyCase{2, 3, 0.5, 2, 30}, TinyCase{2, 3, 0.8, 1, 40},
                                         TinyCase{2, 4, 0.6, 2, 25}, TinyCase{3, 2, 0.75, 2, 30},
                                         TinyCase{3, 3, 0.5, 1, 50}, TinyCase{3, 3, 0.7, 3, 6},
                                         TinyCase{2, 0, 0.5, 1, 9}, TinyCase{3, 2, 0.9, 0, 0}));

TEST(BctPosteriorTest, WorkedExampleHasTwoTrees) {
  // Root: 4 x 0 and 5 x 1; after 0 always 1, after 1 always 0. Split about -3.39187210108,
  // leaf about -8.22815400803.
  const Rows rows{{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}};
  const double split = -3.39187210108, leaf = -8.22815400803;
  for (const auto& trees :
       {ranked_of(rows, 2, 1, 0.5, 5), oracle::plain_top_trees(count(rows, 2, 1), 0.5, 5)}) {
    ASSERT_EQ(trees.size(), 2u);
    EXPECT_EQ(trees[0].contexts(), (Contexts{{0}, {1}}));
    EXPECT_NEAR(trees[0].log_value, split, 1e-10);
    EXPECT_EQ(trees[1].contexts(), Contexts{{}});
    EXPECT_NEAR(trees[1].log_value, leaf, 1e-10);
  }
  EXPECT_NEAR(evidence_of(rows, 2, 1, 0.5), split + std::log1p(std::exp(leaf - split)), 1e-10);
}

TEST(BctPosteriorTest, WithoutDataTreesRankByPrior) {
  // The root alone (prior beta) first; then the root split into leaves at depth 1 (prior
  // (1 - beta) beta^3); splitting one of those (prior (1 - beta)^2 beta^2) ties three ways.
  const double beta = 0.7;
  for (const auto& trees :
       {ranked_of(Rows{}, 3, 3, beta, 5), oracle::plain_top_trees(CountTrie(3, 3), beta, 5)}) {
    ASSERT_EQ(trees.size(), 5u);
    EXPECT_EQ(trees[0].contexts(), Contexts{{}});
    EXPECT_EQ(trees[0].log_value, std::log(beta));
    EXPECT_EQ(trees[1].contexts(), (Contexts{{0}, {1}, {2}}));
    expect_close(trees[1].log_value, std::log(1 - beta) + 3 * std::log(beta));
    for (std::size_t i = 2; i < 5; ++i) {
      expect_close(trees[i].log_value, 2 * std::log(1 - beta) + 5 * std::log(beta));
    }
    // Equal values: the split at the smallest symbol first.
    EXPECT_EQ(trees[2].contexts(), (Contexts{{1}, {2}, {0, 0}, {1, 0}, {2, 0}}));
    EXPECT_EQ(trees[4].contexts(), (Contexts{{0}, {1}, {0, 2}, {1, 2}, {2, 2}}));
  }
  EXPECT_EQ(evidence_of(Rows{}, 3, 3, beta), 0.0);
  EXPECT_EQ(evidence_of(Rows{{0, 1, 2}}, 3, 3, beta), 0.0);
}

struct RandomCase {
  std::size_t alphabet, depth;
  double beta;
  std::size_t k, rows, length;
  double follow;
};

class BctPosteriorRandomTest : public testing::TestWithParam<RandomCase> {};

// The scan and the pass over the whole trie form the same sums in the same order, so their
// answers agree bit for bit; and the first tree is the one the bct fit keeps, with bct's
// maximal value.
TEST_P(BctPosteriorRandomTest, ScanMatchesWholeTrieAndFirstTreeIsTheFit) {
  const RandomCase& c = GetParam();
  for (std::uint64_t seed = 31; seed < 33; ++seed) {
    SCOPED_TRACE(seed);
    const Rows rows = testing_support::markov_rows(seed, c.alphabet, c.rows, c.length, c.follow);
    const CountTrie trie = count(rows, c.alphabet, c.depth);
    EXPECT_EQ(evidence_of(rows, c.alphabet, c.depth, c.beta),
              oracle::plain_log_evidence(trie, c.beta));
    const auto ranked = ranked_of(rows, c.alphabet, c.depth, c.beta, c.k);
    ASSERT_EQ(ranked, oracle::plain_top_trees(trie, c.beta, c.k));
    ASSERT_EQ(ranked.size(), c.k);

    OSTRELObject model(
        *FitConfig::create(c.alphabet, c.depth, U"bct", c.beta, std::nullopt, U"condition"));
    ASSERT_TRUE(model.fit(rows).has_value());
    EXPECT_EQ(ranked[0].contexts(), *model.get_contexts());
    bct::Rule rule(c.alphabet, c.depth, c.beta);
    IndexVector<NodeIndex, double> best(trie.node_count());
    std::vector<SymbolCount> present;
    for (std::size_t at = trie.node_count(); at-- > 0;) {
      const NodeIndex i(at);
      sorted_outcomes(trie, i, present);
      double total = rule.split_base();
      std::size_t children = 0;
      for (const ChildEdge& edge : trie.children(i)) total = total + best[edge.child], ++children;
      best[i] = rule.decide(rule.estimate(trie.node(i).count, present), trie.node(i).depth, total,
                            children)
                    .value;
    }
    EXPECT_EQ(ranked[0].log_value, best[ROOT]);
  }
}

// Dirichlet leaves of another concentration than 1/2: the evidence is the sum over every tree
// enumerated, and the best trees are the enumeration's best, in order.
TEST(BctPosteriorDirichlet, EvidenceAndBestTreesAreTheEnumeration) {
  struct Case {
    std::size_t alphabet, depth;
    double beta, alpha;
  };
  for (const Case c : {Case{2, 3, 0.6, 0.15}, Case{3, 2, 0.7, 2.0}, Case{2, 2, 0.9, 0.02}}) {
    const Rows rows = testing_support::markov_rows(90 + c.depth, c.alphabet, 2, 40, 0.7);
    oracle::PlainRows plain(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t t = 0; t < rows.row_length(r); ++t) plain[r].push_back(rows.symbol(r, t));
    }
    std::vector<oracle::EnumeratedTree> trees =
        oracle::enumerated_trees(plain, c.alphabet, c.depth, c.beta, bct::DirichletChoice{c.alpha});
    std::sort(trees.begin(), trees.end(),
              [](const auto& a, const auto& b) { return a.log_value > b.log_value; });
    double evidence = -INFINITY;
    for (const auto& tree : trees) {
      const double hi = std::max(evidence, tree.log_value), lo = std::min(evidence, tree.log_value);
      evidence = hi + std::log1p(std::exp(lo - hi));
    }
    const bct::Posterior posterior = bct::posterior(
        testing_support::counts_of(rows, c.alphabet, c.depth), bct::BctPrior(c.beta), 3, c.alpha);
    EXPECT_NEAR(posterior.log_evidence, evidence, 1e-12 * std::abs(evidence));
    ASSERT_EQ(posterior.top_trees.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(posterior.top_trees[i].log_value, trees[i].log_value,
                  1e-12 * std::abs(trees[i].log_value));
    }
    Contexts best;
    for (Context leaf : trees[0].leaves) best.emplace_back(leaf.rbegin(), leaf.rend());
    Contexts ranked = posterior.top_trees[0].contexts();
    std::sort(best.begin(), best.end());
    std::sort(ranked.begin(), ranked.end());
    EXPECT_EQ(ranked, best);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Alphabets, BctPosteriorRandomTest,
    testing::Values(RandomCase{2, 6, 0.5, 12, 3, 300, 0.6}, RandomCase{3, 4, 0.75, 9, 3, 300, 0.6},
                    RandomCase{4, 5, 0.875, 6, 2, 500, 0.7}, RandomCase{5, 3, 0.6, 5, 2, 400, 0.7},
                    RandomCase{20, 3, 0.95, 4, 2, 300, 0.9},
                    // Long single-leaf chains: requests reach far below the first tree.
                    RandomCase{2, 60, 0.5, 8, 1, 200, 0.9}));

}  // namespace
}  // namespace ostrel
