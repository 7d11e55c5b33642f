// Reading symbols and rows at the interpreter boundary. Sequences are read
// element by element with the iteration protocol (exact lists and tuples by
// index, which reads the same elements in the same order); a reported length
// only sizes the native vector and may be wrong or fail.

#include "symbols.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "classes.hpp"

namespace ostrel::binding {

// Symbols are native words: an element converts as a size argument does.
static_assert(std::is_same_v<Symbol, std::size_t>);

namespace {

// Largest length reserved up front from a length that an arbitrary object
// reports; lists, tuples and bytes report their true length.
constexpr Py_ssize_t MAX_TRUSTED_HINT = Py_ssize_t{1} << 20;

// The common checks of every sequence argument; true when it may be read.
bool check_sequence(PyObject* object, const char* name) {
  if (PyUnicode_Check(object)) {
    return raise_argument_error(name, Ref(PyUnicode_FromString("Can't extract `str` to `Vec`")));
  }
  if (!PySequence_Check(object)) return raise_cannot_convert(object, "Sequence", name);
  return true;
}

Py_ssize_t length_hint(PyObject* object) {
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();  // only a sizing hint
    return 0;
  }
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyBytes_CheckExact(object)) {
    return length;
  }
  return length < MAX_TRUSTED_HINT ? length : MAX_TRUSTED_HINT;
}

// Symbols converted element by element are handed on this many at a time.
constexpr std::size_t CHUNK = 512;

// Collects converted symbols and hands them to `sink` (a callable taking a
// span of symbols) a chunk at a time.
template <class Sink>
class Chunked {
 public:
  explicit Chunked(Sink sink) : sink_(std::move(sink)) {}
  void push(Symbol s) {
    chunk_[size_++] = s;
    if (size_ == CHUNK) flush();
  }
  void push(std::span<const Symbol> symbols) {
    while (!symbols.empty()) {
      const std::size_t n = std::min(symbols.size(), CHUNK - size_);
      std::copy_n(symbols.begin(), n, chunk_ + size_);
      size_ += n;
      symbols = symbols.subspan(n);
      if (size_ == CHUNK) flush();
    }
  }
  void flush() {
    if (size_ != 0) sink_(std::span<const Symbol>(chunk_, size_));
    size_ = 0;
  }

 private:
  Sink sink_;
  Symbol chunk_[CHUNK];
  std::size_t size_ = 0;
};

// CPython keeps one int object for each of 0 to 256, side by side in one
// array: an element at one of their addresses is that int, its value read
// from the address alone. They are held here for the life of the process, so
// no other object can take one of those addresses; where they are not evenly
// spaced, no address reads as one of them.
class SmallInts {
 public:
  static const SmallInts& get() {
    static const SmallInts small = find();
    return small;
  }
  // Whether `item` is one of them; `out` is written either way, and is its
  // value when it is. Without a branch, so that a mix of them and other ints
  // costs no misprediction.
  bool read(const PyObject* item, Symbol& out) const noexcept {
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(item) - first_;
    out = offset >> shift_;
    return ((offset & mask_) | (offset > last_)) == 0;
  }

 private:
  static constexpr long COUNT = 257;
  static SmallInts find() {
    static PyObject* held[COUNT];  // never released
    for (long v = 0; v < COUNT; ++v) {
      held[v] = PyLong_FromLong(v);
      if (held[v] == nullptr) {
        PyErr_Clear();
        return SmallInts{};
      }
    }
    const auto at = [](long v) { return reinterpret_cast<std::uintptr_t>(held[v]); };
    const std::uintptr_t step = at(1) - at(0);
    if (at(1) <= at(0) || !std::has_single_bit(step)) return SmallInts{};
    for (long v = 0; v < COUNT; ++v) {
      if (at(v) != at(0) + static_cast<std::uintptr_t>(v) * step) return SmallInts{};
    }
    SmallInts small;
    small.first_ = at(0);
    small.last_ = (COUNT - 1) * step;
    small.mask_ = step - 1;
    small.shift_ = static_cast<unsigned>(std::countr_zero(step));
    return small;
  }
  // As found none: only the null address would read.
  std::uintptr_t first_ = 0;
  std::uintptr_t last_ = 0;
  std::uintptr_t mask_ = ~std::uintptr_t{0};
  unsigned shift_ = 0;
};

// Appends every element of an exact list or tuple, a block at a time: the
// block's items are taken, those of 0 to 256 read by address, and the others
// converted in order. An exact int converts without running interpreter code,
// so the borrowed references of the block stay valid and the list cannot
// change meanwhile; any other element is held while it converts, and as that
// may change the list, the block ends there and a list's size is read again,
// as its iterator would. No element's conversion is skipped or reordered, so
// errors are the same, raised for the same element.
//
// Exact ints are immutable, and while no interpreter code runs the sequence
// keeps every item met so far alive, so an item met again has the value read
// before: a small table of the items last converted, by address, spares the
// conversion of the other ints met again (a larger alphabet's repeated
// symbols, where they are shared objects). It is emptied
// whenever an element's conversion may have run interpreter code, and not
// kept for short sequences, whose conversion it would only slow.
template <class Sink>
bool read_items(PyObject* object, bool list, const char* name, Chunked<Sink>& out) {
  const SmallInts small = SmallInts::get();  // a copy, kept in registers
  constexpr std::size_t RECENT = 64;
  constexpr Py_ssize_t BLOCK = 64;
  PyObject* recent_item[RECENT];
  Symbol recent_value[RECENT];
  PyObject* items[BLOCK];
  Symbol values[BLOCK];
  std::uint8_t others[BLOCK];  // the block's items not read by address
  auto size = [&] { return list ? PyList_Size(object) : PyTuple_Size(object); };
  Py_ssize_t n = size();
  const bool remember = n >= static_cast<Py_ssize_t>(4 * RECENT);
  if (remember) std::fill(std::begin(recent_item), std::end(recent_item), nullptr);
  for (Py_ssize_t i = 0; i < n;) {
    const Py_ssize_t m = std::min(BLOCK, n - i);
    std::size_t count = 0;
    for (Py_ssize_t j = 0; j < m; ++j) {
      PyObject* item = list ? PyList_GetItem(object, i + j) : PyTuple_GetItem(object, i + j);
      if (item == nullptr) return false;
      items[j] = item;
      others[count] = static_cast<std::uint8_t>(j);
      count += small.read(item, values[j]) ? 0 : 1;
    }
    Py_ssize_t taken = m;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t j = others[k];
      PyObject* item = items[j];
      // Int objects are at least 32 bytes apart.
      const std::size_t slot = (reinterpret_cast<std::uintptr_t>(item) >> 5) % RECENT;
      if (remember && recent_item[slot] == item) {
        values[j] = recent_value[slot];
        continue;
      }
      if (Py_IS_TYPE(item, &PyLong_Type)) {
        if (!size_from_int(item, values[j])) {
          prefix_type_error(name);
          return false;
        }
        if (remember) {
          recent_item[slot] = item;
          recent_value[slot] = values[j];
        }
        continue;
      }
      const Ref held = Ref::borrow(item);
      if (!to_size(held.get(), name, values[j])) return false;
      if (remember) std::fill(std::begin(recent_item), std::end(recent_item), nullptr);
      taken = static_cast<Py_ssize_t>(j) + 1;
      n = -1;  // read again below
      break;
    }
    out.push(std::span<const Symbol>(values, static_cast<std::size_t>(taken)));
    i += taken;
    if (n < 0) n = size();
  }
  return true;
}

// An exporter's buffer, held for the length of one conversion: while it is
// held the exporter cannot resize or free the memory (bytearray and
// array.array refuse to resize, NumPy arrays cannot), and no interpreter code
// runs during the read, which holds the interpreter lock throughout.
class HeldBuffer {
 public:
  // Requests shape, strides and format; on failure nothing is held and the
  // interpreter's error is cleared (the element path then decides).
  explicit HeldBuffer(PyObject* exporter) {
    held_ = PyObject_GetBuffer(exporter, &view_, PyBUF_RECORDS_RO) == 0;
    if (!held_) PyErr_Clear();
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool held() const noexcept { return held_; }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Whether `object` is an exact type whose iteration yields exactly its
// buffer's items: bytes, bytearray, memoryview, ostrel.Array, array.array, NumPy's ndarray
// or NumPy's memmap, whose items (and rows) read as the ndarray's do
// (recognised by name, so NumPy need not be imported). Other subclasses and
// other exporters keep the element path, which honours their iteration.
bool iterates_as_buffer(PyObject* object, ExporterCache& cache) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return false;  // the usual case
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) {
    return true;
  }
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (type == cache.type.get()) return true;
  if (PyTypeObject* arrays = type_of<ResultArray>(); arrays == nullptr) {
    PyErr_Clear();  // no Array was ever made, so this is none
  } else if (Py_TYPE(object) == arrays) {
    return true;  // this module's own results
  }
  if (!PyObject_CheckBuffer(object)) return false;
  Ref name(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  const char* module = nullptr;
  if (PyUnicode_CompareWithASCIIString(name.get(), "ndarray") == 0 ||
      PyUnicode_CompareWithASCIIString(name.get(), "memmap") == 0) {
    module = "numpy";
  } else if (PyUnicode_CompareWithASCIIString(name.get(), "array") == 0) {
    module = "array";
  } else {
    return false;
  }
  Ref module_name(PyObject_GetAttrString(type, "__module__"));
  if (!module_name || !PyUnicode_Check(module_name.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module_name.get(), module) != 0) return false;
  cache.type = Ref::borrow(type);
  return true;
}

// The layout of a buffer's integer items, as its struct-style format gives it.
struct IntegerItems {
  std::size_t size;  // bytes
  bool is_signed;
  bool swapped;  // stored in the other byte order than this machine's
};

// Integer items of 1, 2, 4 or 8 bytes, in either byte order; anything else
// (booleans, characters, floats, objects, structures) is not.
std::optional<IntegerItems> integer_items(const Py_buffer& view) {
  const char* format = view.format == nullptr ? "B" : view.format;
  char order = '@';
  if (std::strchr("@=<>!", *format) != nullptr && *format != '\0') order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const char code = format[0];
  const char* codes = "bBhHiIlLqQnN";
  const char* at = std::strchr(codes, code);
  if (at == nullptr || code == '\0') return std::nullopt;
  const bool native = order == '@';
  if (!native && (code == 'n' || code == 'N')) return std::nullopt;
  std::size_t size = 0;
  switch (code | 0x20) {  // the lower-case letter
    case 'b':
      size = 1;
      break;
    case 'h':
      size = 2;
      break;
    case 'i':
      size = 4;
      break;
    case 'l':
      size = native ? sizeof(long) : 4;
      break;
    case 'q':
      size = 8;
      break;
    default:  // 'n'
      size = sizeof(Py_ssize_t);
      break;
  }
  if (view.itemsize != static_cast<Py_ssize_t>(size)) return std::nullopt;
  const bool big = order == '>' || order == '!';
  const bool little = order == '<';
  const bool swapped = size > 1 && ((big && std::endian::native == std::endian::little) ||
                                    (little && std::endian::native == std::endian::big));
  return IntegerItems{size, code >= 'a', swapped};
}

// Reads `count` items of type Raw, `stride` bytes apart, into `sink`, a
// block at a time (each checked while it is still in cache). False when some
// item is negative or above the native word, whose error the element path
// then raises exactly as for an int; the blocks before it have then been
// given to `sink` already, and the caller undoes them.
template <class Raw, class Sink>
bool read_integers(const char* data, Py_ssize_t count, Py_ssize_t stride, bool swapped,
                   Sink& sink) {
  using Unsigned = std::make_unsigned_t<Raw>;
  constexpr Py_ssize_t BLOCK = 4096;
  auto item = [&](Py_ssize_t i) {
    Raw value;
    std::memcpy(&value, data + i * stride, sizeof(Raw));
    return swapped ? std::byteswap(value) : value;
  };
  // Items in place: this machine's order, packed, aligned.
  const bool in_place = !swapped && stride == static_cast<Py_ssize_t>(sizeof(Raw)) &&
                        reinterpret_cast<std::uintptr_t>(data) % alignof(Unsigned) == 0 &&
                        sizeof(Unsigned) <= sizeof(Symbol);
  Symbol chunk[BLOCK];
  for (Py_ssize_t begin = 0; begin < count; begin += BLOCK) {
    const Py_ssize_t n = std::min(count - begin, BLOCK);
    // The items' bits together: the sign bit shows a negative item, a bit
    // above the native word an item too large for it, and its bit width is
    // the largest item's. A loop the compiler turns into vector code when
    // the items are packed.
    Unsigned bits = 0;
    if (in_place) {
      const Unsigned* items = reinterpret_cast<const Unsigned*>(data) + begin;
      for (Py_ssize_t i = 0; i < n; ++i) bits |= items[i];
    } else {
      for (Py_ssize_t i = begin; i < begin + n; ++i) bits |= static_cast<Unsigned>(item(i));
    }
    if constexpr (std::is_signed_v<Raw>) {
      if (static_cast<Raw>(bits) < 0) return false;
    }
    if constexpr (sizeof(Unsigned) > sizeof(Symbol)) {
      if (bits > std::numeric_limits<Symbol>::max()) return false;
    }
    const Unsigned largest = bits;
    const auto bound = static_cast<Symbol>(largest);
    if constexpr (sizeof(Unsigned) <= sizeof(Symbol)) {
      if (in_place) {
        sink(std::span<const Unsigned>(reinterpret_cast<const Unsigned*>(data) + begin,
                                       static_cast<std::size_t>(n)),
             bound);
        continue;
      }
    }
    for (Py_ssize_t k = 0; k < n; ++k) chunk[k] = static_cast<Symbol>(item(begin + k));
    sink(std::span<const Symbol>(chunk, static_cast<std::size_t>(n)), bound);
  }
  return true;
}

// Reads one row of integer items of a held buffer; false when an item does
// not convert cleanly.
template <class Sink>
bool read_row(const char* data, Py_ssize_t count, Py_ssize_t stride, const IntegerItems& items,
              Sink& sink) {
  switch (items.size * 2 + items.is_signed) {
    case 2:
      return read_integers<std::uint8_t>(data, count, stride, items.swapped, sink);
    case 3:
      return read_integers<std::int8_t>(data, count, stride, items.swapped, sink);
    case 4:
      return read_integers<std::uint16_t>(data, count, stride, items.swapped, sink);
    case 5:
      return read_integers<std::int16_t>(data, count, stride, items.swapped, sink);
    case 8:
      return read_integers<std::uint32_t>(data, count, stride, items.swapped, sink);
    case 9:
      return read_integers<std::int32_t>(data, count, stride, items.swapped, sink);
    case 16:
      return read_integers<std::uint64_t>(data, count, stride, items.swapped, sink);
    default:
      return read_integers<std::int64_t>(data, count, stride, items.swapped, sink);
  }
}

// Reads a one-dimensional buffer of integers into `sink` when `object` is
// read by iteration as exactly those items and all of them convert cleanly;
// false when the element path must read it instead (after undoing what
// `sink` was given).
template <class Reserve, class Sink>
bool read_buffer(PyObject* object, ExporterCache& cache, Reserve&& reserve, Sink& sink) {
  if (!iterates_as_buffer(object, cache)) return false;
  const HeldBuffer buffer(object);
  if (!buffer.held()) return false;
  const Py_buffer& view = buffer.view();
  const auto items = integer_items(view);
  if (view.ndim != 1 || !items) return false;
  const Py_ssize_t stride = view.strides == nullptr ? view.itemsize : view.strides[0];
  reserve(static_cast<std::size_t>(view.shape[0]));
  return read_row(static_cast<const char*>(view.buf), view.shape[0], stride, *items, sink);
}

// Reads a two-dimensional NumPy array of integers as its rows, when every
// item converts cleanly; false (with `out` as it was) when the element path
// must read it. Other exporters do not iterate as rows of their buffer.
bool read_matrix(PyObject* object, Rows& out, ExporterCache& cache) {
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object) ||
      !iterates_as_buffer(object, cache)) {
    return false;
  }
  const HeldBuffer buffer(object);
  if (!buffer.held()) return false;
  const Py_buffer& view = buffer.view();
  const auto items = integer_items(view);
  if (view.ndim != 2 || !items || view.strides == nullptr) return false;
  const std::size_t rows = out.size();
  out.reserve_symbols(static_cast<std::size_t>(view.shape[0] * view.shape[1]));
  auto sink = [&](auto symbols, Symbol largest) { out.append(symbols, largest); };
  // Rows packed one after another are read as one run.
  if (view.shape[1] > 0 && view.strides[1] == view.itemsize &&
      view.strides[0] == view.itemsize * view.shape[1]) {
    if (!read_row(static_cast<const char*>(view.buf), view.shape[0] * view.shape[1], view.itemsize,
                  *items, sink)) {
      out.discard_from(rows);
      return false;
    }
    out.end_rows(static_cast<std::size_t>(view.shape[0]), static_cast<std::size_t>(view.shape[1]));
    return true;
  }
  for (Py_ssize_t r = 0; r < view.shape[0]; ++r) {
    const char* row = static_cast<const char*>(view.buf) + r * view.strides[0];
    if (!read_row(row, view.shape[1], view.strides[1], *items, sink)) {
      out.discard_from(rows);
      return false;
    }
    out.end_row();
  }
  return true;
}

// Feeds every element of a sequence that passed check_sequence to `sink`, a
// callable taking a span of symbols and their largest, in order.
template <class Sink>
bool read_elements(PyObject* object, const char* name, Sink&& sink) {
  Chunked out([&](std::span<const Symbol> symbols) {
    sink(symbols, *std::max_element(symbols.begin(), symbols.end()));
  });
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    if (!read_items(object, PyList_CheckExact(object), name, out)) return false;
    out.flush();
    return true;
  }
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) {
    prefix_type_error(name);
    return false;
  }
  Symbol symbol = 0;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!to_size(item.get(), name, symbol)) return false;
    out.push(symbol);
  }
  if (PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  out.flush();
  return true;
}

}  // namespace

bool to_symbols(PyObject* object, const char* name, std::vector<Symbol>& out,
                ExporterCache& cache) {
  out.clear();
  if (!check_sequence(object, name)) return false;
  auto sink = [&](auto symbols, Symbol) { out.insert(out.end(), symbols.begin(), symbols.end()); };
  if (read_buffer(object, cache, [&](std::size_t n) { out.reserve(n); }, sink)) return true;
  out.clear();  // whatever the buffer gave before the element path takes over
  out.reserve(static_cast<std::size_t>(length_hint(object)));
  return read_elements(object, name, sink);
}

bool to_rows(PyObject* object, const char* name, Rows& out, ExporterCache& cache) {
  if (!check_sequence(object, name)) return false;
  if (read_matrix(object, out, cache)) return true;
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) {
    prefix_type_error(name);
    return false;
  }
  while (Ref row{PyIter_Next(iterator.get())}) {
    auto sink = [&](auto symbols, Symbol largest) { out.append(symbols, largest); };
    if (PyList_CheckExact(row.get()) || PyTuple_CheckExact(row.get())) {
      // Lists and tuples pass the sequence checks and export no buffer. A
      // row of one chunk is reserved for as it is appended.
      const Py_ssize_t length = PySequence_Size(row.get());
      if (length > static_cast<Py_ssize_t>(CHUNK)) {
        out.reserve_symbols(static_cast<std::size_t>(length));
      }
      if (!read_elements(row.get(), name, sink)) return false;
    } else {
      if (!check_sequence(row.get(), name)) return false;
      if (!read_buffer(row.get(), cache, [&](std::size_t n) { out.reserve_symbols(n); }, sink)) {
        out.discard_from(out.size());  // whatever the buffer gave of this row
        out.reserve_symbols(static_cast<std::size_t>(length_hint(row.get())));
        if (!read_elements(row.get(), name, sink)) return false;
      }
    }
    out.end_row();
  }
  if (PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  return true;
}

}  // namespace ostrel::binding
