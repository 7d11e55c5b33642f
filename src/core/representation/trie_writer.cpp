// The whole-trie writer.

#include "representation/trie_writer.hpp"

#include <algorithm>
#include <utility>

namespace ostrel {

TrieWriter::TrieWriter(std::size_t alphabet_size, std::size_t storage_depth, Count sample_size,
                       std::size_t nodes)
    : trie_(alphabet_size, storage_depth) {
  if (nodes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.sample_size_ = sample_size;
  trie_.nodes_.resize(std::max<std::size_t>(nodes, 1),
                      TrieNode{0, NO_SYMBOL, NO_INDEX, NO_INDEX, NO_INDEX, 0, 0});
}

void TrieWriter::reserve(std::size_t edges, std::size_t outcomes) {
  if (edges > MAX_RECORDS || outcomes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.edges_.reserve(edges);
  trie_.outcomes_.reserve(outcomes);
}

void TrieWriter::resize(std::size_t edges, std::size_t outcomes) {
  if (edges > MAX_RECORDS || outcomes > MAX_RECORDS) throw CapacityExhausted{};
  trie_.edges_.resize(edges);
  trie_.outcomes_.resize(outcomes);
}

void TrieWriter::close(NodeIndex node, std::size_t children, std::size_t outcomes) {
  trie_.index_long_lists(node, children, outcomes);
}

CountTrie TrieWriter::finish() && {
  trie_.edges_.shrink_to_fit();
  trie_.outcomes_.shrink_to_fit();
  return std::move(trie_);
}

}  // namespace ostrel
