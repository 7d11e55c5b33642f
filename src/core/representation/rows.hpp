#pragma once
// Training rows held in one flat symbol buffer (see util/symbol_buffer.hpp):
// row r is symbols [ends[r-1], ends[r]).

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/types.hpp"
#include "util/symbol_buffer.hpp"

namespace ostrel {

class Rows {
 public:
  Rows() = default;
  Rows(std::initializer_list<std::initializer_list<Symbol>> rows);

  // Number of rows.
  std::size_t size() const noexcept { return ends_.size(); }
  // Number of symbols in all rows.
  std::size_t symbol_count() const noexcept { return symbols_.size(); }
  std::size_t row_begin(std::size_t r) const noexcept { return r == 0 ? 0 : ends_[r - 1]; }
  std::size_t row_length(std::size_t r) const noexcept { return ends_[r] - row_begin(r); }
  // Symbol i of row r.
  Symbol symbol(std::size_t r, std::size_t i) const noexcept { return symbols_[row_begin(r) + i]; }
  // At least the largest symbol stored (0 when none is; exact unless rows
  // were discarded).
  Symbol max_symbol() const noexcept { return symbols_.max_symbol(); }

  // Calls f(std::span<const T>) with all symbols of all rows in their stored
  // type T (std::uint8_t, std::uint16_t, std::uint32_t or std::uint64_t).
  template <class F>
  decltype(auto) visit(F&& f) const {
    return symbols_.visit(std::forward<F>(f));
  }

  // Room for `n` more symbols at the present width, growing geometrically.
  void reserve_symbols(std::size_t n) { symbols_.reserve_more(n); }
  void push_symbol(Symbol s) { symbols_.push_back(s); }
  // Appends symbols to the row being built.
  template <class T>
  void append(std::span<const T> symbols) {
    symbols_.append(symbols);
  }
  // The same, for symbols none of which exceeds `bound` (a bound with the
  // largest symbol's bit width is enough).
  template <class T>
  void append(std::span<const T> symbols, Symbol bound) {
    symbols_.append(symbols, bound);
  }
  // Ends the row being built (possibly empty).
  void end_row() { ends_.push_back(symbol_count()); }
  // Ends `count` rows of `length` symbols each, the last count * length
  // symbols appended, as end_row after each row's symbols would.
  void end_rows(std::size_t count, std::size_t length) {
    const std::size_t from = symbol_count() - count * length;
    ends_.reserve(ends_.size() + count);
    for (std::size_t r = 1; r <= count; ++r) ends_.push_back(from + r * length);
  }
  // Drops the rows from `row` on and the row being built. The width stays.
  void discard_from(std::size_t row) {
    symbols_.truncate(row == 0 ? 0 : ends_[row - 1]);
    ends_.resize(row);
  }

 private:
  SymbolBuffer symbols_;
  std::vector<std::size_t> ends_;
};

// The error of the first symbol, by row and then position, that is not below
// `alphabet_size`, if any: "symbol 7 at data[1][2] is outside 0..4", the rows
// named `name`.
std::expected<void, std::string> check_symbols(const Rows& rows, std::size_t alphabet_size,
                                               std::string_view name = "data");

}  // namespace ostrel
