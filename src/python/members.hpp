#pragma once
// The members every class of the module shares, written once: the cast that
// puts a method in a method table, read-only properties, pickling through
// ostrel._restore, and copies. A class's file names them in its tables with
// its native state as the template argument.

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "entry.hpp"
#include "instance.hpp"
#include "ref.hpp"

namespace ostrel::binding {

// A method of any of the signatures the method flags allow, as the table
// stores it.
template <class Function>
constexpr PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A read-only property: `read` answers from the state under a shared borrow
// (a new reference, or null with the interpreter's error set).
template <class Native, PyObject* (*read)(const Native&)>
PyObject* property(PyObject* self, void* /*closure*/) {
  return entry<Access::Shared, Native>(
      self, [](InstanceOf<Native>& instance) -> PyObject* { return read(instance.state()); });
}

// __reduce__: (ostrel._restore, (state,)). Pickle finds objects by module and
// name, and OSTREL lives under builtins where it cannot, so every class
// reduces to the module's function, looked up at every call.
template <class Native>
PyObject* reduce(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, Native>(self, [](InstanceOf<Native>& instance) -> PyObject* {
    const std::string state = ClassOf<Native>::save(instance.state());
    Ref module(PyImport_ImportModule("ostrel"));
    if (!module) return nullptr;
    Ref restore(PyObject_GetAttrString(module.get(), "_restore"));
    if (!restore) return nullptr;
    Ref bytes(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(O(O))", restore.get(), bytes.get());
  });
}

// The object that __reduce__ gave `state` for (the whole state, header
// included): a new reference, or null with ValueError set when the state is
// not valid.
template <class Native>
PyObject* restore(std::span<const std::uint8_t> state) {
  auto loaded = ClassOf<Native>::load(state);
  if (!loaded) {
    PyErr_SetString(PyExc_ValueError, loaded.error().c_str());
    return nullptr;
  }
  PyTypeObject* type = type_of<Native>();
  if (type == nullptr) return nullptr;
  return new_instance(type, std::move(*loaded));
}

// __copy__. A copy shares nothing with its original, so __deepcopy__ is the
// same copy.
template <class Native>
PyObject* copy(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, Native>(self, [&](InstanceOf<Native>& instance) -> PyObject* {
    return new_instance(Py_TYPE(self), Native(instance.state()));
  });
}

template <class Native>
PyObject* deepcopy(PyObject* self, PyObject* /*memo*/) {
  return copy<Native>(self, nullptr);
}

}  // namespace ostrel::binding
