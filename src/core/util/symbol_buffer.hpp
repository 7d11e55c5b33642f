#pragma once
// A growable array of symbols stored in the narrowest unsigned width (1, 2, 4
// or 8 bytes) that holds every symbol appended so far. Appending a wider
// symbol re-encodes what is stored, so the values read back are always
// exactly the values appended.
//
//   SymbolBuffer buffer;
//   buffer.append(std::span<const std::uint32_t>(symbols));  // any unsigned type
//   buffer.visit([](auto stored) { /* std::span<const T> of every symbol */ });

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/types.hpp"
#include "util/unset_allocator.hpp"

namespace ostrel {

class SymbolBuffer {
 public:
  std::size_t size() const noexcept {
    return std::visit([](const auto& v) { return v.size(); }, symbols_);
  }
  bool empty() const noexcept { return size() == 0; }
  Symbol operator[](std::size_t i) const noexcept {
    return std::visit([&](const auto& v) { return static_cast<Symbol>(v[i]); }, symbols_);
  }
  // At least the largest symbol appended (0 when none was; exact unless the
  // buffer was truncated).
  Symbol max_symbol() const noexcept { return max_; }

  // Calls f(std::span<const T>) with every symbol in its stored type T
  // (std::uint8_t, std::uint16_t, std::uint32_t or std::uint64_t).
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit([&](const auto& v) -> decltype(auto) { return f(std::span(v)); }, symbols_);
  }

  // Room for `n` more symbols at the present width, growing geometrically.
  void reserve_more(std::size_t n) {
    std::visit([&](auto& v) { reserve_for(v, n); }, symbols_);
  }
  void push_back(Symbol s) { append(std::span<const Symbol>(&s, 1), s); }
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
  // Appends `n` symbols, none of which exceeds `bound`, that fill(T* out)
  // writes in the stored type T.
  template <class F>
  void append_with(std::size_t n, Symbol bound, F&& fill) {
    if (n == 0) return;
    widen(bound);
    std::visit(
        [&](auto& v) {
          const std::size_t old = v.size();
          reserve_for(v, n);
          v.resize(old + n);
          fill(v.data() + old);
          max_ = std::max<Symbol>(max_, *std::max_element(v.begin() + old, v.end()));
        },
        symbols_);
  }
  // Keeps the first `n` symbols. The width stays.
  void truncate(std::size_t n) {
    std::visit([&](auto& v) { v.resize(std::min(v.size(), n)); }, symbols_);
  }
  // The bytes of storage held, spare capacity included.
  std::size_t bytes() const noexcept {
    return std::visit([](const auto& v) { return v.capacity() * sizeof(v[0]); }, symbols_);
  }
  // Releases the capacity beyond the symbols held.
  void shrink_to_fit() {
    std::visit([](auto& v) { v.shrink_to_fit(); }, symbols_);
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
  std::variant<UnsetVector<std::uint8_t>, UnsetVector<std::uint16_t>, UnsetVector<std::uint32_t>,
               UnsetVector<std::uint64_t>>
      symbols_;
  Symbol max_ = 0;
};

}  // namespace ostrel
