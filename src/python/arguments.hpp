#pragma once
// Argument parsing and the conversion of single arguments to native values.
// Every function that can fail returns false with the interpreter's exception
// set; a TypeError raised while converting an argument is re-raised with the
// prefix "argument '<name>': ", other errors (OverflowError) unchanged.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "ref.hpp"

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

// Raises TypeError "argument '<name>': '<type name>' object cannot be
// converted to '<target>'" for `object`; returns false.
bool raise_cannot_convert(PyObject* object, const char* target, const char* name);
// Raises TypeError "argument '<name>': " + `message` (when `message` is not
// null; else its error stays); returns false.
bool raise_argument_error(const char* name, Ref message);

// An int (exact or a subclass) as a native word, without running interpreter
// code: OverflowError, unprefixed, when it is negative or wider. Inline, as
// reading a list of symbols converts every element through it.
inline bool size_from_int(PyObject* integer, std::size_t& out) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if constexpr (std::numeric_limits<unsigned long long>::max() >
                std::numeric_limits<std::size_t>::max()) {
    if (value > std::numeric_limits<std::size_t>::max()) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
  }
  out = static_cast<std::size_t>(value);
  return true;
}

// An integer-like object (index protocol) from 0 to 2^64 - 1.
bool to_u64(PyObject* object, const char* name, std::uint64_t& out);
// An integer-like object (index protocol) from 0 to the largest native word.
bool to_size(PyObject* object, const char* name, std::size_t& out);
// A count of one or more things asked for (index protocol): ValueError
// "<name> must be at least 1" below 1, and a count beyond the native word
// asks for the largest (no more could ever be given). In two steps where
// other arguments are converted between the type check and the value check.
bool to_count(PyObject* object, const char* name, std::size_t& out);
Ref to_index(PyObject* object, const char* name);
bool at_least_one(PyObject* index, const char* name, std::size_t& out);
// A str, as code points (lone surrogates included).
bool to_text(PyObject* object, const char* name, std::u32string& out);
// True or False: a bool, not anything else that has a truth value.
bool to_bool(PyObject* object, const char* name, bool& out);
// None (absent) or anything with a float conversion.
// A flag as `if object:` reads it (false when the call fails).
bool to_flag(PyObject* object, bool& out);
bool to_optional_float(PyObject* object, const char* name, std::optional<double>& out);

}  // namespace ostrel::binding
