// Row storage.

#include "rows.hpp"

namespace ostrel {

Rows::Rows(std::initializer_list<std::initializer_list<Symbol>> rows) {
  for (const auto& row : rows) {
    append(std::span<const Symbol>(row.begin(), row.size()));
    end_row();
  }
}

}  // namespace ostrel
