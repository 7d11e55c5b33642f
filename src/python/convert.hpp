#pragma once
// Argument parsing and conversion between interpreter objects and native
// values. Every function that can fail returns false (or a null Ref) with the
// interpreter's exception set; a TypeError raised while converting an argument
// is re-raised with the prefix "argument '<name>': ", other errors unchanged.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "ref.hpp"
#include "representation/trie.hpp"

namespace ostrel::binding {

// Matches positional and keyword arguments against `names`, of which the
// first `required` must be given. `function` is the full name used in the
// messages, such as "OSTREL.fit()". out[i] holds the argument or stays null.
bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* args, PyObject* kwargs, std::span<Ref> out);
// The same where only the first `by_position` parameters may be given by
// position (the others are keyword-only).
bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     std::size_t by_position, PyObject* args, PyObject* kwargs, std::span<Ref> out);

// If the current exception is a TypeError, replaces it by a TypeError whose
// message is "argument '<name>': " + the old message, keeping its cause.
void prefix_type_error(const char* name);

// An integer-like object (index protocol) from 0 to 2^64 - 1.
bool to_u64(PyObject* object, const char* name, std::uint64_t& out);
// An integer-like object (index protocol) from 0 to the largest native word.
bool to_size(PyObject* object, const char* name, std::size_t& out);
// A str, as code points (lone surrogates included).
bool to_text(PyObject* object, const char* name, std::u32string& out);
// None (absent) or anything with a float conversion.
bool to_optional_float(PyObject* object, const char* name, std::optional<double>& out);
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

Ref from_count(Count value);
Ref from_symbols(std::span<const Symbol> symbols);
// A list of `alphabet_size` entries, entry s for symbol s.
Ref from_counts(const SparseCounts& counts, std::size_t alphabet_size);
Ref from_distribution(const SparseDistribution& distribution, std::size_t alphabet_size);
Ref from_contexts(const std::vector<std::vector<Symbol>>& contexts);

// ---- scoring, sampling, summarising ----------------------------------------

Ref from_floats(std::span<const double> values);
// {"contexts", "sample_size", "parameters", "log_likelihood", "aic", "bic"}.
Ref from_summary(const ModelSummary& summary);

}  // namespace ostrel::binding
