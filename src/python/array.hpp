#pragma once
// ostrel.Array: a result that holds many numbers (per-position scores, a
// matrix of distributions, drawn symbols), as one object that owns its items
// and exports them through the buffer protocol with their format and shape,
// so that numpy.asarray(result) views them without a copy. Its items are
// writable, as a fresh NumPy result's are. One- and two-dimensional results,
// items stored in row order:
//
//   Ref scores = make_array(std::vector<double>(...));            // shape (n,)
//   Ref table = make_array(std::move(probabilities), rows, columns);
//
// An Array indexes, iterates and has a length (a row of a two-dimensional one
// is a one-dimensional Array that shares its items), converts to lists with
// tolist(), compares with == through tolist(), and pickles.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ref.hpp"
#include "util/result_memory.hpp"

namespace ostrel::binding {

// The items an Array can own: float64, the unsigned widths and int64, and a
// large float64 table made to be written once (its own kind, float64 too).
using ArrayItems =
    std::variant<std::vector<double>, std::vector<std::uint8_t>, std::vector<std::uint16_t>,
                 std::vector<std::uint32_t>, std::vector<std::uint64_t>, std::vector<std::int64_t>,
                 ResultVector<double>>;

// The native state of an Array.
struct ResultArray {
  ArrayItems items;  // empty for a row, whose items are its parent's
  Ref parent;        // a row: the Array whose items it shares
  const char* data;  // the first item
  std::size_t kind;  // the alternative of ArrayItems the items are
  int ndim;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];

  Py_ssize_t length() const noexcept { return shape[0]; }
  Py_ssize_t count() const noexcept { return ndim == 1 ? shape[0] : shape[0] * shape[1]; }
  Py_ssize_t item_size() const noexcept;
};

// A one-dimensional Array that takes over `items`, or null with the error set.
Ref make_array(ArrayItems items);
// A two-dimensional Array of `rows` x `columns` items (their product must be
// the number of items).
Ref make_array(ArrayItems items, std::size_t rows, std::size_t columns);

// A caller's buffer that a table of answers is written into (an `out`
// argument): writable, C-contiguous float64 items in this machine's byte
// order, `rows` x `columns` of them. Held from claim() until destroyed.
class OutTable {
 public:
  OutTable() = default;
  OutTable(const OutTable&) = delete;
  OutTable& operator=(const OutTable&) = delete;
  ~OutTable();

  // Takes `object`'s buffer, or raises TypeError (anything but such a buffer)
  // or ValueError (its shape), naming `out`, and returns false.
  bool claim(PyObject* object, std::size_t rows, std::size_t columns);
  std::span<double> items() const noexcept {
    return {static_cast<double*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(double)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Empty unsigned items of the narrowest width (1, 2, 4 or 8 bytes) that
// holds `largest`.
ArrayItems narrowest_unsigned(std::uint64_t largest);

// The persistent state of an Array (kind 'A'), and the Array a state holds.
std::string save_array(const ResultArray& array);
std::expected<ResultArray, std::string> load_array(std::span<const std::uint8_t> state);

}  // namespace ostrel::binding
