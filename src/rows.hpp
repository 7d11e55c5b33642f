#pragma once
// Training rows held in one flat buffer, each symbol in an unsigned width (1,
// 2, 4 or 8 bytes) that holds every symbol stored so far (the narrowest, unless
// rows were discarded): row r is symbols [ends[r-1], ends[r]). Appending a
// wider symbol re-encodes what is stored, so the values read back are always
// exactly the values appended.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "types.hpp"

namespace ostrel {

class Rows {
 public:
  Rows() = default;
  Rows(std::initializer_list<std::initializer_list<Symbol>> rows);

  // Number of rows.
  std::size_t size() const noexcept { return ends_.size(); }
  // Number of symbols in all rows.
  std::size_t symbol_count() const noexcept {
    return std::visit([](const auto& v) { return v.size(); }, symbols_);
  }
  std::size_t row_begin(std::size_t r) const noexcept { return r == 0 ? 0 : ends_[r - 1]; }
  std::size_t row_length(std::size_t r) const noexcept { return ends_[r] - row_begin(r); }
  // Symbol i of row r.
  Symbol symbol(std::size_t r, std::size_t i) const noexcept {
    return std::visit([&](const auto& v) { return static_cast<Symbol>(v[row_begin(r) + i]); },
                      symbols_);
  }
  // At least the largest symbol stored (0 when none is; exact unless rows
  // were discarded).
  Symbol max_symbol() const noexcept { return max_; }

  // Calls f(std::span<const T>) with all symbols of all rows in their stored
  // type T (std::uint8_t, std::uint16_t, std::uint32_t or std::uint64_t).
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit([&](const auto& v) -> decltype(auto) { return f(std::span(v)); }, symbols_);
  }

  // Room for `n` more symbols at the present width, growing geometrically.
  void reserve_symbols(std::size_t n);
  void push_symbol(Symbol s) { append(std::span<const Symbol>(&s, 1)); }
  // Appends symbols to the row being built.
  template <class T>
  void append(std::span<const T> symbols) {
    if (symbols.empty()) return;
    append(symbols, static_cast<Symbol>(*std::max_element(symbols.begin(), symbols.end())));
  }
  // The same, for symbols none of which exceeds `bound` (a bound with the
  // largest symbol's bit width is enough).
  template <class T>
  void append(std::span<const T> symbols, Symbol bound) {
    static_assert(std::is_unsigned_v<T> && sizeof(T) <= sizeof(Symbol));
    if (symbols.empty()) return;
    widen(bound);
    std::visit(
        [&](auto& v) {
          using Stored = typename std::decay_t<decltype(v)>::value_type;
          const std::size_t old = v.size();
          reserve_for(v, symbols.size());
          v.resize(old + symbols.size());
          Stored* out = v.data() + old;
          Stored largest = 0;
          for (std::size_t i = 0; i < symbols.size(); ++i) {
            out[i] = static_cast<Stored>(symbols[i]);
            largest = std::max(largest, out[i]);
          }
          max_ = std::max<Symbol>(max_, largest);
        },
        symbols_);
  }
  // Ends the row being built (possibly empty).
  void end_row() { ends_.push_back(symbol_count()); }
  // Drops the rows from `row` on and the row being built. The width stays.
  void discard_from(std::size_t row) {
    const std::size_t keep = row == 0 ? 0 : ends_[row - 1];
    std::visit([&](auto& v) { v.resize(keep); }, symbols_);
    ends_.resize(row);
  }

 private:
  template <class V>
  static void reserve_for(V& v, std::size_t extra) {
    const std::size_t needed = v.size() + extra;
    if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
  }
  // Re-encodes the stored symbols in the narrowest type that holds `value`,
  // unless the present type holds it.
  void widen(Symbol value);

  // The widest alternative is used only where Symbol has 64 bits.
  std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>, std::vector<std::uint32_t>,
               std::vector<std::uint64_t>>
      symbols_;
  std::vector<std::size_t> ends_;
  Symbol max_ = 0;
};

}  // namespace ostrel
