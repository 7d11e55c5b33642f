// FOR TESTING ONLY: building the count trie position by position, as written.

#include "testing/walking_builder.hpp"

#include <utility>
#include <vector>

namespace ostrel::oracle {

std::expected<CountTrie, std::string> from_rows_by_walking(const Rows& rows,
                                                           std::size_t alphabet_size,
                                                           std::size_t conditioning_depth,
                                                           std::size_t storage_depth) {
  if (storage_depth > conditioning_depth) {
    return std::unexpected("storage depth cannot exceed conditioning depth");
  }
  if (auto valid = check_symbols(rows, alphabet_size); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  CountTrie trie(alphabet_size, storage_depth);
  std::vector<NodeIndex> path(storage_depth + 1, ROOT);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t t = conditioning_depth; t < rows.row_length(r); ++t) {
      for (std::size_t d = 1; d <= storage_depth; ++d) {
        auto child = trie.get_or_create_child(path[d - 1], rows.symbol(r, t - d));
        if (!child) return std::unexpected(std::move(child.error()));
        path[d] = *child;
      }
      trie.count_position(path, rows.symbol(r, t));
    }
  }
  return trie;
}

}  // namespace ostrel::oracle
