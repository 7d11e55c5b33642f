#pragma once
// The one pattern every method, property and slot of the module's classes
// goes through:
// receiver check, the object's borrow flag, the operation, and the mapping of
// every failure to an interpreter exception. No C++ exception leaves it:
// memory exhaustion becomes MemoryError and any other fault the module's
// internal-fault exception.

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "base/types.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "ref.hpp"

namespace ostrel::binding {

// Runs `body` (-> PyObject* new reference, or null with an exception set) and
// turns every C++ exception it throws into an interpreter exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (const CapacityExhausted& full) {
    PyErr_SetString(PyExc_MemoryError, full.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("unknown internal fault");
  }
  return nullptr;
}

// The checked receiver, or null with TypeError set.
template <class Native>
InstanceOf<Native>* receiver(PyObject* self) {
  PyTypeObject* type = type_of<Native>();
  if (type == nullptr) {
    PyErr_Print();
    raise_internal_fault(
        (std::string("failed to create type object for ") + ClassOf<Native>::name).c_str());
    return nullptr;
  }
  if (self == nullptr) {
    raise_internal_fault("a method was called without a receiver");
    return nullptr;
  }
  if (!PyType_IsSubtype(Py_TYPE(self), type)) {
    Ref name(PyType_GetName(Py_TYPE(self)));
    if (name) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                   ClassOf<Native>::name);
    }
    return nullptr;
  }
  return reinterpret_cast<InstanceOf<Native>*>(self);
}

// Runs `body` (InstanceOf<Native>& -> PyObject*) for the receiver `self`
// under the borrow `access`, guarded as above.
template <Access access, class Native, class Body>
PyObject* entry(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    InstanceOf<Native>* instance = receiver<Native>(self);
    if (instance == nullptr) return nullptr;
    BorrowGuard guard(*instance, access);
    if (!guard) return nullptr;
    return body(*instance);
  });
}

}  // namespace ostrel::binding
