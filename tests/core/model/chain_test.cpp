// Tests for the chain of a fitted model's contexts: from any starting state, a long enough
// run of symbols leads every model's answers to be those predict_proba's walk gives, for
// one model and for two; the state count is the smallest for trees where it is known.

#include "model/chain.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core_test_support.hpp"

namespace ostrel {
namespace {

struct Fitted {
  OSTRELObject model;
  ChainModel chain_model() const { return ChainModel{*model.trie, model.mask->terminal}; }
};

Fitted fitted(std::size_t alphabet, std::size_t depth, std::u32string method, std::uint64_t seed,
              std::size_t length) {
  Fitted out{testing_support::model_for(alphabet, depth, method)};
  std::mt19937_64 rng(seed);
  // Periodic rows give trees whose contexts need longer ones to tell the next
  // context, which the chain must add.
  const auto source =
      seed % 2 == 0 ? testing_support::Source::Markov : testing_support::Source::Periodic;
  const Rows rows = testing_support::random_rows(rng, source, alphabet, 2, length, length);
  EXPECT_TRUE(out.model.fit(rows).has_value());
  return out;
}

// Runs `symbols` through the chain from two starting states; once the run is longer than
// any state, both must agree and every model must answer as its own walk does.
void expect_chain_follows_walks(const ContextChain& chain, const std::vector<const Fitted*>& models,
                                const std::vector<Symbol>& symbols, std::size_t settle) {
  ASSERT_EQ(chain.answers.size(), models.size());
  std::uint32_t first = 0, last = static_cast<std::uint32_t>(chain.states - 1);
  const std::vector<std::uint8_t> kept_all(1u << 20, 1);
  for (std::size_t t = 0; t < symbols.size(); ++t) {
    first = chain.next[first * chain.alphabet_size + symbols[t]];
    last = chain.next[last * chain.alphabet_size + symbols[t]];
    if (t + 1 < settle) continue;
    ASSERT_EQ(first, last) << "at " << t;
    const std::span<const Symbol> history(symbols.data(), t + 1);
    for (std::size_t m = 0; m < models.size(); ++m) {
      const OSTRELObject& model = models[m]->model;
      const NodeIndex walked =
          deepest_selected_suffix(*model.trie, history, kept_all, model.mask->terminal);
      ASSERT_EQ(chain.answers[m][first], walked) << "model " << m << " at " << t;
    }
  }
}

std::vector<Symbol> random_symbols(std::size_t alphabet, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Symbol> out(n);
  for (Symbol& s : out) s = rng() % alphabet;
  return out;
}

TEST(ChainTest, StatesFollowEveryModelsWalk) {
  const std::u32string methods[] = {U"bct", U"bic", U"peres_shield"};
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    const std::size_t alphabet = 2 + seed % 3, depth = 1 + seed % 5;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Fitted a = fitted(alphabet, depth, methods[seed % 3], seed, 400 + 150 * seed);
    const Fitted b = fitted(alphabet, depth + 1, methods[(seed + 1) % 3], seed + 99, 900);
    const std::vector<Symbol> symbols = random_symbols(alphabet, 3000, seed);
    const ChainModel one[] = {a.chain_model()};
    const ContextChain alone = build_chain(one);
    expect_chain_follows_walks(alone, {&a}, symbols, 2 * depth + 4);
    const ChainModel two[] = {a.chain_model(), b.chain_model()};
    const ContextChain joint = build_chain(two);
    EXPECT_GE(joint.states, alone.states);
    expect_chain_follows_walks(joint, {&a, &b}, symbols, 2 * depth + 6);
  }
}

TEST(ChainTest, StateCountsOfKnownTrees) {
  // A full tree of depth 3 (bic with the smallest penalty keeps every node): 2^3 states.
  Fitted full{testing_support::model_for(2, 3, U"bic")};
  auto config = FitConfig::create(2, 3, U"bic", {}, 1e-300, U"condition");
  ASSERT_TRUE(config.has_value());
  full.model = OSTRELObject(*config);
  std::mt19937_64 rng(5);
  ASSERT_TRUE(full.model
                  .fit(testing_support::random_rows(rng, testing_support::Source::Uniform, 2, 1,
                                                    4000, 4000))
                  .has_value());
  const ChainModel one[] = {full.chain_model()};
  EXPECT_EQ(build_chain(one).states, 8u);

  // The root alone: one state whose every symbol leads back to it.
  Fitted root{testing_support::model_for(3, 0, U"bct")};
  ASSERT_TRUE(root.model.fit(Rows{{0, 1, 2, 2}}).has_value());
  const ChainModel lone[] = {root.chain_model()};
  const ContextChain chain = build_chain(lone);
  EXPECT_EQ(chain.states, 1u);
  EXPECT_EQ(chain.next, (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(ChainTest, TooManyTransitionsAreRefusedBeforeBuilding) {
  Fitted root{testing_support::model_for(CHAIN_LIMIT + 1, 0, U"bic")};
  ASSERT_TRUE(root.model.fit(Rows{{0, 1}}).has_value());
  const ChainModel lone[] = {root.chain_model()};
  EXPECT_THROW(build_chain(lone), ChainTooLarge);
}

}  // namespace
}  // namespace ostrel
