#pragma once
// Reading symbols and rows of symbols from interpreter objects: sequences
// element by element (exact lists and tuples by index), and the integer
// buffers of the exporters whose iteration yields exactly their items, read
// directly with the same result. A failure returns false with the
// interpreter's exception set; TypeErrors carry the prefix
// "argument '<name>': ", other errors (OverflowError) are unchanged.

#include <Python.h>

#include <vector>

#include "base/types.hpp"
#include "ref.hpp"
#include "representation/rows.hpp"

namespace ostrel::binding {

// The type of the last array (NumPy's ndarray or array.array) that one model
// object read from its buffer, so that telling it from other exporters costs
// a comparison the next time.
struct ExporterCache {
  Ref type;
};

// A sequence (not a str) of integer-like symbols, read by iteration; integer
// buffers of the built-in types, array.array and NumPy's ndarray are read
// directly with the same result.
bool to_symbols(PyObject* object, const char* name, std::vector<Symbol>& out, ExporterCache& cache);
// A sequence (not a str) of such sequences; also a two-dimensional NumPy
// array of integers, as its rows.
bool to_rows(PyObject* object, const char* name, Rows& out, ExporterCache& cache);

}  // namespace ostrel::binding
