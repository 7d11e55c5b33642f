#pragma once
// The Bayesian mixture over every context tree of depth at most D (max_depth)
// under bct's prior, each leaf predicting by an estimator: for every context
// seen (a node at depth 0 .. D), its counts, its estimator's state and the
// posterior weight w of its stopping there (1 at depth D).
//
// The predictive probability of a next symbol a after a context is formed
// along the context's path bottom-up, without differencing: a node's
//   p(a) = w q(a) + (1 - w) p_child(a),
// q the node's own estimate, with p = q at depth D. A subtree without data
// predicts as its root's estimate does: uniformly under the Dirichlet
// estimator (1/m), by the deepest node seen under Kneser-Ney, whose
// children without data back off to it. A context shorter than D stops where
// it ends: that node predicts as a leaf, q(a), mixed with its ancestors.
//
// Two estimators, one walk:
// - Dirichlet (dirichlet.hpp; alpha = 1/2, Krichevsky-Trofimov, is bct's):
//   depends on the counts alone. Each node keeps its log estimate E and log
//   weighted probability W (evidence.hpp gives the rule), and its weight is
//     w = beta e^E / e^W.
//   The root's W is the log evidence, equal bit for bit to the evidence pass
//   of the same counts: the same terms summed in the same order (a node's
//   outcomes in ascending symbol order, its children newest first, the newest
//   being the one whose earliest position comes last). Adding a position
//   scores each node of its path again from its counts, so a mixture updated
//   position by position holds what one built from counts of all the
//   positions holds, bit for bit, when they were added in the order the
//   counts number them.
// - Kneser-Ney (kneser_ney.hpp): a node's estimate depends on every position
//   before it, so the mixture is grown position by position from empty. A
//   node keeps the odds R = w / (1 - w) of its stopping, which a position
//   multiplies by q(a) / p_child(a) (the Bayes update of the two hypotheses'
//   probabilities), held as a double and a power of 2^512 so that no odds
//   underflow or overflow. The log evidence is the sum, in order, of the log
//   predictive probabilities of the positions added.
//
// Rows counted from their start (starts(); counts/counts.hpp): contexts run
// over the m symbols and START (the symbol m), which ends every context that
// reaches a row's start. A node whose context holds START is a start node:
// START is the last symbol of its context, it has no children, and it is a
// leaf of every tree, as a node at depth D is (w = 1, W = E). Every other node
// splits as usual, so its children may include a start node, which
// Kneser-Ney's continuation counts count as any other child. Predictions stay
// over the m symbols: START is never predicted, and nothing is renormalised.
// Position t < D of a row has the context row[t - 1], ..., row[0], START, and
// its path ends at depth t + 1.
//
// The nodes live in one flat arena linked by index; each node's outcomes
// (ascending symbols) and children (oldest first) are blocks of two pools
// whose capacity doubles, so memory follows the data, not the alphabet. The
// outcome record of symbol a at a node also links to the node of the context
// one longer, a followed by the node's context: the path of the next
// position in a row, which a pass over rows reads instead of walking down
// from the root (a start node's record links to the start node one deeper).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/types.hpp"
#include "counts/counts.hpp"
#include "model/top_symbols.hpp"
#include "posterior/dirichlet.hpp"
#include "posterior/kneser_ney.hpp"
#include "posterior/prior.hpp"
#include "representation/rows.hpp"
#include "util/pool.hpp"

namespace ostrel::bct {

// What a node of a mixture keeps beside its counts, per estimator.
struct DirichletState {
  double e, W, w;  // log estimate, log weighted probability, stopping weight
};
struct KneserNeyState {
  Count tables;                      // its continuation counts' total
  double r, w, v;                    // odds r 2^(512 scale); w = R / (1 + R), v = 1 / (1 + R)
  std::int64_t scale;                // the odds' power of 2^512
  KneserNey::Classes classes;        // its symbols by count class
  KneserNey::Classes table_classes;  // and by continuation-count class
};

template <class Estimator>
struct NodeStateOf;
template <>
struct NodeStateOf<Dirichlet> {
  using type = DirichletState;
};
template <>
struct NodeStateOf<KneserNey> {
  using type = KneserNeyState;
};

template <class Estimator>
class MixtureOf {
 public:
  // A node's place in the arena (the root is 0): a plain number, since the
  // arena is this class's own.
  using Slot = std::uint32_t;
  static constexpr Slot NO_SLOT = ~Slot{0};
  static constexpr bool SEQUENTIAL = std::is_same_v<Estimator, KneserNey>;

  // The mixture without data, of rows counted from their start when
  // `starts`.
  MixtureOf(std::size_t max_depth, const BctPrior& prior, Estimator estimator, bool starts = false);
  // The mixture of the counts' positions (an estimator of counts alone), of
  // their kind.
  MixtureOf(const Counts& counts, const BctPrior& prior, Estimator estimator)
    requires(!SEQUENTIAL);

  std::size_t alphabet_size() const noexcept { return estimator_.alphabet_size(); }
  std::size_t max_depth() const noexcept { return depth_; }
  // Whether rows are counted from their start, and the symbol START.
  bool starts() const noexcept { return starts_; }
  Symbol start() const noexcept { return alphabet_size(); }
  const BctPrior& prior() const noexcept { return prior_; }
  const Estimator& estimator() const noexcept { return estimator_; }
  Count sample_size() const noexcept { return nodes_[0].n; }
  // The natural log of the evidence of every position added (0.0 without any).
  double log_evidence() const noexcept {
    if constexpr (SEQUENTIAL) {
      return log_evidence_;
    } else {
      return nodes_[0].n == 0 ? 0.0 : nodes_[0].state.W;
    }
  }
  // Nodes held, the root included.
  std::size_t nodes() const noexcept { return nodes_.size(); }

  // The predictive distribution of the symbol after `history` (its last D
  // symbols, fewer when it is shorter) into `out` (alphabet_size entries).
  // Counted from their start, a shorter history is a row's beginning: its
  // context ends with START. Symbols outside the alphabet are the caller's
  // to refuse.
  void predict(std::span<const Symbol> history, std::span<double> out) const;

  // Adds the counted positions of `rows` (those after D symbols of their row)
  // one at a time, each after its natural-log predictive probability is
  // written to `log_probabilities` and, when `distributions` is not empty,
  // its predictive distribution (alphabet_size entries each). Symbols are
  // the caller's to check. Changes nothing when memory runs out. Counted
  // from their start, every position of a row is counted.
  void update(const Rows& rows, std::span<double> log_probabilities,
              std::span<double> distributions);
  // Per row, the natural log of its positions' probability from position
  // `skip` on, added left to right from 0.0: each predicted after the
  // positions before it in its row, a counted position (one after D symbols
  // of its row) then added for the rest of the row, an earlier one (skip
  // below D) predicted as far as its row reaches, as predict does, and not
  // added. The mixture itself is left as it was. Symbols are the caller's to
  // check.
  std::vector<double> log_likelihood(const Rows& rows, std::size_t skip);
  // The terms log_likelihood adds, rows one after another.
  std::vector<double> pointwise_log_likelihood(const Rows& rows, std::size_t skip);
  // The min(k, alphabet_size) most probable symbols after each history, most
  // probable first, equal probabilities in ascending symbol order, with
  // predict's probabilities bit for bit (k >= 1). Under the Dirichlet
  // estimator a symbol the path's nodes below the root have not seen is
  // ranked by its root count alone, so only the symbols seen on the path and
  // as many of the others as are wanted are predicted; under Kneser-Ney every
  // symbol the root has seen is.
  TopSymbols top_k(const Rows& histories, std::size_t k) const;

  // Back to no data, keeping the room the arena has grown.
  void clear();

  // Adds position `t` of `row` (t >= D unless counted from their start) and
  // returns its log predictive probability just before. No journal: for
  // passes that own the mixture.
  template <class T>
  double add(std::span<const T> row, std::size_t t) {
    set_context(row, t);
    linked_ = false;
    return add_position(static_cast<Symbol>(row[t]), nullptr);
  }
  // The same without the predictive probability, for passes that need only
  // the evidence: the nodes' stopping weights are not kept up to date, so
  // the mixture predicts nothing more until clear().
  template <class T>
  void count(std::span<const T> row, std::size_t t)
    requires(!SEQUENTIAL)
  {
    set_context(row, t);
    weights_ = false;
    linked_ = false;
    count_position<false>(static_cast<Symbol>(row[t]), walk(length_));
  }

 private:
  using State = typename NodeStateOf<Estimator>::type;
  struct Node {
    Count n;
    std::uint64_t out_at, kid_at;  // where its blocks start in the pools
    std::uint32_t out_size, kid_size;
    std::uint32_t slot;  // its place among its parent's children
    // Its children no record links to yet (made by a walk, not by a link):
    // without them, a link not made means no such child.
    std::uint32_t unlinked;
    State state;
  };
  struct Outcome {
    Symbol symbol;
    Count count;
    Slot next;             // the node of this symbol followed by the node's context, if known
    std::uint32_t tables;  // Kneser-Ney: its continuation count
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
  // A row-local journal's record of one outcome or child before a change.
  struct SavedOutcome {
    std::uint64_t at;
    Outcome value;
  };
  struct SavedChild {
    std::uint64_t at;
    Child value;
  };
  // A link made during a row-local journal between nodes that were there
  // before it: the record of `symbol` at node `from` links to `to`, a child
  // of `parent`. Links are a cache of the tree's shape, so the rollback
  // makes them again rather than leave the next row to look for them.
  struct Link {
    Slot from;
    Symbol symbol;
    Slot to, parent;
  };

  // A node without data, as a new node starts.
  Node fresh_node() const;
  // The first position of a row that is added: 0 counted from their start,
  // D otherwise.
  std::size_t first_counted() const noexcept { return starts_ ? 0 : depth_; }
  // The context of position t of `row` into context_, and its length into
  // length_: D, or t + 1 when it reaches the row's start (its last symbol
  // START; only counted from their start).
  template <class T>
  void set_context(std::span<const T> row, std::size_t t) {
    const std::size_t reach = t < depth_ ? t : depth_;
    for (std::size_t q = 0; q < reach; ++q) context_[q] = static_cast<Symbol>(row[t - 1 - q]);
    length_ = depth_;
    if (reach < depth_) {
      context_[reach] = start();
      length_ = reach + 1;
    }
  }
  // Adds the position whose context is context_ and whose symbol is `symbol`;
  // writes its predictive distribution to `dist` when given. Returns its log
  // predictive probability.
  double add_position(Symbol symbol, double* dist);
  // Adds it once the path has reached depth `reached` (path_ holds nodes 0 ..
  // reached); with Predict, returns its predictive probability just before
  // (what predict_all gives it), 1/m otherwise.
  template <bool Predict>
  double count_position(Symbol symbol, std::size_t reached);
  // The path of context_ through existing nodes: its deepest depth. From the
  // root, or through the links of the previous position's records.
  std::size_t walk(std::size_t length) const;
  // The rest of a walk from path_[d], whose children's block is `size`
  // records at `at`.
  std::size_t descend(std::size_t d, std::uint64_t at, std::uint32_t size,
                      std::size_t length) const;
  std::size_t follow_links();
  // One level of a walk: the child of path_[d - 1] for context_[d - 1].
  bool step(std::size_t d) const;
  // Dirichlet: the estimates q of the outcomes of nodes that have many,
  // worked out once for a batch of predictions.
  struct OwnEstimates {
    static constexpr std::uint32_t FROM = 16;
    std::unordered_map<Slot, std::size_t> at;
    std::vector<double> q;
  };
  void predict_all(std::size_t reached, std::size_t length, std::span<double> out,
                   OwnEstimates* known = nullptr) const;
  // One symbol of predict_all, bit for bit; `count(d)` is its count at path_[d]
  // (Dirichlet).
  template <class CountAt>
  double predict_one(std::size_t reached, std::size_t length, CountAt&& count) const
    requires(!SEQUENTIAL);
  // The prediction of `a` from its row's first `t` symbols (t < D), as
  // predict gives it.
  template <class T>
  double predict_early(std::span<const T> row, std::size_t t) const;
  // Runs `term(r, log_p)` for each scored position of each row, in order,
  // rows undone after each.
  template <class Term>
  void score_rows(const Rows& rows, std::size_t skip, Term&& term);
  // Kneser-Ney: the mixture's prediction of `a` over path_[0 .. reached] for a
  // context of `length`, keeping each node's estimate in q_.
  double predict_symbol(std::size_t reached, std::size_t length, Symbol a) const
    requires SEQUENTIAL;
  // Its first half: top-down, each node's estimate into q_, from its record
  // of the symbol, record_at(d) (NO_OUTCOME for none; it may make one, and
  // what it returns is read before the next call). Returns the deepest
  // node's backing-off distribution.
  template <class RecordAt>
  double estimates_down(std::size_t reached, RecordAt&& record_at) const
    requires SEQUENTIAL;
  // Asks for the path's nodes, then their outcome blocks, to be brought into
  // the cache together rather than one miss after another.
  void prefetch_path(std::size_t reached) const;
  // The record of `a` at node x (its index in outcomes_), or NO_RECORD.
  static constexpr std::uint64_t NO_RECORD = ~std::uint64_t{0};
  // What a node without a record of a symbol holds of it: no count, no table.
  static constexpr Outcome NO_OUTCOME{0, 0, NO_SLOT, 0};
  std::uint64_t find_outcome(Slot x, Symbol a) const;
  // The record of `a` at node x, made with count 0 when x has none; `before`
  // is its count.
  std::uint64_t outcome_for(Slot x, Symbol a);
  // The same, where x has none: made at place `at` of its block.
  std::uint64_t new_outcome(Slot x, std::size_t at, Symbol a);
  // A new child, with symbol `symbol`, of path_[d - 1]: it becomes path_[d].
  void new_child(std::size_t d, Symbol symbol);
  // Dirichlet: scores a node again from its counts.
  void score(Slot node, bool deepest, bool weights)
    requires(!SEQUENTIAL);
  // Kneser-Ney: a node's weights from its odds.
  static void set_weights(KneserNeyState& state);

  // Journal: node states before their first change since begin(). A
  // row-local journal (`row` true) keeps a node's record alone and each
  // outcome and child record before it changes (note_outcome, note_child),
  // few for a row; otherwise the first touch of a node keeps its blocks
  // whole, which bounds the journal by the mixture however many positions
  // are added.
  void begin(bool row = false);
  // Saves a node that the journal has not saved since begin(), if it
  // outlives a rollback.
  [[gnu::always_inline]] void touch(Slot node) {
    if (node < mark_nodes_ && stamp_[node] != epoch_) save(node);
  }
  void save(Slot node);
  [[gnu::always_inline]] void note_outcome(std::uint64_t at) {
    if (row_journal_ && at < mark_outcomes_) {
      outcome_log_.push_back(SavedOutcome{at, outcomes_[at]});
    }
  }
  [[gnu::always_inline]] void note_child(std::uint64_t at) {
    if (row_journal_ && at < mark_children_) child_log_.push_back(SavedChild{at, children_[at]});
  }
  void rollback();
  template <class F>
  void with_journal(F&& f);

  std::size_t depth_;
  bool starts_;
  BctPrior prior_;
  Estimator estimator_;
  Node fresh_;        // fresh_node(), made once
  Pool<Node> nodes_;  // the root first; parents before children
  Pool<Outcome> outcomes_;
  Pool<Child> children_;
  // The walk of the position being added: context_ most recent first, of
  // length_ symbols (D unless it ends with START), path_[d] the node at
  // depth d.
  mutable std::vector<Symbol> context_;
  mutable std::vector<Slot> path_;
  std::size_t length_;
  // The records of the last position added at path_[0 .. D - 1], and whether
  // the position being added is the next of its row (so that they link to
  // its path).
  std::vector<std::uint64_t> last_record_;
  std::vector<Slot> last_node_;  // the nodes those records are at
  bool linked_ = false;
  // Kneser-Ney: a prediction's estimates and its children's predictions by
  // depth.
  mutable std::vector<double> q_;
  // Dirichlet: a level's predictions of the node's own outcomes, and a
  // distribution that top_k ranks.
  mutable std::vector<double> own_, row_;
  std::vector<std::uint64_t> records_;  // the position's records of its symbol by depth
  double log_evidence_ = 0.0;

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
  std::vector<Remembered> remembered_;

  bool weights_ = true;  // every node's w is its stopping weight
  bool journal_ = false;
  bool row_journal_ = false;
  std::uint32_t epoch_ = 0;
  std::vector<std::uint32_t> stamp_;
  std::vector<Saved> saved_;
  std::vector<Outcome> saved_outcomes_;
  std::vector<Child> saved_children_;
  std::vector<SavedOutcome> outcome_log_;
  std::vector<SavedChild> child_log_;
  std::vector<Link> links_;
  std::size_t mark_nodes_ = 0, mark_outcomes_ = 0, mark_children_ = 0;
  double mark_evidence_ = 0.0;
};

// The estimator a mixture was made with, as a caller chooses it.
struct DirichletChoice {
  double alpha = Dirichlet::KRICHEVSKY_TROFIMOV;
};
using EstimatorChoice = std::variant<DirichletChoice, KneserNey>;

// The mixture as the binding holds it: one of the two estimators, with the
// rows it holds for pickling.
class Mixture {
 public:
  // The mixture without data, of rows counted from their start when
  // `starts`.
  Mixture(std::size_t alphabet_size, std::size_t max_depth, const BctPrior& prior,
          const EstimatorChoice& estimator = DirichletChoice{}, bool starts = false);
  // The mixture of the counts' positions, of their kind; they stay its
  // counts. The estimator must be one of counts alone (Dirichlet), unless
  // the counts are empty.
  Mixture(const Counts& counts, const BctPrior& prior,
          const EstimatorChoice& estimator = DirichletChoice{});

  std::size_t alphabet_size() const noexcept;
  std::size_t max_depth() const noexcept;
  bool starts() const noexcept;
  const BctPrior& prior() const noexcept;
  Count sample_size() const noexcept;
  double log_evidence() const noexcept;
  std::size_t nodes() const noexcept;
  // The estimator and its hyperparameters.
  EstimatorChoice estimator() const;
  // Whether the estimator depends on the order of the positions: such a
  // mixture holds its rows (rows()) rather than counts.
  bool sequential() const noexcept { return tree_.index() == 1; }

  // The counts of every row the mixture holds, when it was built from counts
  // (false otherwise).
  bool has_counts() const noexcept { return base_.has_value(); }
  Counts counts() const;
  // Every row a sequential mixture holds, in the order added.
  const Rows& rows() const noexcept { return pending_; }

  void predict(std::span<const Symbol> history, std::span<double> out) const;
  // The positions update(rows) adds: those after D symbols of their row
  // (every one, counted from their start).
  Count positions(const Rows& rows) const;
  // As MixtureOf::update; fails, changing nothing, with the counts' message
  // when a symbol is outside the alphabet.
  std::expected<void, std::string> update(const Rows& rows, std::span<double> log_probabilities,
                                          std::span<double> distributions);
  struct Updated {
    std::vector<double> log_probabilities;
    std::vector<double> distributions;
  };
  // The same into fresh vectors.
  std::expected<Updated, std::string> update(const Rows& rows, bool distributions);
  std::expected<std::vector<double>, std::string> log_likelihood(const Rows& rows,
                                                                 std::size_t skip);
  std::expected<std::vector<double>, std::string> pointwise_log_likelihood(const Rows& rows,
                                                                           std::size_t skip);
  // Fails with the message of a symbol outside the alphabet (k >= 1).
  std::expected<TopSymbols, std::string> top_k(const Rows& histories, std::size_t k) const;

 private:
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), tree_);
  }
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit(std::forward<F>(f), tree_);
  }

  std::variant<MixtureOf<Dirichlet>, MixtureOf<KneserNey>> tree_;
  std::optional<Counts> base_;  // the counts built from
  Rows pending_;                // rows updated since, counted on demand
};

// The mixture under bct's own estimate, as the change-point passes run it.
using KtMixture = MixtureOf<Dirichlet>;

}  // namespace ostrel::bct
