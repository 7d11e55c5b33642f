#pragma once
// The native state of one model object and its operations: validated
// configuration, the fitted trie and mask (both present or both absent), the
// fit that replaces them only when every step has succeeded, and the queries
// answered from them. Failures are returned as values with the kind of error
// the caller reports; nothing here knows about the interpreter.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "counts/counts.hpp"
#include "fit/fit.hpp"
#include "model/batch.hpp"
#include "model/scoring.hpp"
#include "representation/trie.hpp"
#include "selection/selection.hpp"
#include "util/result_memory.hpp"

namespace ostrel {

enum class ErrorKind : std::uint8_t {
  Value,    // bad configuration, symbol out of range, failed build or selection
  Runtime,  // the model is not fitted
  Key,      // the context is not a node of the fitted tree
};

struct ModelError {
  ErrorKind kind;
  std::string message;
};

template <class T>
using ModelResult = std::expected<T, ModelError>;

// Jeffreys-smoothed probabilities of one node in sparse form: every symbol
// has probability `unseen` except the recorded ones, listed in list order.
struct SparseDistribution {
  double unseen;
  std::vector<std::pair<Symbol, double>> seen;
};

// Counts of one node in sparse form: zero except the recorded symbols.
using SparseCounts = std::vector<SymbolCount>;

struct OSTRELObject {
  std::optional<TreeMask> mask;
  std::optional<CountTrie> trie;
  FitConfig config;

  explicit OSTRELObject(const FitConfig& configuration) : config(configuration) {}

  bool fitted() const noexcept { return trie.has_value() && mask.has_value(); }

  // The bytes the fitted state holds beyond the object itself.
  std::size_t bytes() const noexcept {
    if (!fitted()) return 0;
    return trie->bytes() + mask->kept.capacity() + mask->terminal.capacity();
  }

  // Builds, selects and compacts a new model from `rows`; stores it only when
  // every step succeeded, so a failure leaves the object as it was. The error
  // is a ValueError message.
  std::expected<void, std::string> fit(const Rows& rows);
  // The same from counts of the model's alphabet size and depth; counts of
  // another one, or made from their rows' start, are refused.
  std::expected<void, std::string> fit(const Counts& counts);
  // Fits the given complete tree (contexts oldest symbol first, each a row)
  // instead of selecting one, counting as fit counts; the trie stores to
  // max_depth whatever the method. Data errors come first (fit's messages),
  // then the tree's (context_tree.hpp); a failure changes nothing.
  std::expected<void, std::string> fit_tree(const Rows& rows, const Rows& contexts);
  std::expected<void, std::string> fit_tree(const Counts& counts, const Rows& contexts);

  ModelResult<void> validate_symbols(std::span<const Symbol> sequence) const;
  ModelResult<NodeIndex> resolve_active_context(std::span<const Symbol> sequence) const;
  SparseDistribution distribution(NodeIndex node) const;

  ModelResult<Count> get_counts(std::span<const Symbol> sequence) const;
  ModelResult<SparseCounts> get_transition_counts(std::span<const Symbol> sequence) const;
  ModelResult<SparseDistribution> get_distribution(std::span<const Symbol> sequence) const;
  ModelResult<std::vector<Symbol>> get_suffix(std::span<const Symbol> history) const;
  ModelResult<SparseDistribution> predict_proba(std::span<const Symbol> history) const;
  ModelResult<std::vector<std::vector<Symbol>>> get_contexts() const;

  // Scoring, sampling and summarising (scoring.hpp, sampling.hpp). The
  // log-likelihood of each row from position `skip` on; symbols are checked
  // first (with fit's message), then the fit.
  ModelResult<std::vector<double>> log_likelihood(const Rows& rows, std::size_t skip) const;
  // The terms log_likelihood adds, one per scored position, rows one after
  // another; the same checks in the same order.
  ModelResult<std::vector<double>> pointwise_log_likelihood(const Rows& rows,
                                                            std::size_t skip) const;
  // predict_proba of every history (rows of `histories`), row after row;
  // symbols are checked first (the rows named "histories"), then the fit,
  // then that the result can be held (std::bad_alloc when not).
  ModelResult<ResultVector<double>> predict_proba_batch(const Rows& histories) const;
  // The same into `out` (histories.size() x alphabet_size entries, which
  // the caller has checked), written only once both checks have passed.
  ModelResult<void> predict_proba_batch(const Rows& histories, std::span<double> out) const;
  // The k most probable next symbols after each history (batch.hpp), checked
  // as predict_proba_batch; k is at least 1.
  ModelResult<TopSymbols> top_k(const Rows& histories, std::size_t k) const;
  // What sampling after `history` requires: its symbols in range, then a fit.
  ModelResult<void> check_history(std::span<const Symbol> history) const;
  ModelResult<ModelSummary> summary() const;
  // The fitted tree as Graphviz DOT text (dot.hpp).
  ModelResult<std::string> to_dot() const;
  // The entropy rate of the fitted chain and its divergence rate from
  // `other`'s, in nats per symbol (rates.hpp). `other` of another alphabet
  // size is refused first (ValueError), then this model's fit is required,
  // then other's; a chain that cannot be held throws ChainTooLarge.
  ModelResult<double> entropy_rate() const;
  ModelResult<double> divergence_rate(const OSTRELObject& other) const;

  ModelResult<Count> sample_size() const;
  ModelResult<std::size_t> node_count() const;
  ModelResult<std::size_t> context_count() const;
  ModelResult<std::size_t> effective_max_depth() const;

 private:
  // Replaces the fitted state; cannot fail.
  void store(std::pair<CountTrie, std::vector<std::uint8_t>> fitted);
  ModelResult<void> require_fit() const;
  ModelResult<NodeIndex> selected_node(std::span<const Symbol> history) const;
};

}  // namespace ostrel
