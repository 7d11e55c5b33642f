// The module entry: creates the module `ostrel` once per process, with the
// class OSTREL, `__version__` and `__all__`.

#include <Python.h>

#include <atomic>

#include "entry.hpp"

namespace ostrel::binding {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ostrel",
    "",  // the module's docstring is the empty string
    0,
    nullptr,
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
  PyTypeObject* type = ostrel_type();
  if (type == nullptr) return false;
  if (!add_to_all(module, "OSTREL")) return false;
  return PyObject_SetAttrString(module, "OSTREL", reinterpret_cast<PyObject*>(type)) == 0;
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
    if (!add_class(module.get()) || !add_version(module.get())) return nullptr;
    return module.release();
  });
}
