// Argument parsing in the interpreter's own wording, and the conversion of
// scalar arguments.

#include "arguments.hpp"

#include <string>
#include <vector>

namespace ostrel::binding {

void prefix_type_error(const char* name) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  Ref type(raw_type), value(raw_value), traceback(raw_traceback);

  Ref text(PyObject_Str(value.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  if (Ref cause{PyException_GetCause(value.get())}) {
    PyException_SetCause(error.get(), cause.release());  // steals
  }
  if (traceback) PyException_SetTraceback(error.get(), traceback.get());
  PyErr_Restore(Py_NewRef(PyExc_TypeError), error.release(), traceback.release());
}

bool raise_argument_error(const char* name, Ref message) {
  if (message) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  return false;
}

bool raise_cannot_convert(PyObject* object, const char* target, const char* name) {
  Ref type_name(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return false;
  return raise_argument_error(
      name, Ref(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type_name.get(),
                                     target)));
}

bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* args, PyObject* kwargs, std::span<Ref> out) {
  return parse_arguments(function, names, required, names.size(), args, kwargs, out);
}

bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     std::size_t by_position, PyObject* args, PyObject* kwargs,
                     std::span<Ref> out) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  const auto positional = static_cast<std::size_t>(given);
  if (positional > by_position) {
    if (required == by_position) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                   function, by_position, given);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd were given", function,
                   required, by_position, given);
    }
    return false;
  }
  for (std::size_t i = 0; i < positional; ++i) {
    out[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", function);
        return false;
      }
      std::size_t slot = names.size();
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == names.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, key);
        return false;
      }
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function,
                     names[slot]);
        return false;
      }
      out[slot] = Ref::borrow(value);
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c', as the interpreter words it.
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0)
        list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += "'";
      list += missing[i];
      list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", function,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

bool to_u64(PyObject* object, const char* name, std::uint64_t& out) {
  Ref index = PyLong_Check(object) ? Ref::borrow(object) : Ref(PyNumber_Index(object));
  if (index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = value;
      return true;
    }
  }
  prefix_type_error(name);
  return false;
}

bool to_size(PyObject* object, const char* name, std::size_t& out) {
  if (PyLong_Check(object)) {
    if (size_from_int(object, out)) return true;
  } else {
    Ref index(PyNumber_Index(object));
    if (index && size_from_int(index.get(), out)) return true;
  }
  prefix_type_error(name);
  return false;
}

bool to_text(PyObject* object, const char* name, std::u32string& out) {
  if (!PyUnicode_Check(object)) return raise_cannot_convert(object, "PyString", name);
  const Py_ssize_t length = PyUnicode_GetLength(object);
  if (length < 0) return false;
  Py_UCS4* buffer = PyUnicode_AsUCS4Copy(object);
  if (buffer == nullptr) return false;
  try {
    out.assign(buffer, buffer + length);
  } catch (...) {
    PyMem_Free(buffer);
    throw;
  }
  PyMem_Free(buffer);
  return true;
}

bool to_bool(PyObject* object, const char* name, bool& out) {
  if (!PyBool_Check(object)) return raise_cannot_convert(object, "bool", name);
  out = object == Py_True;
  return true;
}

bool to_optional_float(PyObject* object, const char* name, std::optional<double>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  out = value;
  return true;
}

Ref to_index(PyObject* object, const char* name) {
  Ref index(PyNumber_Index(object));
  if (!index) prefix_type_error(name);
  return index;
}

bool at_least_one(PyObject* index, const char* name, std::size_t& out) {
  Ref one(PyLong_FromLong(1));
  if (!one) return false;
  const int below_one = PyObject_RichCompareBool(index, one.get(), Py_LT);
  if (below_one < 0) return false;
  if (below_one == 1) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 1", name);
    return false;
  }
  out = PyLong_AsSize_t(index);
  if (out == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    out = static_cast<std::size_t>(-1);
  }
  return true;
}

bool to_count(PyObject* object, const char* name, std::size_t& out) {
  Ref index = to_index(object, name);
  return index && at_least_one(index.get(), name, out);
}

bool to_flag(PyObject* object, bool& out) {
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

}  // namespace ostrel::binding
