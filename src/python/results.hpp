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
#include "posterior/tree_contexts.hpp"
#include "posterior/tree_statistics.hpp"
#include "ref.hpp"

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
