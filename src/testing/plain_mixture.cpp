// FOR TESTING ONLY: the mixture over context trees by enumeration.

#include "testing/plain_mixture.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

namespace ostrel::oracle {

namespace {

using Context = std::vector<Symbol>;  // most recent symbol first

struct Position {
  Context context;  // its D symbols before it
  Symbol symbol;
};

// The D symbols before position t of `row`, START (`start`) beyond its start.
Context context_of(const std::vector<Symbol>& row, std::size_t t, std::size_t depth, Symbol start) {
  Context context(depth);
  for (std::size_t q = 0; q < depth; ++q) context[q] = q < t ? row[t - 1 - q] : start;
  return context;
}

std::vector<Position> positions_of(const PlainRows& rows, std::size_t m, std::size_t depth,
                                   bool starts) {
  std::vector<Position> out;
  for (const auto& row : rows) {
    for (std::size_t t = starts ? 0 : depth; t < row.size(); ++t) {
      out.push_back({context_of(row, t, depth, m), row[t]});
    }
  }
  return out;
}

bool starts_with(const Context& context, const Context& prefix) {
  return std::equal(prefix.begin(), prefix.end(), context.begin());
}

// Whether a context ends with START (`m`): a leaf of every tree.
bool at_start(const Context& node, std::size_t m) { return !node.empty() && node.back() == m; }

// Every complete tree of depth at most `depth` as its leaves; with `starts`,
// each node's children include START's.
void trees_below(const Context& node, std::size_t m, std::size_t depth, bool starts,
                 std::vector<std::vector<Context>>& out) {
  out.push_back({node});
  if (node.size() == depth || at_start(node, m)) return;
  // The leaves of each child's trees, combined in every way.
  std::vector<std::vector<Context>> combined{{}};
  for (Symbol s = 0; s < m + starts; ++s) {
    Context child = node;
    child.push_back(s);
    std::vector<std::vector<Context>> of_child;
    trees_below(child, m, depth, starts, of_child);
    std::vector<std::vector<Context>> next;
    for (const auto& prefix : combined) {
      for (const auto& leaves : of_child) {
        auto joined = prefix;
        joined.insert(joined.end(), leaves.begin(), leaves.end());
        next.push_back(joined);
      }
    }
    combined = std::move(next);
  }
  out.insert(out.end(), combined.begin(), combined.end());
}

// ln beta for each leaf above D that is not START's (a split's 1 - beta is
// the caller's).
double log_prior(const std::vector<Context>& leaves, std::size_t m, std::size_t depth,
                 double beta) {
  double value = 0.0;
  for (const auto& leaf : leaves) {
    if (leaf.size() < depth && !at_start(leaf, m)) value += std::log(beta);
  }
  return value;
}

// The number of a's among `past` positions whose context starts with `s`.
std::size_t count_of(const std::vector<Position>& past, const Context& s, Symbol a) {
  std::size_t n = 0;
  for (const Position& p : past) n += starts_with(p.context, s) && p.symbol == a;
  return n;
}
std::size_t total_of(const std::vector<Position>& past, const Context& s) {
  std::size_t n = 0;
  for (const Position& p : past) n += starts_with(p.context, s);
  return n;
}

// The discount of a count n at depth d, read from the depth's three (counts 1, 2, 3 or more).
double discount_of(const bct::KneserNey& estimator, std::size_t d, std::size_t n) {
  constexpr std::size_t CLASSES = bct::KneserNey::CLASSES;
  if (n == 0) return 0.0;
  return estimator.discounts()[d * CLASSES + std::min(n, CLASSES) - 1];
}

// With `starts`, START's children count among a context's children.
double kneser_ney(const bct::KneserNey& estimator, std::size_t m, bool starts,
                  const std::vector<Position>& past, const Context& s, Symbol a, bool backing);

// The backing-off distribution of `s` (continuation counts), or uniform above
// the root.
double backing_off(const bct::KneserNey& estimator, std::size_t m, bool starts,
                   const std::vector<Position>& past, const Context& s, Symbol a) {
  return kneser_ney(estimator, m, starts, past, s, a, true);
}

double kneser_ney(const bct::KneserNey& estimator, std::size_t m, bool starts,
                  const std::vector<Position>& past, const Context& s, Symbol a, bool backing) {
  const std::size_t d = s.size();
  auto parent = [&] {
    if (d == 0) return 1.0 / static_cast<double>(m);
    return backing_off(estimator, m, starts, past, Context(s.begin(), s.end() - 1), a);
  };
  // Counts of each symbol: raw, or the children of s in whose context it followed.
  auto count = [&](Symbol b) -> std::size_t {
    if (!backing) return count_of(past, s, b);
    std::size_t children = 0;
    for (Symbol c = 0; c < m + starts; ++c) {
      Context child = s;
      child.push_back(c);
      children += count_of(past, child, b) > 0;
    }
    return children;
  };
  std::size_t total = 0;
  double discounted = 0.0;
  for (Symbol b = 0; b < m; ++b) {
    const std::size_t n = count(b);
    total += n;
    discounted += discount_of(estimator, d, n);
  }
  if (total == 0) return parent();
  const double theta = estimator.concentrations()[d];
  const std::size_t n = count(a);
  return (static_cast<double>(n) - discount_of(estimator, d, n) + (theta + discounted) * parent()) /
         (static_cast<double>(total) + theta);
}

double predict(const bct::EstimatorChoice& estimator, std::size_t m, bool starts,
               const std::vector<Position>& past, const Context& leaf, Symbol a) {
  if (const auto* dirichlet = std::get_if<bct::DirichletChoice>(&estimator)) {
    return (static_cast<double>(count_of(past, leaf, a)) + dirichlet->alpha) /
           (static_cast<double>(total_of(past, leaf)) + static_cast<double>(m) * dirichlet->alpha);
  }
  return kneser_ney(std::get<bct::KneserNey>(estimator), m, starts, past, leaf, a, false);
}

double log_add(double a, double b) {
  const double hi = std::max(a, b), lo = std::min(a, b);
  return hi == -INFINITY ? hi : hi + std::log1p(std::exp(lo - hi));
}

double tree_log_probability(const std::vector<Context>& leaves, const std::vector<Position>& all,
                            std::size_t m, bool starts, const bct::EstimatorChoice& estimator) {
  double value = 0.0;
  std::vector<Position> past;
  for (const Position& p : all) {
    const auto leaf = std::find_if(leaves.begin(), leaves.end(),
                                   [&](const Context& l) { return starts_with(p.context, l); });
    value += std::log(predict(estimator, m, starts, past, *leaf, p.symbol));
    past.push_back(p);
  }
  return value;
}

std::vector<EnumeratedTree> trees_of(const std::vector<Position>& all, std::size_t m,
                                     std::size_t depth, double beta,
                                     const bct::EstimatorChoice& estimator, bool starts) {
  std::vector<std::vector<Context>> trees;
  trees_below({}, m, depth, starts, trees);
  std::vector<EnumeratedTree> out;
  for (const auto& leaves : trees) {
    // A split's 1 - beta for each of the tree's internal nodes, each of which
    // has m children (m + 1 with START's).
    std::size_t internal = (leaves.size() - 1) / (m + starts - 1);
    const double value = log_prior(leaves, m, depth, beta) +
                         static_cast<double>(internal) * std::log1p(-beta) +
                         tree_log_probability(leaves, all, m, starts, estimator);
    out.push_back({leaves, value});
  }
  return out;
}

double log_evidence_of(const std::vector<Position>& all, std::size_t m, std::size_t depth,
                       double beta, const bct::EstimatorChoice& estimator, bool starts) {
  double total = -INFINITY;
  for (const EnumeratedTree& tree : trees_of(all, m, depth, beta, estimator, starts)) {
    total = log_add(total, tree.log_value);
  }
  return total;
}

}  // namespace

std::vector<EnumeratedTree> enumerated_trees(const PlainRows& rows, std::size_t alphabet_size,
                                             std::size_t depth, double beta,
                                             const bct::EstimatorChoice& estimator, bool starts) {
  return trees_of(positions_of(rows, alphabet_size, depth, starts), alphabet_size, depth, beta,
                  estimator, starts);
}

double enumerated_log_evidence(const PlainRows& rows, std::size_t alphabet_size, std::size_t depth,
                               double beta, const bct::EstimatorChoice& estimator, bool starts) {
  return log_evidence_of(positions_of(rows, alphabet_size, depth, starts), alphabet_size, depth,
                         beta, estimator, starts);
}

std::vector<double> enumerated_predictive(const PlainRows& rows, const std::vector<Symbol>& history,
                                          std::size_t alphabet_size, std::size_t depth, double beta,
                                          const bct::EstimatorChoice& estimator, bool starts) {
  std::vector<Position> all = positions_of(rows, alphabet_size, depth, starts);
  const double before = log_evidence_of(all, alphabet_size, depth, beta, estimator, starts);
  all.push_back({context_of(history, history.size(), depth, alphabet_size), 0});
  std::vector<double> out(alphabet_size);
  for (Symbol a = 0; a < alphabet_size; ++a) {
    all.back().symbol = a;
    out[a] = std::exp(log_evidence_of(all, alphabet_size, depth, beta, estimator, starts) - before);
  }
  return out;
}

}  // namespace ostrel::oracle
