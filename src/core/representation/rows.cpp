// Row storage and the symbol check of training rows.

#include "representation/rows.hpp"

#include <string>

namespace ostrel {

Rows::Rows(std::initializer_list<std::initializer_list<Symbol>> rows) {
  for (const auto& row : rows) {
    append(std::span<const Symbol>(row.begin(), row.size()));
    end_row();
  }
}

std::expected<void, std::string> check_symbols(const Rows& rows, std::size_t alphabet_size,
                                               std::string_view name) {
  if (rows.symbol_count() == 0 || rows.max_symbol() < alphabet_size) return {};
  return rows.visit([&](auto symbols) -> std::expected<void, std::string> {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const std::size_t begin = rows.row_begin(r);
      for (std::size_t i = 0; i < rows.row_length(r); ++i) {
        const Symbol s = symbols[begin + i];
        if (s >= alphabet_size) {
          return std::unexpected("symbol " + std::to_string(s) + " at " + std::string(name) + "[" +
                                 std::to_string(r) + "][" + std::to_string(i) + "] is outside 0.." +
                                 std::to_string(alphabet_size));
        }
      }
    }
    throw InternalFault("check_symbols: the largest symbol was not found");
  });
}

}  // namespace ostrel
