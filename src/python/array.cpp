// The class ostrel.Array. Items live in one vector owned by the Array, or, for
// a row of a two-dimensional Array, in its parent's, which the row keeps
// alive; the vector never grows after the Array is made, so the pointers the
// buffer protocol hands out stay valid for as long as the Array lives.

#include "array.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "base/types.hpp"
#include "classes.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "members.hpp"
#include "state/state.hpp"

namespace ostrel::binding {

namespace {

constexpr std::uint8_t STATE_LAYOUT = 1;

// What each kind of item is: its struct format (native order and size), its
// NumPy name, and its size.
struct ItemKind {
  const char* format;
  const char* dtype;
  Py_ssize_t size;
};
// In the order of the alternatives of ArrayItems.
constexpr ItemKind KINDS[] = {
    {"d", "float64", 8}, {"B", "uint8", 1}, {"H", "uint16", 2},  {"I", "uint32", 4},
    {"Q", "uint64", 8},  {"q", "int64", 8}, {"d", "float64", 8},
};
static_assert(std::size(KINDS) == std::variant_size_v<ArrayItems>);
static_assert(sizeof(unsigned short) == 2 && sizeof(unsigned int) == 4 &&
              sizeof(unsigned long long) == 8 && sizeof(long long) == 8);

using ArrayInstance = InstanceOf<ResultArray>;

ResultArray& state_of(PyObject* self) { return reinterpret_cast<ArrayInstance*>(self)->state(); }

// Calls f(const T* items) with the items in their own type.
template <class F>
decltype(auto) visit_items(const ResultArray& array, F&& f) {
  switch (array.kind) {
    case 0:
    case 6:
      return f(reinterpret_cast<const double*>(array.data));
    case 1:
      return f(reinterpret_cast<const std::uint8_t*>(array.data));
    case 2:
      return f(reinterpret_cast<const std::uint16_t*>(array.data));
    case 3:
      return f(reinterpret_cast<const std::uint32_t*>(array.data));
    case 4:
      return f(reinterpret_cast<const std::uint64_t*>(array.data));
    default:
      return f(reinterpret_cast<const std::int64_t*>(array.data));
  }
}

PyObject* item_object(double value) { return PyFloat_FromDouble(value); }
PyObject* item_object(std::int64_t value) { return PyLong_FromLongLong(value); }
template <class T>
PyObject* item_object(T value) {
  return PyLong_FromUnsignedLongLong(value);
}

// The flat items [begin, end) as a new list.
Ref list_of(const ResultArray& array, Py_ssize_t begin, Py_ssize_t end) {
  Ref list(PyList_New(end - begin));
  if (!list) return list;
  const bool filled = visit_items(array, [&](const auto* items) {
    for (Py_ssize_t i = begin; i < end; ++i) {
      PyObject* item = item_object(items[i]);
      if (item == nullptr) return false;
      PyList_SetItem(list.get(), i - begin, item);  // steals
    }
    return true;
  });
  return filled ? std::move(list) : Ref();
}

Ref to_list(const ResultArray& array) {
  if (array.ndim == 1) return list_of(array, 0, array.shape[0]);
  Ref rows(PyList_New(array.shape[0]));
  if (!rows) return rows;
  for (Py_ssize_t r = 0; r < array.shape[0]; ++r) {
    Ref row = list_of(array, r * array.shape[1], (r + 1) * array.shape[1]);
    if (!row) return Ref();
    PyList_SetItem(rows.get(), r, row.release());  // steals
  }
  return rows;
}

// A new Array object around `state`, which it takes over.
PyObject* new_array(ResultArray&& state) {
  PyTypeObject* type = type_of<ResultArray>();
  if (type == nullptr) return nullptr;
  return new_instance(type, std::move(state));
}

void set_shape(ResultArray& state, int ndim, Py_ssize_t rows, Py_ssize_t columns) {
  state.ndim = ndim;
  state.shape[0] = rows;
  state.shape[1] = ndim == 2 ? columns : 0;
  state.strides[1] = state.item_size();
  state.strides[0] = ndim == 2 ? columns * state.item_size() : state.item_size();
}

ResultArray owning(ArrayItems items) {
  ResultArray state{std::move(items), Ref(), nullptr, 0, 1, {0, 0}, {0, 0}};
  state.kind = state.items.index();
  state.data = std::visit([](const auto& v) { return reinterpret_cast<const char*>(v.data()); },
                          state.items);
  return state;
}

std::size_t item_count(const ArrayItems& items) {
  return std::visit([](const auto& v) { return v.size(); }, items);
}

ResultArray one_dimensional(ArrayItems items, std::size_t n) {
  ResultArray state = owning(std::move(items));
  set_shape(state, 1, static_cast<Py_ssize_t>(n), 0);
  return state;
}

ResultArray two_dimensional(ArrayItems items, std::size_t rows, std::size_t columns) {
  const std::size_t n = item_count(items);
  const auto most = static_cast<std::size_t>(PY_SSIZE_T_MAX);
  if (rows > most || columns > most || (columns != 0 && rows > n / columns) ||
      rows * columns != n) {
    throw InternalFault("make_array: the items do not fill the shape");
  }
  ResultArray state = owning(std::move(items));
  set_shape(state, 2, static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(columns));
  return state;
}

// A copy of the flat items [begin, end).
ArrayItems copied(const ResultArray& array, Py_ssize_t begin, Py_ssize_t end, Py_ssize_t step) {
  return visit_items(array, [&](const auto* items) -> ArrayItems {
    using T = std::remove_cvref_t<decltype(*items)>;
    std::vector<T> out;
    for (Py_ssize_t i = begin; step > 0 ? i < end : i > end; i += step) out.push_back(items[i]);
    return out;
  });
}

// ---- slots -----------------------------------------------------------------

PyObject* array_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot create 'ostrel.Array' instances; ostrel's methods return them");
  return nullptr;
}

Py_ssize_t array_length(PyObject* self) { return state_of(self).length(); }

// Item `index` (from 0): a number, or a row of a two-dimensional Array.
PyObject* item_at(PyObject* self, Py_ssize_t index) {
  return guarded([&]() -> PyObject* {
    const ResultArray& array = state_of(self);
    if (index < 0 || index >= array.length()) {
      PyErr_SetString(PyExc_IndexError, "Array index out of range");
      return nullptr;
    }
    if (array.ndim == 1) {
      return visit_items(array, [&](const auto* items) { return item_object(items[index]); });
    }
    ResultArray row{std::vector<double>{},
                    Ref::borrow(self),
                    array.data + index * array.strides[0],
                    array.kind,
                    1,
                    {0, 0},
                    {0, 0}};
    set_shape(row, 1, array.shape[1], 0);
    return new_array(std::move(row));
  });
}

PyObject* array_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const ResultArray& array = state_of(self);
    if (PyIndex_Check(key)) {
      Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
      if (index == -1 && PyErr_Occurred()) return nullptr;
      if (index < 0) index += array.length();
      return item_at(self, index);
    }
    if (PySlice_Check(key)) {
      Py_ssize_t start = 0, stop = 0, step = 0;
      if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
      const Py_ssize_t n = PySlice_AdjustIndices(array.length(), &start, &stop, step);
      if (array.ndim == 1) return make_array(copied(array, start, stop, step)).release();
      // Rows of a two-dimensional Array, copied whole.
      ArrayItems rows = copied(array, 0, 0, 1);
      std::visit([&](auto& out) { out.reserve(static_cast<std::size_t>(n * array.shape[1])); },
                 rows);
      for (Py_ssize_t r = start, k = 0; k < n; r += step, ++k) {
        ArrayItems row = copied(array, r * array.shape[1], (r + 1) * array.shape[1], 1);
        std::visit(
            [&](auto& out) {
              const auto& in = std::get<std::remove_cvref_t<decltype(out)>>(row);
              out.insert(out.end(), in.begin(), in.end());
            },
            rows);
      }
      return make_array(std::move(rows), static_cast<std::size_t>(n),
                        static_cast<std::size_t>(array.shape[1]))
          .release();
    }
    Ref name(PyType_GetName(Py_TYPE(key)));
    if (name) {
      PyErr_Format(PyExc_TypeError, "Array indices must be integers or slices, not %U", name.get());
    }
    return nullptr;
  });
}

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ResultArray& array = state_of(self);
  const bool matrix = array.ndim == 2 && array.shape[0] > 1 && array.shape[1] > 1;
  // Items are stored row after row: C-contiguous, and Fortran-contiguous only
  // when there is but one row or one column.
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && matrix) {
    PyErr_SetString(PyExc_BufferError, "ostrel.Array items are stored row after row");
    view->obj = nullptr;
    return -1;
  }
  view->obj = Py_NewRef(self);
  view->buf = const_cast<char*>(array.data);
  view->len = array.count() * array.item_size();
  view->readonly = 0;
  view->itemsize = array.item_size();
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(KINDS[array.kind].format) : nullptr;
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? array.ndim : 1;
  view->shape = shaped ? array.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* array_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return guarded([&]() -> PyObject* {
    Ref mine = to_list(state_of(self));
    if (!mine) return nullptr;
    PyTypeObject* type = type_of<ResultArray>();
    if (type == nullptr) return nullptr;
    Ref theirs = PyObject_TypeCheck(other, type) ? to_list(state_of(other)) : Ref::borrow(other);
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
  });
}

PyObject* array_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const ResultArray& array = state_of(self);
    const char* dtype = KINDS[array.kind].dtype;
    if (array.ndim == 1 && array.length() <= 8) {
      Ref items = to_list(array);
      if (!items) return nullptr;
      return PyUnicode_FromFormat("ostrel.Array(%R, dtype=%s)", items.get(), dtype);
    }
    if (array.ndim == 1) {
      return PyUnicode_FromFormat("<ostrel.Array of %zd %s>", array.shape[0], dtype);
    }
    return PyUnicode_FromFormat("<ostrel.Array of %zd x %zd %s>", array.shape[0], array.shape[1],
                                dtype);
  });
}

// ---- methods and properties -------------------------------------------------

PyObject* tolist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return to_list(state_of(self)).release(); });
}

PyObject* copy(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ResultArray& array = state_of(self);
    ArrayItems items = copied(array, 0, array.count(), 1);
    return (array.ndim == 1 ? make_array(std::move(items))
                            : make_array(std::move(items), static_cast<std::size_t>(array.shape[0]),
                                         static_cast<std::size_t>(array.shape[1])))
        .release();
  });
}

PyObject* deepcopy(PyObject* self, PyObject*) { return copy(self, nullptr); }

PyObject* sizeof_array(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ResultArray& array = state_of(self);
    const std::size_t owned =
        std::visit([](const auto& v) { return v.capacity() * sizeof(v[0]); }, array.items);
    return PyLong_FromSize_t(sizeof(ArrayInstance) + owned);
  });
}

PyObject* get_shape(PyObject* self, void*) {
  const ResultArray& array = state_of(self);
  if (array.ndim == 1) return Py_BuildValue("(n)", array.shape[0]);
  return Py_BuildValue("(nn)", array.shape[0], array.shape[1]);
}

PyObject* get_ndim(PyObject* self, void*) { return PyLong_FromLong(state_of(self).ndim); }

PyObject* get_dtype(PyObject* self, void*) {
  return PyUnicode_FromString(KINDS[state_of(self).kind].dtype);
}

PyObject* get_format(PyObject* self, void*) {
  return PyUnicode_FromString(KINDS[state_of(self).kind].format);
}

PyObject* get_itemsize(PyObject* self, void*) {
  return PyLong_FromSsize_t(state_of(self).item_size());
}

PyObject* get_nbytes(PyObject* self, void*) {
  const ResultArray& array = state_of(self);
  return PyLong_FromSsize_t(array.count() * array.item_size());
}

PyMethodDef methods[] = {
    {"tolist", as_cfunction(tolist), METH_NOARGS,
     "tolist($self, /)\n--\n\n"
     "Return the items as a list of Python numbers (a list of rows for two\n"
     "dimensions)."},
    {"__reduce__", as_cfunction(reduce<ResultArray>), METH_NOARGS,
     "__reduce__($self, /)\n--\n\nReturn what pickling stores: ostrel._restore and the items."},
    {"__copy__", as_cfunction(copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nReturn an independent copy."},
    {"__deepcopy__", as_cfunction(deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nReturn an independent copy."},
    {"__sizeof__", as_cfunction(sizeof_array), METH_NOARGS,
     "__sizeof__($self, /)\n--\n\nReturn the bytes the Array holds, its items included."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"shape", get_shape, nullptr, "The extent of each dimension.", nullptr},
    {"ndim", get_ndim, nullptr, "The number of dimensions: 1 or 2.", nullptr},
    {"dtype", get_dtype, nullptr, "The items' NumPy type name, such as 'float64' or 'uint8'.",
     nullptr},
    {"format", get_format, nullptr, "The items' struct format, as the buffer protocol gives it.",
     nullptr},
    {"itemsize", get_itemsize, nullptr, "The bytes of one item.", nullptr},
    {"nbytes", get_nbytes, nullptr, "The bytes of all items.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Many numbers returned at once: one object that owns its items and exports them\n"
         "through the buffer protocol, so that numpy.asarray(a) views them without a copy.\n"
         "It indexes, iterates and has a length (a row of a two-dimensional Array is a\n"
         "one-dimensional Array sharing its items), converts with tolist(), compares with ==\n"
         "through tolist(), and pickles.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(array_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResultArray>)},
    {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(array_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_mp_length, reinterpret_cast<void*>(array_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(array_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(array_length)},
    {Py_sq_item, reinterpret_cast<void*>(item_at)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ClassOf<ResultArray>::definition = {
    "ostrel.Array", static_cast<int>(sizeof(ArrayInstance)), 0, Py_TPFLAGS_DEFAULT, slots,
};

Py_ssize_t ResultArray::item_size() const noexcept { return KINDS[kind].size; }

// Layout 1 of the state of an Array, after the header: the item kind (its
// struct format character), the number of dimensions (1 or 2), each extent as
// a varint, then every item as a little-endian word of its size (a float64 as
// its bit pattern), row after row.
std::string save_array(const ResultArray& array) {
  StateWriter out(StateKind::Array, STATE_LAYOUT);
  out.reserve_more(static_cast<std::size_t>(array.count() * array.item_size()) + 24);
  out.byte(static_cast<std::uint8_t>(KINDS[array.kind].format[0]));
  out.byte(static_cast<std::uint8_t>(array.ndim));
  for (int d = 0; d < array.ndim; ++d) out.varint(static_cast<std::uint64_t>(array.shape[d]));
  visit_items(array, [&](const auto* items) {
    for (Py_ssize_t i = 0; i < array.count(); ++i) {
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*items)>, double>) {
        out.float64(items[i]);
      } else {
        out.word(static_cast<std::uint64_t>(items[i]), sizeof(items[i]));
      }
    }
  });
  return std::move(out).take();
}

Ref make_array(ArrayItems items) {
  const std::size_t n = item_count(items);
  return Ref(new_array(one_dimensional(std::move(items), n)));
}

Ref make_array(ArrayItems items, std::size_t rows, std::size_t columns) {
  return Ref(new_array(two_dimensional(std::move(items), rows, columns)));
}

ArrayItems narrowest_unsigned(std::uint64_t largest) {
  if (largest <= 0xFF) return std::vector<std::uint8_t>{};
  if (largest <= 0xFFFF) return std::vector<std::uint16_t>{};
  if (largest <= 0xFFFFFFFF) return std::vector<std::uint32_t>{};
  return std::vector<std::uint64_t>{};
}

std::expected<ResultArray, std::string> load_array(std::span<const std::uint8_t> bytes) {
  StateReader in(bytes);
  if (in.kind() != StateKind::Array && in.ok()) in.fail("it holds no Array");
  in.version(STATE_LAYOUT);
  const std::uint8_t format = in.byte();
  std::size_t kind = std::size(KINDS);
  // The first kind of that format: a loaded table is an ordinary float64 one.
  for (std::size_t k = std::size(KINDS); k-- > 0;) {
    if (KINDS[k].format[0] == static_cast<char>(format)) kind = k;
  }
  if (in.ok() && kind == std::size(KINDS)) {
    in.fail("item format " + std::to_string(format) + " is not one an Array holds");
  }
  const std::uint8_t ndim = in.byte();
  if (in.ok() && ndim != 1 && ndim != 2)
    in.fail("an Array has 1 or 2 dimensions, not " + std::to_string(ndim));
  std::uint64_t extent[2] = {0, 0};
  for (int d = 0; d < ndim && in.ok(); ++d) extent[d] = in.varint();
  if (!in.ok()) return std::unexpected(in.error());
  const auto size = static_cast<std::uint64_t>(KINDS[kind].size);
  // The items must be exactly the bytes that are left.
  const std::uint64_t left = in.remaining();
  const std::uint64_t per_row = ndim == 2 ? extent[1] : 1;
  const auto most = static_cast<std::uint64_t>(PY_SSIZE_T_MAX);
  const bool fits = extent[0] <= most && extent[1] <= most &&
                    (per_row == 0 || extent[0] <= left / size / per_row);
  if (!fits || extent[0] * per_row * size != left) {
    in.fail("its items do not fill the " + std::to_string(left) + " bytes left");
    return std::unexpected(in.error());
  }
  const auto n = static_cast<std::size_t>(extent[0] * per_row);
  const auto raw = in.raw(static_cast<std::size_t>(left));
  ArrayItems items;
  switch (kind) {
    case 0:
      items = std::vector<double>(n);
      break;
    case 1:
      items = std::vector<std::uint8_t>(n);
      break;
    case 2:
      items = std::vector<std::uint16_t>(n);
      break;
    case 3:
      items = std::vector<std::uint32_t>(n);
      break;
    case 4:
      items = std::vector<std::uint64_t>(n);
      break;
    default:
      items = std::vector<std::int64_t>(n);
      break;
  }
  std::visit(
      [&](auto& v) {
        using T = typename std::remove_cvref_t<decltype(v)>::value_type;
        for (std::size_t i = 0; i < n; ++i) {
          std::uint64_t word = 0;
          for (std::size_t b = sizeof(T); b-- > 0;) word = (word << 8) | raw[i * sizeof(T) + b];
          if constexpr (std::is_same_v<T, double>) {
            v[i] = std::bit_cast<double>(word);
          } else {
            v[i] = static_cast<T>(word);
          }
        }
      },
      items);
  if (ndim == 1) return one_dimensional(std::move(items), n);
  return two_dimensional(std::move(items), static_cast<std::size_t>(extent[0]),
                         static_cast<std::size_t>(extent[1]));
}

// ---- tables written into a caller's buffer ---------------------------------

OutTable::~OutTable() {
  if (held_) PyBuffer_Release(&view_);
}

bool OutTable::claim(PyObject* object, std::size_t rows, std::size_t columns) {
  static constexpr const char* WANTED = "a writable C-contiguous float64 buffer";
  // "<d" or ">d": a double in this machine's byte order.
  static constexpr const char* NATIVE = std::endian::native == std::endian::little ? "<d" : ">d";
  if (!PyObject_CheckBuffer(object)) return raise_cannot_convert(object, WANTED, "out");
  if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return raise_cannot_convert(object, WANTED, "out");
  }
  held_ = true;
  const char* format = view_.format == nullptr ? "B" : view_.format;
  const bool float64 =
      view_.itemsize == 8 && (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
                              std::strcmp(format, "=d") == 0 || std::strcmp(format, NATIVE) == 0);
  if (view_.readonly || !float64 || !PyBuffer_IsContiguous(&view_, 'C')) {
    return raise_cannot_convert(object, WANTED, "out");
  }
  if (view_.ndim != 2) {
    PyErr_Format(PyExc_ValueError, "argument 'out': it has %d dimension%s, not 2", view_.ndim,
                 view_.ndim == 1 ? "" : "s");
    return false;
  }
  if (static_cast<std::size_t>(view_.shape[0]) != rows ||
      static_cast<std::size_t>(view_.shape[1]) != columns) {
    PyErr_Format(PyExc_ValueError,
                 "argument 'out': it has shape (%zd, %zd), not (%zu, %zu) (histories, "
                 "alphabet_size)",
                 view_.shape[0], view_.shape[1], rows, columns);
    return false;
  }
  return true;
}

}  // namespace ostrel::binding
