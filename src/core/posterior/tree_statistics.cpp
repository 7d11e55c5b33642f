// One walk of the counts' keys down the given tree, then the tree's value
// bottom-up over its inner nodes (preorder numbers them parents first).

#include "posterior/tree_statistics.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "counts/max_likelihood.hpp"
#include "posterior/posterior.hpp"
#include "selection/bct.hpp"

namespace ostrel::bct {

namespace {
constexpr std::size_t NO_LEAF_CONTEXT = ~std::size_t{0};
}  // namespace

TreeStatistics tree_statistics(const Counts& counts, const ContextTree& tree,
                               const BctPrior& prior) {
  const detail::KeyedLeaves& keyed = counts.keyed();
  const std::size_t m = counts.alphabet_size(), depth = counts.max_depth();
  if (counts.starts()) throw InternalFault("tree_statistics: counts from their rows' start");
  if (tree.alphabet_size() != m || tree.depth() > depth) {
    throw InternalFault("tree_statistics: a tree of another alphabet or depth");
  }
  // The tree's leaves with data: their outcomes, and which context each is.
  detail::ContextOutcomes contexts;
  std::vector<std::size_t> context_of(tree.leaf_count(), NO_LEAF_CONTEXT);
  detail::with_front_keys(keyed, [&](const auto& keys) {
    LeafWalk walk(tree);
    const std::size_t n = keyed.size();
    std::size_t begin = 0, current = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t leaf =
          walk.next(keyed.leaves.shared[i], [&](std::size_t d) { return keys.context(i, d); });
      if (i != 0 && leaf == current) continue;
      if (i != 0) {
        context_of[current] = contexts.contexts().size();
        contexts.add(keyed, keys, begin, i);
      }
      begin = i;
      current = leaf;
    }
    if (n != 0) {
      context_of[current] = contexts.contexts().size();
      contexts.add(keyed, keys, begin, n);
    }
  });

  // A subtree's value and its first counted position (none without data).
  struct Valued {
    double value;
    std::uint64_t first;
  };
  constexpr std::uint64_t NO_DATA = std::numeric_limits<std::uint64_t>::max();
  Rule rule(m, depth, prior.beta);
  // The best subtree without data at a depth: a leaf (beta >= 1/2).
  auto empty_value = [&](std::size_t d) { return d == depth ? 0.0 : prior.lb; };
  auto leaf_value = [&](std::size_t leaf) -> Valued {
    const std::size_t d = tree.leaf_depth(leaf);
    if (context_of[leaf] == NO_LEAF_CONTEXT) return {empty_value(d), NO_DATA};
    const auto& context = contexts.contexts()[context_of[leaf]];
    const auto outcomes = contexts.outcomes(context);
    Count count = 0;
    for (const SymbolCount& o : outcomes) count += o.count;
    const double e = rule.estimate(count, outcomes);
    return {d == depth ? e : prior.lb + e, context.first};
  };
  Valued root{0.0, NO_DATA};
  if (tree.root_is_leaf()) {
    root = leaf_value(0);
  } else {
    std::vector<Valued> inner(tree.inner_count());
    std::vector<Valued> with_data;
    std::vector<double> empty_inner;  // split children without data, by ascending symbol
    for (std::size_t v = tree.inner_count(); v-- > 0;) {
      const std::size_t d = tree.inner_depth(v);
      with_data.clear();
      empty_inner.clear();
      for (Symbol s = 0; s < m; ++s) {
        const std::uint64_t entry = tree.child(v, s);
        const bool is_leaf = (entry & ContextTree::LEAF) != 0;
        const Valued child = is_leaf
                                 ? leaf_value(static_cast<std::size_t>(entry & ~ContextTree::LEAF))
                                 : inner[static_cast<std::size_t>(entry)];
        if (child.first != NO_DATA) {
          with_data.push_back(child);
        } else if (!is_leaf) {
          empty_inner.push_back(child.value);
        }
      }
      // Child-list order: the newest child first.
      std::sort(with_data.begin(), with_data.end(),
                [](const Valued& a, const Valued& b) { return a.first > b.first; });
      double total = prior.l1b;
      std::uint64_t first = NO_DATA;
      for (const Valued& child : with_data) {
        total = total + child.value;
        first = std::min(first, child.first);
      }
      // The missing children as leaves without data, as bct counts them,
      // then what each one that splits adds to that.
      const double u = empty_value(d + 1);
      total = total + u * static_cast<double>(m - with_data.size());
      for (const double value : empty_inner) total = total + (value - u);
      inner[v] = {total, first};
    }
    root = inner[0];
  }

  TreeStatistics out{};
  std::size_t shallow = 0;
  for (std::size_t leaf = 0; leaf < tree.leaf_count(); ++leaf) {
    if (tree.leaf_depth(leaf) < depth) ++shallow;
  }
  out.log_prior =
      static_cast<double>(tree.inner_count()) * prior.l1b + static_cast<double>(shallow) * prior.lb;
  out.log_posterior = root.value - posterior(counts, prior, 0).log_evidence;
  out.summary = criteria(tree.leaf_count(), m, counts.sample_size(), contexts.log_likelihood());
  out.depth = tree.depth();
  return out;
}

}  // namespace ostrel::bct
