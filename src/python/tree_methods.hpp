#pragma once
// The methods that read counts by context and take a tree the caller gives:
// Counts.context_counts, Counts.max_log_likelihood, Counts.tree_statistics
// and OSTREL.fit_tree (tree_methods.cpp); their class files list them.

#include <Python.h>

namespace ostrel::binding {

PyObject* counts_context_counts(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* counts_max_log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* counts_tree_statistics(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ostrel_fit_tree(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace ostrel::binding
