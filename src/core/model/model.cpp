// Fitting and querying one model.

#include "model/model.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "fit/fit.hpp"
#include "fit/given_tree.hpp"
#include "model/dot.hpp"
#include "model/rates.hpp"
#include "representation/context_tree.hpp"
#include "selection/peres_shield.hpp"

namespace ostrel {

namespace {

constexpr const char* NOT_FITTED = "fit must be called before querying the model";
constexpr const char* NOT_IN_TREE =
    "context is not in the fitted tree; use get_suffix(sequence) for model backoff";

std::unexpected<ModelError> error(ErrorKind kind, std::string message) {
  return std::unexpected(ModelError{kind, std::move(message)});
}

// The value of `f` applied to a successful result, or the result's error.
template <class T, class F>
auto then(ModelResult<T>&& result, F&& f) -> ModelResult<std::invoke_result_t<F, T&>> {
  if (!result) return std::unexpected(std::move(result.error()));
  return f(*result);
}

template <class F>
auto then(ModelResult<void>&& result, F&& f) -> ModelResult<std::invoke_result_t<F>> {
  if (!result) return std::unexpected(std::move(result.error()));
  return f();
}

// Counts fit only a model of their alphabet size and depth.
std::expected<void, std::string> same_shape(const Counts& counts, const FitConfig& config) {
  if (counts.alphabet_size() != config.alphabet_size) {
    return std::unexpected("data holds counts of alphabet_size " +
                           std::to_string(counts.alphabet_size()) + "; the model's is " +
                           std::to_string(config.alphabet_size));
  }
  if (counts.max_depth() != config.max_depth) {
    return std::unexpected("data holds counts of max_depth " + std::to_string(counts.max_depth()) +
                           "; the model's is " + std::to_string(config.max_depth));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> OSTRELObject::fit(const Rows& rows) {
  auto fitted = fit_rows(rows, config);
  if (!fitted) return std::unexpected(std::move(fitted.error()));
  store(std::move(*fitted));
  return {};
}

std::expected<void, std::string> OSTRELObject::fit(const Counts& counts) {
  if (auto tree = require_symbol_contexts(counts, "OSTREL.fit()"); !tree) return tree;
  if (auto shape = same_shape(counts, config); !shape) return shape;
  store(fit_counts(counts, config));
  return {};
}

std::expected<void, std::string> OSTRELObject::fit_tree(const Rows& rows, const Rows& contexts) {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) return valid;
  auto tree = ContextTree::build(contexts, config.alphabet_size, config.max_depth);
  if (!tree) return std::unexpected(std::move(tree.error()));
  auto fitted = fit_given_rows(rows, *tree, config);
  if (!fitted) return std::unexpected(std::move(fitted.error()));
  store(std::move(*fitted));
  return {};
}

std::expected<void, std::string> OSTRELObject::fit_tree(const Counts& counts,
                                                        const Rows& contexts) {
  if (auto tree = require_symbol_contexts(counts, "OSTREL.fit_tree()"); !tree) return tree;
  if (auto shape = same_shape(counts, config); !shape) return shape;
  auto tree = ContextTree::build(contexts, config.alphabet_size, config.max_depth);
  if (!tree) return std::unexpected(std::move(tree.error()));
  store(fit_given_counts(counts, *tree, config));
  return {};
}

void OSTRELObject::store(FittedTrie fitted) {
  // A fitted trie holds only the selected tree, so every node is kept and
  // `kept` is all ones: derivable, and never written to a state (the state
  // checks it and writes the terminal flags alone). It is held anyway so that
  // a fitted model is a trie with a TreeMask like any selection's result, and
  // queries and tests walk it with the one deepest_selected_suffix that
  // hand-built tries with dropped nodes need; one byte per node beside the
  // node's 32.
  TreeMask fitted_mask{std::vector<std::uint8_t>(fitted.first.node_count(), 1),
                       std::move(fitted.second)};
  // Nothing below can fail: moves only.
  trie = std::move(fitted.first);
  mask = std::move(fitted_mask);
}

ModelResult<void> OSTRELObject::require_fit() const {
  if (!fitted()) return error(ErrorKind::Runtime, NOT_FITTED);
  return {};
}

ModelResult<void> OSTRELObject::validate_symbols(std::span<const Symbol> sequence) const {
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    if (sequence[i] >= config.alphabet_size) {
      return error(ErrorKind::Value, "symbol " + std::to_string(sequence[i]) + " at sequence[" +
                                         std::to_string(i) + "] is outside 0.." +
                                         std::to_string(config.alphabet_size));
    }
  }
  return {};
}

ModelResult<NodeIndex> OSTRELObject::resolve_active_context(
    std::span<const Symbol> sequence) const {
  if (auto valid = validate_symbols(sequence); !valid) return std::unexpected(valid.error());
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  if (sequence.size() > trie->storage_depth()) return error(ErrorKind::Key, NOT_IN_TREE);
  NodeIndex node = ROOT;
  for (auto it = sequence.rbegin(); it != sequence.rend(); ++it) {
    node = trie->find_child(node, *it);
    if (!node.has_value()) return error(ErrorKind::Key, NOT_IN_TREE);
  }
  if (node.value() >= mask->kept.size() || mask->kept[node.value()] != 1) {
    return error(ErrorKind::Key, NOT_IN_TREE);
  }
  return node;
}

SparseDistribution OSTRELObject::distribution(NodeIndex node) const {
  if (!trie) throw InternalFault("distribution requires a fitted model");
  const TrieNode& record = trie->node(node);
  const double denominator =
      static_cast<double>(record.count) + static_cast<double>(trie->alphabet_size()) * 0.5;
  SparseDistribution result{0.5 / denominator, {}};
  for (const OutcomeCount& outcome : trie->outcomes(node)) {
    const double numerator = static_cast<double>(outcome.count) + 0.5;
    result.seen.emplace_back(outcome.symbol, numerator / denominator);
  }
  return result;
}

ModelResult<Count> OSTRELObject::get_counts(std::span<const Symbol> sequence) const {
  return then(resolve_active_context(sequence),
              [&](NodeIndex node) { return trie->node(node).count; });
}

ModelResult<SparseCounts> OSTRELObject::get_transition_counts(
    std::span<const Symbol> sequence) const {
  return then(resolve_active_context(sequence), [&](NodeIndex node) {
    SparseCounts counts;
    for (const OutcomeCount& outcome : trie->outcomes(node)) {
      counts.push_back(SymbolCount{outcome.symbol, outcome.count});
    }
    return counts;
  });
}

ModelResult<SparseDistribution> OSTRELObject::get_distribution(
    std::span<const Symbol> sequence) const {
  return then(resolve_active_context(sequence), [&](NodeIndex node) { return distribution(node); });
}

ModelResult<NodeIndex> OSTRELObject::selected_node(std::span<const Symbol> history) const {
  if (auto valid = validate_symbols(history); !valid) return std::unexpected(valid.error());
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  return deepest_selected_suffix(*trie, history, mask->kept, mask->terminal);
}

ModelResult<std::vector<Symbol>> OSTRELObject::get_suffix(std::span<const Symbol> history) const {
  return then(selected_node(history), [&](NodeIndex node) { return context(*trie, node); });
}

ModelResult<SparseDistribution> OSTRELObject::predict_proba(std::span<const Symbol> history) const {
  return then(selected_node(history), [&](NodeIndex node) { return distribution(node); });
}

ModelResult<std::vector<std::vector<Symbol>>> OSTRELObject::get_contexts() const {
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  std::vector<std::vector<Symbol>> contexts;
  const auto& terminal = mask->terminal;
  for (const NodeIndex i : IndexRange<NodeIndex>(0, terminal.size())) {
    if (terminal[i.value()] == 1) contexts.push_back(context(*trie, i));
  }
  if (contexts.size() >= 2) {
    // Shorter first; equal lengths compare from the oldest symbol.
    std::stable_sort(contexts.begin(), contexts.end(),
                     [](const std::vector<Symbol>& a, const std::vector<Symbol>& b) {
                       if (a.size() != b.size()) return a.size() < b.size();
                       return a < b;
                     });
  }
  return contexts;
}

ModelResult<Count> OSTRELObject::sample_size() const {
  return then(require_fit(), [&] { return trie->sample_size(); });
}

ModelResult<std::size_t> OSTRELObject::node_count() const {
  return then(require_fit(), [&] { return trie->node_count(); });
}

ModelResult<std::size_t> OSTRELObject::context_count() const {
  return then(require_fit(), [&] {
    return static_cast<std::size_t>(std::count(mask->terminal.begin(), mask->terminal.end(), 1));
  });
}

ModelResult<std::size_t> OSTRELObject::effective_max_depth() const {
  return then(require_fit(), [&] { return trie->storage_depth(); });
}

ModelResult<std::vector<double>> OSTRELObject::log_likelihood(const Rows& rows,
                                                              std::size_t skip) const {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) {
    return error(ErrorKind::Value, std::move(valid.error()));
  }
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  return log_likelihoods(*trie, mask->terminal, rows, skip);
}

ModelResult<std::vector<double>> OSTRELObject::pointwise_log_likelihood(const Rows& rows,
                                                                        std::size_t skip) const {
  if (auto valid = check_symbols(rows, config.alphabet_size); !valid) {
    return error(ErrorKind::Value, std::move(valid.error()));
  }
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  return pointwise_log_likelihoods(*trie, mask->terminal, rows, skip);
}

namespace {

// Refuses, before anything is allocated, a result of `rows` x `columns` items
// of `bytes` bytes each that no array could hold, or whose rows no array could
// step over (even with no rows at all).
void check_result_size(std::size_t rows, std::size_t columns, std::size_t bytes) {
  const auto most = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / bytes;
  if (columns > most || (columns != 0 && rows > most / columns)) throw std::bad_alloc();
}

}  // namespace

ModelResult<ResultVector<double>> OSTRELObject::predict_proba_batch(const Rows& histories) const {
  if (auto valid = check_symbols(histories, config.alphabet_size, "histories"); !valid) {
    return error(ErrorKind::Value, std::move(valid.error()));
  }
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  check_result_size(histories.size(), config.alphabet_size, sizeof(double));
  return batch_distributions(*trie, mask->terminal, histories);
}

ModelResult<void> OSTRELObject::predict_proba_batch(const Rows& histories,
                                                    std::span<double> out) const {
  if (auto valid = check_symbols(histories, config.alphabet_size, "histories"); !valid) {
    return error(ErrorKind::Value, std::move(valid.error()));
  }
  if (auto ready = require_fit(); !ready) return ready;
  batch_distributions(*trie, mask->terminal, histories, out);
  return {};
}

ModelResult<TopSymbols> OSTRELObject::top_k(const Rows& histories, std::size_t k) const {
  if (k == 0) throw InternalFault("top_k: k below 1");
  if (auto valid = check_symbols(histories, config.alphabet_size, "histories"); !valid) {
    return error(ErrorKind::Value, std::move(valid.error()));
  }
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  check_result_size(histories.size(), std::min(k, config.alphabet_size),
                    sizeof(Symbol) + sizeof(double));
  return top_symbols(*trie, mask->terminal, histories, k);
}

ModelResult<void> OSTRELObject::check_history(std::span<const Symbol> history) const {
  if (auto valid = validate_symbols(history); !valid) return valid;
  return require_fit();
}

ModelResult<ModelSummary> OSTRELObject::summary() const {
  return then(require_fit(), [&] { return summarise(*trie, mask->terminal); });
}

ModelResult<std::string> OSTRELObject::to_dot() const {
  return then(require_fit(), [&] { return dot_text(*trie, mask->terminal); });
}

namespace {

ModelResult<double> rate_or_error(std::expected<double, std::string>&& rate) {
  if (!rate) return error(ErrorKind::Runtime, std::move(rate.error()));
  return *rate;
}

}  // namespace

ModelResult<double> OSTRELObject::entropy_rate() const {
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  return rate_or_error(ostrel::entropy_rate(ChainModel{*trie, mask->terminal}));
}

ModelResult<double> OSTRELObject::divergence_rate(const OSTRELObject& other) const {
  if (other.config.alphabet_size != config.alphabet_size) {
    return error(ErrorKind::Value, "other has alphabet_size " +
                                       std::to_string(other.config.alphabet_size) +
                                       "; the model's is " + std::to_string(config.alphabet_size));
  }
  if (auto ready = require_fit(); !ready) return std::unexpected(ready.error());
  if (!other.fitted()) {
    return error(ErrorKind::Runtime, "fit must be called on other before comparing with it");
  }
  return rate_or_error(ostrel::divergence_rate(ChainModel{*trie, mask->terminal},
                                               ChainModel{*other.trie, other.mask->terminal}));
}

}  // namespace ostrel
