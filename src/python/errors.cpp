// The module's internal-fault type and the mapping of model errors to the
// interpreter's exception types.

#include "errors.hpp"

namespace ostrel::binding {

namespace {

PyObject* cached_internal_fault = nullptr;

}  // namespace

PyObject* internal_fault_type() {
  if (cached_internal_fault == nullptr) {
    cached_internal_fault = PyErr_NewExceptionWithDoc(
        "ostrel.InternalFault",
        "An invariant of the model core was violated. This is a bug in ostrel, not an input "
        "error.",
        PyExc_BaseException, nullptr);
  }
  return cached_internal_fault;
}

void raise_internal_fault(const char* message) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) {
    PyErr_Clear();
    type = PyExc_SystemError;
  }
  PyErr_SetString(type, message);
}

void raise_model_error(const ModelError& error) {
  PyObject* type = PyExc_ValueError;
  if (error.kind == ErrorKind::Runtime) type = PyExc_RuntimeError;
  if (error.kind == ErrorKind::Key) type = PyExc_KeyError;
  PyErr_SetString(type, error.message.c_str());
}

}  // namespace ostrel::binding
