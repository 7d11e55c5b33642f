#pragma once
// The Bayesian mixture over every context tree of depth at most D (max_depth)
// under bct's prior: for every context seen (a node at depth 0 .. D), its
// counts, its Krichevsky-Trofimov log estimate E, its log weighted
// probability W (evidence.hpp gives the rule) and the posterior weight of its
// stopping there,
//   w = beta e^E / e^W   (1 at depth D).
// The root's W is the log evidence, equal bit for bit to the evidence pass of
// the same counts: the same terms summed in the same order (a node's outcomes
// in ascending symbol order, its children newest first, the newest being the
// one whose earliest position comes last).
//
// The predictive probability of a next symbol a after a context is the ratio
// of the evidences with and without that one position, formed along the
// context's path bottom-up without differencing: a node's
//   p(a) = w kt(a) + (1 - w) p_child(a),   kt(a) = (n_a + 1/2) / (n + m/2),
// with p = kt at depth D, and 1/m below the deepest node seen (a subtree
// without data predicts uniformly). A context shorter than D stops where it
// ends: that node predicts as a leaf, kt(a), mixed with its ancestors.
//
// Adding a position changes one root-to-depth-D path; each node on it is
// scored again from its counts, so a mixture updated position by position
// holds what one built from counts of all the positions holds, bit for bit,
// when they were added in the order the counts number them.
//
// The nodes live in one flat arena linked by index; each node's outcomes
// (ascending symbols) and children (oldest first) are blocks of two pools
// whose capacity doubles, so memory follows the data, not the alphabet.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/types.hpp"
#include "counts/counts.hpp"
#include "posterior/kt_terms.hpp"
#include "posterior/prior.hpp"
#include "representation/rows.hpp"

namespace ostrel::bct {

class Mixture {
 public:
  // A node's place in the arena (the root is 0): a plain number, since the
  // arena is this class's own.
  using Slot = std::uint32_t;

  // The mixture without data.
  Mixture(std::size_t alphabet_size, std::size_t max_depth, const BctPrior& prior);
  // The mixture of the counts' positions; they stay its counts.
  Mixture(const Counts& counts, const BctPrior& prior);

  std::size_t alphabet_size() const noexcept { return kt_.alphabet_size(); }
  std::size_t max_depth() const noexcept { return depth_; }
  const BctPrior& prior() const noexcept { return prior_; }
  Count sample_size() const noexcept { return nodes_[0].n; }
  // The natural log of the evidence of every position added (0.0 without any).
  double log_evidence() const noexcept { return nodes_[0].n == 0 ? 0.0 : nodes_[0].W; }
  // Nodes held, the root included.
  std::size_t nodes() const noexcept { return nodes_.size(); }

  // The counts of every row the mixture holds, when it was built from counts
  // (false otherwise).
  bool has_counts() const noexcept { return base_.has_value(); }
  Counts counts() const;

  // The predictive distribution of the symbol after `history` (its last D
  // symbols, fewer when it is shorter) into `out` (alphabet_size entries).
  // Symbols outside the alphabet are the caller's to refuse.
  void predict(std::span<const Symbol> history, std::span<double> out) const;

  // The positions update(rows) adds: those after D symbols of their row.
  Count positions(const Rows& rows) const;
  // Adds the counted positions of `rows` one at a time, each after its
  // natural-log predictive probability is written to `log_probabilities`
  // (positions(rows) entries) and, when `distributions` is not empty, its
  // predictive distribution (alphabet_size entries each). Fails, changing
  // nothing, with the counts' message when a symbol is outside the alphabet;
  // changes nothing either when memory runs out.
  std::expected<void, std::string> update(const Rows& rows, std::span<double> log_probabilities,
                                          std::span<double> distributions);
  struct Updated {
    std::vector<double> log_probabilities;
    std::vector<double> distributions;
  };
  // The same into fresh vectors.
  std::expected<Updated, std::string> update(const Rows& rows, bool distributions);

  // Per row, the natural log of its positions' probability, each predicted
  // after the positions before it in its row were added; the mixture itself
  // is left as it was.
  std::expected<std::vector<double>, std::string> log_likelihood(const Rows& rows);

  // Back to no data, keeping the room the arena has grown (no counts).
  void clear();

  // Adds position `t` of `row` (t >= D) and returns its log predictive
  // probability just before. No journal, no counts: for passes that own the
  // mixture.
  template <class T>
  double add(std::span<const T> row, std::size_t t) {
    for (std::size_t q = 0; q < depth_; ++q) context_[q] = static_cast<Symbol>(row[t - 1 - q]);
    return add_position(static_cast<Symbol>(row[t]), nullptr);
  }
  // The same without the predictive probability, for passes that need only
  // the evidence: the nodes' stopping weights are not kept up to date, so
  // the mixture predicts nothing more until clear().
  template <class T>
  void count(std::span<const T> row, std::size_t t) {
    for (std::size_t q = 0; q < depth_; ++q) context_[q] = static_cast<Symbol>(row[t - 1 - q]);
    weights_ = false;
    count_position<false>(static_cast<Symbol>(row[t]), walk(depth_));
  }

 private:
  struct Node {
    Count n;
    double e, W, w;
    std::uint64_t out_at, kid_at;  // where its blocks start in the pools
    std::uint32_t out_size, kid_size;
  };
  struct Outcome {
    Symbol symbol;
    Count count;
  };
  // A child: its symbol, its W, its slot and, for the walk, where its own
  // children's block is (its node's kid_at and kid_size, kept alike).
  struct Child {
    double W;
    std::uint64_t kid_at;
    Symbol symbol;
    Slot node;
    std::uint32_t kid_size;
  };
  struct Saved {
    Slot node;
    Node value;
  };

  void init();
  // Adds the position whose context is context_ and whose symbol is `symbol`;
  // writes its predictive distribution to `dist` when given.
  double add_position(Symbol symbol, double* dist);
  // Adds it once walk() has reached depth `reached` of its path; with
  // Predict, returns its predictive probability just before (what
  // predict_all gives it), 1/m otherwise.
  template <bool Predict>
  double count_position(Symbol symbol, std::size_t reached);
  // The path of context_ through existing nodes: its deepest depth.
  std::size_t walk(std::size_t length) const;
  void predict_all(std::size_t reached, std::size_t length, std::span<double> out) const;
  // Returns a's count before.
  Count add_outcome(Slot node, Symbol a, Count count);
  // A new child, with symbol `symbol`, of path_[d - 1]: it becomes path_[d]
  // (and slot_[d] its place).
  void new_child(std::size_t d, Symbol symbol);
  void score(Slot node, bool deepest, bool weights);

  // Journal: node states before their first change since begin().
  void begin();
  void touch(Slot node);
  void rollback();
  template <class F>
  void with_journal(F&& f);

  std::size_t depth_;
  BctPrior prior_;
  KtTerms kt_;
  std::vector<Node> nodes_;  // the root first; parents before children
  std::vector<Outcome> outcomes_;
  std::vector<Child> children_;
  // The walk of the position being added: context_ most recent first,
  // path_[d] the node at depth d, slot_[d] its place among its parent's
  // children.
  mutable std::vector<Symbol> context_;
  mutable std::vector<Slot> path_;
  mutable std::vector<std::uint32_t> slot_;

  // weigh's results for the nodes of chains, by their terms' bits (a NaN
  // leaf term, which no node has, marks a free slot).
  struct Remembered {
    std::uint64_t leaf = ~std::uint64_t{0}, split = 0;
    double W = 0.0, w = 0.0;
  };
  static constexpr std::size_t REMEMBERED = 256;
  static std::size_t remembered_slot(double split) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(split);
    return static_cast<std::size_t>((bits ^ (bits >> 17) ^ (bits >> 31)) % REMEMBERED);
  }
  std::vector<Remembered> remembered_ = std::vector<Remembered>(REMEMBERED);

  bool weights_ = true;  // every node's w is its stopping weight
  bool journal_ = false;
  std::uint32_t epoch_ = 0;
  std::vector<std::uint32_t> stamp_;
  std::vector<Saved> saved_;
  std::vector<Outcome> saved_outcomes_;
  std::vector<Child> saved_children_;
  std::size_t mark_nodes_ = 0, mark_outcomes_ = 0, mark_children_ = 0;

  std::optional<Counts> base_;  // the counts built from
  Rows pending_;                // rows updated since, counted on demand
};

}  // namespace ostrel::bct
