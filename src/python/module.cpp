// The module entry: creates the module `ostrel` once per process, with the
// class OSTREL, `__version__` and `__all__`, the class Counts, and the
// function that rebuilds pickled objects.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "arguments.hpp"
#include "array.hpp"
#include "classes.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "members.hpp"
#include "mixture_functions.hpp"
#include "state/state.hpp"

namespace ostrel::binding {

namespace {

// Rebuilds a pickled object of any class from its state: every class's
// __reduce__ names this function (members.hpp says why).
PyObject* restore_state(PyObject*, PyObject* state) {
  return guarded([&]() -> PyObject* {
    if (!PyBytes_Check(state) && !PyByteArray_Check(state) && !PyMemoryView_Check(state)) {
      raise_cannot_convert(state, "bytes", "state");
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(state, &view, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
      Py_buffer& view;
      ~Release() { PyBuffer_Release(&view); }
    } release{view};
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(view.buf),
                                              static_cast<std::size_t>(view.len));
    StateReader header(bytes);
    const StateKind kind = header.kind();
    if (!header) {
      PyErr_SetString(PyExc_ValueError, header.error().c_str());
      return nullptr;
    }
    switch (kind) {
      case StateKind::Model:
        return restore<OSTRELObject>(bytes);
      case StateKind::Counts:
        return restore<Counts>(bytes);
      case StateKind::Array:
        return restore<ResultArray>(bytes);
      case StateKind::Mixture:
        return restore<bct::Mixture>(bytes);
    }
    PyErr_SetString(PyExc_ValueError, "invalid ostrel state: unknown kind");
    return nullptr;
  });
}

PyMethodDef module_functions[] = {
    {"_restore", restore_state, METH_O,
     "_restore($module, state, /)\n--\n\n"
     "Rebuild an ostrel object from the state that pickling it gave."},
    {"change_point_posterior", as_cfunction(change_point_posterior), METH_VARARGS | METH_KEYWORDS,
     CHANGE_POINT_POSTERIOR_DOC},
    {"segment", as_cfunction(segment), METH_VARARGS | METH_KEYWORDS, SEGMENT_DOC},
    {"choose_hyperparameters", as_cfunction(choose_hyperparameters), METH_VARARGS | METH_KEYWORDS,
     CHOOSE_HYPERPARAMETERS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ostrel",
    "",  // the module's docstring is the empty string
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Appends `name` to the module's __all__, creating the list when absent.
bool add_to_all(PyObject* module, const char* name) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return false;
  PyUnicode_InternInPlace(&text);
  Ref entry_name(text);
  return PyList_Append(all.get(), entry_name.get()) == 0;
}

bool add_class(PyObject* module) {
  if (internal_fault_type() == nullptr) return false;
  PyTypeObject* type = type_of<OSTRELObject>();
  if (type == nullptr) return false;
  if (!add_to_all(module, "OSTREL")) return false;
  return PyObject_SetAttrString(module, "OSTREL", reinterpret_cast<PyObject*>(type)) == 0;
}

// Counts is an attribute of the module but not one of the names that
// `from ostrel import *` takes, which stay OSTREL and __version__.
bool add_counts(PyObject* module) {
  PyTypeObject* type = type_of<Counts>();
  if (type == nullptr) return false;
  return PyObject_SetAttrString(module, "Counts", reinterpret_cast<PyObject*>(type)) == 0;
}

// Likewise the class of results that hold many numbers.
bool add_array(PyObject* module) {
  PyTypeObject* type = type_of<ResultArray>();
  if (type == nullptr) return false;
  return PyObject_SetAttrString(module, "Array", reinterpret_cast<PyObject*>(type)) == 0;
}

// And the mixture over every tree, which Counts.mixture makes.
bool add_mixture(PyObject* module) {
  PyTypeObject* type = type_of<bct::Mixture>();
  if (type == nullptr) return false;
  return PyObject_SetAttrString(module, "Mixture", reinterpret_cast<PyObject*>(type)) == 0;
}

bool add_version(PyObject* module) {
  if (!add_to_all(module, "__version__")) return false;
  Ref version(PyUnicode_FromString("0.3.0"));
  return version && PyObject_SetAttrString(module, "__version__", version.get()) == 0;
}

}  // namespace
}  // namespace ostrel::binding

PyMODINIT_FUNC PyInit_ostrel(void) {
  using namespace ostrel::binding;
  return guarded([]() -> PyObject* {
    Ref module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    if (initialised.exchange(true)) {
      PyErr_SetString(PyExc_ImportError,
                      "ostrel may be initialised only once per interpreter process");
      return nullptr;
    }
    if (!add_class(module.get()) || !add_version(module.get()) || !add_counts(module.get()) ||
        !add_array(module.get()) || !add_mixture(module.get())) {
      return nullptr;
    }
    return module.release();
  });
}
