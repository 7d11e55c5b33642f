#pragma once
// Building the interpreter objects of answers. Each function gives a new
// reference, or a null Ref with the interpreter's error set; `answer` turns a
// model result into its object or raises its error.

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "errors.hpp"
#include "model/model.hpp"
#include "model/top_symbols.hpp"
#include "posterior/tree_contexts.hpp"
#include "posterior/tree_statistics.hpp"
#include "ref.hpp"
#include "representation/rows.hpp"

namespace ostrel::binding {

Ref from_count(Count value);
Ref from_symbols(std::span<const Symbol> symbols);
// A list of `alphabet_size` entries, entry s for symbol s.
Ref from_counts(const SparseCounts& counts, std::size_t alphabet_size);
Ref from_distribution(const SparseDistribution& distribution, std::size_t alphabet_size);
Ref from_contexts(const std::vector<std::vector<Symbol>>& contexts);
Ref from_floats(std::span<const double> values);
// {"contexts", "sample_size", "parameters", "log_likelihood", "aic", "bic"}.
Ref from_summary(const ModelSummary& summary);
// {"log_prior", "log_posterior", "log_likelihood", "parameters", "aic", "bic",
// "contexts", "depth"}; contexts is their number.
Ref from_tree_statistics(const bct::TreeStatistics& statistics);
// A list of (contexts, log posterior) pairs, one per tree in order, each
// tree's contexts as from_contexts lists them.
Ref from_ranked_trees(std::span<const bct::RankedTree> trees);

// The pair of (rows, columns) Arrays top_k answers: the symbols (int64, or
// uint64 when the alphabet reaches beyond int64) and their probabilities.
Ref from_top_symbols(TopSymbols&& top, std::size_t rows, std::size_t alphabet_size);
// A pointwise score's terms as a float64 Array; with `offsets`, the pair of it
// and the int64 Array of len(rows) + 1 positions where each row's terms start
// (the last their number): each row has one term per position from `skip` on.
Ref from_terms(std::vector<double>&& terms, const Rows& rows, std::size_t skip, bool offsets);

// A model answer as a new interpreter object made by `convert` (value ->
// Ref), or its error raised.
template <class T, class Convert>
PyObject* answer(const ModelResult<T>& result, Convert&& convert) {
  if (!result) {
    raise_model_error(result.error());
    return nullptr;
  }
  return convert(*result).release();
}

}  // namespace ostrel::binding
