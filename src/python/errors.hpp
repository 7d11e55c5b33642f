#pragma once
// The exceptions the module raises for what the core reports: its own
// internal-fault type for a broken invariant, and the interpreter's types for
// the kinds of a model error.

#include <Python.h>

#include "model/model.hpp"

namespace ostrel::binding {

// ostrel.InternalFault (derived from BaseException), created once per
// process; null with the interpreter's error set when it cannot be created.
PyObject* internal_fault_type();

// Raises the internal-fault exception with `message` (SystemError when the
// type cannot be created).
void raise_internal_fault(const char* message);

// Raises the exception of a model error: ValueError, RuntimeError or KeyError.
void raise_model_error(const ModelError& error);

}  // namespace ostrel::binding
