// The class Counts: constructor, deallocator, adding rows, merging with `+`,
// copying and pickling, and read-only properties. Each entry point only
// converts arguments, calls the native value and converts its answer; the
// pattern around it lives in entry.hpp.

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"

namespace ostrel::binding {

namespace {

PyTypeObject* cached_type = nullptr;

// A new Counts object holding `value`.
PyObject* new_counts(PyTypeObject* type, Counts value) {
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* instance = reinterpret_cast<CountsInstance*>(object);
  new (instance->storage) Counts(std::move(value));
  new (instance->exporter_storage) ExporterCache();
  instance->borrow = 0;
  return object;
}

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

constexpr const char* CONSTRUCTOR_PARAMETERS[] = {"alphabet_size", "max_depth", "part"};

PyObject* counts_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref given[3];
    if (!parse_arguments("Counts.__new__()", CONSTRUCTOR_PARAMETERS, 2, 2, args, kwargs, given)) {
      return nullptr;
    }
    std::size_t alphabet_size = 0, max_depth = 0;
    std::uint64_t part = 0;
    if (!to_size(given[0].get(), "alphabet_size", alphabet_size)) return nullptr;
    if (!to_size(given[1].get(), "max_depth", max_depth)) return nullptr;
    if (given[2] && !to_u64(given[2].get(), "part", part)) return nullptr;
    auto counts = Counts::create(alphabet_size, max_depth, part);
    if (!counts) return raise_value_error(counts.error());
    return new_counts(type, std::move(*counts));
  });
}

void counts_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CountsInstance*>(self)->state().~Counts();
  reinterpret_cast<CountsInstance*>(self)->exporters().~ExporterCache();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// ---- methods ---------------------------------------------------------------

constexpr const char* DATA[] = {"data"};

PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Exclusive, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref data[1];
    if (!parse_arguments("Counts.add()", DATA, 1, args, kwargs, data)) return nullptr;
    Rows rows;
    if (!to_rows(data[0].get(), "data", rows, instance.exporters())) return nullptr;
    auto added = instance.state().add(rows);
    if (!added) return raise_value_error(added.error());
    Py_RETURN_NONE;
  });
}

PyObject* reduce(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, Counts>(self, [](CountsInstance& instance) -> PyObject* {
    return reduce_to_state(instance.state().state());
  });
}

PyObject* copy(PyObject* self, PyObject* /*unused*/) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    return new_counts(Py_TYPE(self), instance.state());
  });
}

PyObject* deep_copy(PyObject* self, PyObject* /*memo*/) { return copy(self, nullptr); }

// a + b: the counts of the rows of both, as a new value.
PyObject* merge(PyObject* a, PyObject* b) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = counts_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(a, type) || !PyObject_TypeCheck(b, type)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    auto& left = *reinterpret_cast<CountsInstance*>(a);
    auto& right = *reinterpret_cast<CountsInstance*>(b);
    BorrowGuard left_guard(left, Access::Shared);
    if (!left_guard) return nullptr;
    BorrowGuard right_guard(right, Access::Shared);
    if (!right_guard) return nullptr;
    auto merged = Counts::merge(left.state(), right.state());
    if (!merged) return raise_value_error(merged.error());
    return new_counts(type, std::move(*merged));
  });
}

PyObject* counts_repr(PyObject* self) {
  return entry<Access::Shared, Counts>(self, [](CountsInstance& instance) -> PyObject* {
    const Counts& counts = instance.state();
    const std::string text =
        "<ostrel.Counts alphabet_size=" + std::to_string(counts.alphabet_size()) +
        " max_depth=" + std::to_string(counts.max_depth()) +
        " part=" + std::to_string(counts.part()) +
        " sample_size=" + std::to_string(counts.sample_size()) + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <class Function>
constexpr PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"add", as_cfunction(add), METH_VARARGS | METH_KEYWORDS,
     "add($self, data)\n--\n\n"
     "Count the rows of `data`, taken as OSTREL.fit takes them, after the rows\n"
     "added before. A failed call counts nothing."},
    {"__reduce__", reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nThe state that pickling stores."},
    {"__copy__", copy, METH_NOARGS, "__copy__($self, /)\n--\n\nAn independent copy."},
    {"__deepcopy__", deep_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nAn independent copy."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------

template <class Read>
PyObject* property(PyObject* self, Read&& read) {
  return entry<Access::Shared, Counts>(
      self, [&](CountsInstance& instance) -> PyObject* { return read(instance.state()); });
}

PyObject* get_alphabet_size(PyObject* self, void*) {
  return property(self,
                  [](const Counts& counts) { return PyLong_FromSize_t(counts.alphabet_size()); });
}

PyObject* get_max_depth(PyObject* self, void*) {
  return property(self, [](const Counts& counts) { return PyLong_FromSize_t(counts.max_depth()); });
}

PyObject* get_part(PyObject* self, void*) {
  return property(self,
                  [](const Counts& counts) { return PyLong_FromUnsignedLongLong(counts.part()); });
}

PyObject* get_sample_size(PyObject* self, void*) {
  return property(
      self, [](const Counts& counts) { return PyLong_FromUnsignedLongLong(counts.sample_size()); });
}

PyGetSetDef properties[] = {
    {"alphabet_size", get_alphabet_size, nullptr, "Symbols are 0 .. alphabet_size - 1.", nullptr},
    {"max_depth", get_max_depth, nullptr,
     "The context length: the first max_depth symbols of each row are context only.", nullptr},
    {"part", get_part, nullptr,
     "The part that add() counts rows into: the last part these counts hold.", nullptr},
    {"sample_size", get_sample_size, nullptr, "The number of counted positions.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Counts(alphabet_size, max_depth, *, part=0)\n--\n\n"
                    "The counts of a set of rows: what fitting needs of them and nothing more.\n\n"
                    "Rows are added with add() and belong to `part`. Counts of different parts\n"
                    "merge with `+` into the counts of all their rows, ordered by part and then\n"
                    "by the order they were added, whatever order the merges run in.\n"
                    "OSTREL.fit(counts) fits the model that fitting those rows in that order\n"
                    "fits. Counts pickle to a compact state independent of the machine.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(counts_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(counts_new)},
    {Py_tp_repr, reinterpret_cast<void*>(counts_repr)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {Py_nb_add, reinterpret_cast<void*>(merge)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "ostrel.Counts", static_cast<int>(sizeof(CountsInstance)), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

PyTypeObject* counts_type() {
  if (cached_type == nullptr) {
    cached_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  }
  return cached_type;
}

PyObject* restore_counts(std::span<const std::uint8_t> state) {
  PyTypeObject* type = counts_type();
  if (type == nullptr) return nullptr;
  auto counts = Counts::from_state(state);
  if (!counts) return raise_value_error(counts.error());
  return new_counts(type, std::move(*counts));
}

}  // namespace ostrel::binding
