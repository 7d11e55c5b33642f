#pragma once
// The methods that read counts by context and take a tree the caller gives:
// Counts.context_counts, Counts.max_log_likelihood, Counts.tree_statistics
// and OSTREL.fit_tree (tree_methods.cpp); their class files list them. The
// Counts methods refuse counts made from their rows' start first, as
// Counts.top_trees does; OSTREL.fit_tree's model refuses them.

#include <Python.h>

#include <string_view>

#include "counts/counts.hpp"

namespace ostrel::binding {

// Whether `reader` (a name such as "Counts.top_trees()") can read the counts
// as a tree over the alphabet's symbols; false with ValueError for counts
// made from their rows' start.
bool symbol_contexts(const Counts& counts, std::string_view reader);

PyObject* counts_context_counts(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* counts_max_log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* counts_tree_statistics(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ostrel_fit_tree(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ostrel::binding
