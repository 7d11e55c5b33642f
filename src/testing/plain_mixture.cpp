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

std::vector<Position> positions_of(const PlainRows& rows, std::size_t depth) {
  std::vector<Position> out;
  for (const auto& row : rows) {
    for (std::size_t t = depth; t < row.size(); ++t) {
      Context context(depth);
      for (std::size_t q = 0; q < depth; ++q) context[q] = row[t - 1 - q];
      out.push_back({context, row[t]});
    }
  }
  return out;
}

bool starts_with(const Context& context, const Context& prefix) {
  return std::equal(prefix.begin(), prefix.end(), context.begin());
}

// Every complete tree of depth at most `depth` as its leaves.
void trees_below(const Context& node, std::size_t m, std::size_t depth,
                 std::vector<std::vector<Context>>& out) {
  out.push_back({node});
  if (node.size() == depth) return;
  // The leaves of each child's trees, combined in every way.
  std::vector<std::vector<Context>> combined{{}};
  for (Symbol s = 0; s < m; ++s) {
    Context child = node;
    child.push_back(s);
    std::vector<std::vector<Context>> of_child;
    trees_below(child, m, depth, of_child);
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

// ln beta for each leaf above D (a split's 1 - beta is the caller's).
double log_prior(const std::vector<Context>& leaves, std::size_t depth, double beta) {
  double value = 0.0;
  for (const auto& leaf : leaves) {
    if (leaf.size() < depth) value += std::log(beta);
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

double kneser_ney(const bct::KneserNey& estimator, std::size_t m, std::size_t depth,
                  const std::vector<Position>& past, const Context& s, Symbol a, bool backing);

// The backing-off distribution of `s` (continuation counts), or uniform above
// the root.
double backing_off(const bct::KneserNey& estimator, std::size_t m, std::size_t depth,
                   const std::vector<Position>& past, const Context& s, Symbol a) {
  return kneser_ney(estimator, m, depth, past, s, a, true);
}

double kneser_ney(const bct::KneserNey& estimator, std::size_t m, std::size_t depth,
                  const std::vector<Position>& past, const Context& s, Symbol a, bool backing) {
  const std::size_t d = s.size();
  auto parent = [&] {
    if (d == 0) return 1.0 / static_cast<double>(m);
    return backing_off(estimator, m, depth, past, Context(s.begin(), s.end() - 1), a);
  };
  // Counts of each symbol: raw, or the children of s in whose context it followed.
  auto count = [&](Symbol b) -> std::size_t {
    if (!backing) return count_of(past, s, b);
    std::size_t children = 0;
    for (Symbol c = 0; c < m; ++c) {
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
    discounted += estimator.discount(d, n);
  }
  if (total == 0) return parent();
  const double theta = estimator.concentrations()[d];
  const std::size_t n = count(a);
  return (static_cast<double>(n) - estimator.discount(d, n) + (theta + discounted) * parent()) /
         (static_cast<double>(total) + theta);
}

double predict(const bct::EstimatorChoice& estimator, std::size_t m, std::size_t depth,
               const std::vector<Position>& past, const Context& leaf, Symbol a) {
  if (const auto* dirichlet = std::get_if<bct::DirichletChoice>(&estimator)) {
    return (static_cast<double>(count_of(past, leaf, a)) + dirichlet->alpha) /
           (static_cast<double>(total_of(past, leaf)) + static_cast<double>(m) * dirichlet->alpha);
  }
  return kneser_ney(std::get<bct::KneserNey>(estimator), m, depth, past, leaf, a, false);
}

double log_add(double a, double b) {
  const double hi = std::max(a, b), lo = std::min(a, b);
  return hi == -INFINITY ? hi : hi + std::log1p(std::exp(lo - hi));
}

double tree_log_probability(const std::vector<Context>& leaves, const std::vector<Position>& all,
                            std::size_t m, std::size_t depth,
                            const bct::EstimatorChoice& estimator) {
  double value = 0.0;
  std::vector<Position> past;
  for (const Position& p : all) {
    const auto leaf = std::find_if(leaves.begin(), leaves.end(),
                                   [&](const Context& l) { return starts_with(p.context, l); });
    value += std::log(predict(estimator, m, depth, past, *leaf, p.symbol));
    past.push_back(p);
  }
  return value;
}

}  // namespace

std::vector<EnumeratedTree> enumerated_trees(const PlainRows& rows, std::size_t alphabet_size,
                                             std::size_t depth, double beta,
                                             const bct::EstimatorChoice& estimator) {
  const std::vector<Position> all = positions_of(rows, depth);
  std::vector<std::vector<Context>> trees;
  trees_below({}, alphabet_size, depth, trees);
  std::vector<EnumeratedTree> out;
  for (const auto& leaves : trees) {
    // A split's 1 - beta for each of the tree's internal nodes.
    std::size_t internal = (leaves.size() - 1) / (alphabet_size - 1);
    const double value = log_prior(leaves, depth, beta) +
                         static_cast<double>(internal) * std::log1p(-beta) +
                         tree_log_probability(leaves, all, alphabet_size, depth, estimator);
    out.push_back({leaves, value});
  }
  return out;
}

double enumerated_log_evidence(const PlainRows& rows, std::size_t alphabet_size, std::size_t depth,
                               double beta, const bct::EstimatorChoice& estimator) {
  double total = -INFINITY;
  for (const EnumeratedTree& tree : enumerated_trees(rows, alphabet_size, depth, beta, estimator)) {
    total = log_add(total, tree.log_value);
  }
  return total;
}

std::vector<double> enumerated_predictive(const PlainRows& rows, const std::vector<Symbol>& history,
                                          std::size_t alphabet_size, std::size_t depth, double beta,
                                          const bct::EstimatorChoice& estimator) {
  const double before = enumerated_log_evidence(rows, alphabet_size, depth, beta, estimator);
  std::vector<double> out(alphabet_size);
  for (Symbol a = 0; a < alphabet_size; ++a) {
    PlainRows with = rows;
    std::vector<Symbol> row(history.end() - static_cast<std::ptrdiff_t>(depth), history.end());
    row.push_back(a);
    with.push_back(row);
    out[a] =
        std::exp(enumerated_log_evidence(with, alphabet_size, depth, beta, estimator) - before);
  }
  return out;
}

}  // namespace ostrel::oracle
