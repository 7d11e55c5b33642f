// The sorting builder against the building rules walked position by position: on seeded
// random inputs every strategy and both offset widths must give the same trie record for
// record, and the same selections and compacted tries after it.

#include "fit/count.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <ranges>
#include <string>
#include <vector>

#include "core_test_support.hpp"
#include "fit/assemble.hpp"
#include "fit/compact.hpp"
#include "fit/fit.hpp"
#include "representation/context_scan.hpp"
#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/peres_shield.hpp"
#include "testing/plain_selection.hpp"
#include "testing/walking_builder.hpp"

namespace ostrel {
namespace {

using detail::SortStrategy;
using testing_support::expect_same_trie;
using testing_support::Input;
using testing_support::inputs;
using Bytes = std::vector<std::uint8_t>;

// Selects and compacts both tries, expecting the same; returns the walked trie's result.
std::pair<CountTrie, Bytes> expect_same_selection(CountTrie fast, CountTrie walked,
                                                  const FitConfig& config) {
  const auto fast_mask = oracle::select(fast, config), walked_mask = oracle::select(walked, config);
  if (!fast_mask.has_value() || !walked_mask.has_value()) {
    ADD_FAILURE() << "selection failed";
    return {CountTrie(2, 0), {}};
  }
  EXPECT_EQ(fast_mask->kept, walked_mask->kept);
  EXPECT_EQ(fast_mask->terminal, walked_mask->terminal);
  expect_same_trie(fast, walked);  // the expansion grew both alike
  auto [fast_small, fast_terminal] = compact(std::move(fast), fast_mask->kept, fast_mask->terminal);
  auto walked_small = compact(std::move(walked), walked_mask->kept, walked_mask->terminal);
  EXPECT_EQ(fast_terminal, walked_small.second);
  expect_same_trie(fast_small, walked_small.first);
  return walked_small;
}

TEST(SortingBuilderTest, BuildsTheWalkedTrieRecordForRecord) {
  const SortStrategy strategies[] = {SortStrategy::Automatic, SortStrategy::Table,
                                     SortStrategy::Buckets, SortStrategy::Packed,
                                     SortStrategy::Digits};
  for (const Input& input : inputs()) {
    SCOPED_TRACE(input.name);
    const auto walked =
        oracle::from_rows_by_walking(input.rows, input.alphabet, input.conditioning, input.storage);
    ASSERT_TRUE(walked.has_value()) << walked.error();
    for (const SortStrategy strategy : strategies) {
      SCOPED_TRACE(static_cast<int>(strategy));
      if (!detail::strategy_applies(input.rows, input.storage, strategy)) {
        EXPECT_THROW(detail::count_by_sorting<std::uint32_t>(
                         input.rows, input.alphabet, input.conditioning, input.storage, strategy),
                     InternalFault);
        continue;
      }
      const CountTrie fast = detail::count_by_sorting<std::uint32_t>(
          input.rows, input.alphabet, input.conditioning, input.storage, strategy);
      expect_same_trie(fast, *walked);
      // Every list is reachable through lookups, side index included.
      for (const NodeIndex v : fast.nodes().indices()) {
        for (const ChildEdge& e : fast.children(v))
          ASSERT_EQ(fast.find_child(v, e.symbol), e.child);
        for (const OutcomeCount& o : fast.outcomes(v)) {
          ASSERT_EQ(fast.outcome_count(v, o.symbol), o.count);
        }
      }
    }
    expect_same_trie(detail::count_by_sorting<std::uint64_t>(input.rows, input.alphabet,
                                                             input.conditioning, input.storage),
                     *walked);
    struct Method {
      const char* name;
      std::u32string method;
      std::optional<double> beta;
    };
    const Method methods[] = {{"bct", U"bct", input.alphabet < 55 ? 0.5 : 0.99},
                              {"bct", U"bct", 0.9},
                              {"bic", U"bic", std::nullopt},
                              {"peres_shield", U"ps", std::nullopt}};
    // Selected and compacted, from the whole trie; and under bct and bic also
    // straight from the sorted leaves (conditioning on as many symbols as stored).
    const auto walked_full =
        oracle::from_rows_by_walking(input.rows, input.alphabet, input.storage, input.storage);
    ASSERT_TRUE(walked_full.has_value());
    for (const Method& m : methods) {
      SCOPED_TRACE(m.name);
      const auto config =
          FitConfig::create(input.alphabet, input.storage, m.method, m.beta, {}, U"condition");
      ASSERT_TRUE(config.has_value()) << config.error();
      const CountTrie fast = detail::count_by_sorting<std::uint32_t>(input.rows, input.alphabet,
                                                                     input.storage, input.storage);
      const auto [expected, terminal] = expect_same_selection(fast, *walked_full, *config);
      if (config->method == SelectionMethod::PeresShield) continue;
      for (const SortStrategy strategy : strategies) {
        if (!detail::strategy_applies(input.rows, input.storage, strategy)) continue;
        const auto direct = detail::fit_by_selection<std::uint32_t>(input.rows, *config, strategy);
        expect_same_trie(direct.first, expected);
        EXPECT_EQ(direct.second, terminal);
      }
      const auto wide =
          detail::fit_by_selection<std::uint64_t>(input.rows, *config, SortStrategy::Automatic);
      expect_same_trie(wide.first, expected);
    }
  }
}

// The bottom-up scan hands every node its outcomes in ascending symbol order, their first
// offsets in creation order, and its children in child-list order: the orders the
// selectors' sums and the compacted lists need, bit for bit.
template <class T>
struct OrderCheck {
  using Value = double;  // the node's index in the walked trie
  const CountTrie& walked;
  std::span<const T> symbols;
  std::vector<std::size_t> preorders;

  template <class Run>
  double node(std::size_t preorder, std::size_t depth, const Run& run,
              std::span<const SymbolCount> outcomes, std::span<const std::uint32_t> firsts,
              std::span<const detail::ChildValue<std::uint32_t, double>> children) {
    NodeIndex node = ROOT;
    for (std::size_t d = 1; d <= depth && node.has_value(); ++d) {
      node = walked.find_child(node, symbols[run.first - d]);
    }
    EXPECT_NE(node, NO_INDEX);
    if (!node.has_value()) return -1.0;
    EXPECT_EQ(run.count, walked.node(node).count);
    std::vector<double> expected_children, got_children;
    for (const ChildEdge& e : walked.children(node)) expected_children.push_back(e.child.value());
    for (const auto& c : children) got_children.push_back(c.value);
    EXPECT_EQ(got_children, expected_children) << "node " << node;
    std::vector<SymbolCount> expected;
    sorted_outcomes(walked, node, expected);
    const auto same = [](const SymbolCount& a, const SymbolCount& b) {
      return a.symbol == b.symbol && a.count == b.count;
    };
    EXPECT_TRUE(std::ranges::equal(outcomes, expected, same)) << "node " << node;
    // By first offset, the records come in creation order: the walked list reversed.
    std::vector<std::size_t> by_first(outcomes.size());
    for (std::size_t i = 0; i < by_first.size(); ++i) by_first[i] = i;
    std::ranges::sort(by_first,
                      [&](std::size_t a, std::size_t b) { return firsts[a] < firsts[b]; });
    std::vector<Symbol> created, walked_order;
    for (const std::size_t i : by_first) created.push_back(outcomes[i].symbol);
    for (const OutcomeCount& o : walked.outcomes(node)) walked_order.push_back(o.symbol);
    EXPECT_TRUE(std::ranges::equal(created, walked_order | std::views::reverse)) << "node " << node;
    preorders.push_back(preorder);
    return static_cast<double>(node.value());
  }
};

TEST(SortingBuilderTest, BottomUpScanVisitsInTheSelectorsOrder) {
  for (const Input& input : inputs()) {
    SCOPED_TRACE(input.name);
    const auto walked =
        oracle::from_rows_by_walking(input.rows, input.alphabet, input.storage, input.storage);
    ASSERT_TRUE(walked.has_value());
    const auto leaves = detail::sorted_leaves<std::uint32_t>(
        input.rows, input.storage, input.storage, detail::SortStrategy::Automatic);
    if (leaves.size() == 0) continue;  // nothing counted: no node to visit
    input.rows.visit([&](auto symbols) {
      OrderCheck<typename decltype(symbols)::value_type> check{*walked, symbols, {}};
      detail::scan_bottom_up(
          leaves,
          detail::SymbolCodes(
              detail::RowKeys{symbols, std::span<const std::uint32_t>(leaves.first)},
              leaves.size()),
          input.storage + 1, check);
      std::ranges::sort(check.preorders);
      ASSERT_EQ(check.preorders.size(), walked->node_count());
      for (std::size_t i = 0; i < check.preorders.size(); ++i) ASSERT_EQ(check.preorders[i], i);
    });
  }
}

// Over 2^20 symbols, the bucketed sort of 24-bit keys needs 64-bit words: the same leaves
// as the radix sort of packed keys, which the walked tries vouch for above.
TEST(SortingBuilderTest, BucketsWithWideWordsMatchTheRadixSort) {
  const Rows rows = testing_support::markov_rows(11, 4, 2, 600000, 0.7);
  auto leaves = [&](SortStrategy strategy) {
    return detail::sorted_leaves<std::uint32_t>(rows, 11, 11, strategy);
  };
  const auto buckets = leaves(SortStrategy::Buckets), packed = leaves(SortStrategy::Packed);
  EXPECT_EQ(buckets.first, packed.first);
  EXPECT_EQ(buckets.count, packed.count);
  EXPECT_EQ(buckets.shared, packed.shared);
  EXPECT_GT(packed.size(), 100000u);
}

TEST(SortingBuilderTest, ChecksSymbolsAsWalkingDoes) {
  const Rows rows{{0, 1, 1}, {0, 7, 5, 7}, {9}};
  for (auto build : {from_rows_with_storage, oracle::from_rows_by_walking}) {
    const auto trie = build(rows, 3, 1, 1);
    ASSERT_FALSE(trie.has_value());
    EXPECT_EQ(trie.error(), "symbol 7 at data[1][1] is outside 0..3");
  }
}

}  // namespace
}  // namespace ostrel
