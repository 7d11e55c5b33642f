#pragma once
// Leaves: the counted positions of a set of rows as their distinct keys in
// context order, and where each key's symbols are read.
//
// Call the `depth` symbols before a counted position, most recent first, its
// context, and its context followed by the position's own symbol its key:
// key symbol q is context symbol q + 1 for q < depth, and the own symbol at
// q = depth. A leaf is one distinct key, with the number of positions that
// have it and the order of the first of them (an offset into the rows, or an
// ordinal that orders positions the same way). Sorted by key, the nodes at
// depth d are the maximal runs of leaves that share d context symbols, and the
// outcome records of a node are the distinct symbols of its run's leaves.
// Counting positions one after the other creates a node or a record at the
// earliest position of its run: so siblings, and the records of one node,
// were created in the order of their first positions.
//
// The symbol of a node at depth d is context symbol d of any of its run's
// leaves; a key store need only answer it for the run's first leaf, which is
// the first leaf whose key differs from its predecessor's within the first d
// context symbols.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "base/types.hpp"
#include "util/symbol_buffer.hpp"
#include "util/unset_allocator.hpp"

namespace ostrel::detail {

// No leaf, no offset.
template <class Position>
constexpr Position NONE = std::numeric_limits<Position>::max();

// Every column's items start unset, so a column made to a size and then
// written in place is written once.
template <class Position>
struct Leaves {
  UnsetVector<Position> first;  // order of the earliest position with this key
  UnsetVector<Position> count;  // positions with this key
  UnsetVector<Depth> shared;    // context symbols in common with the previous leaf
  // The keys packed into 64 bits, `key_bits` per symbol with context symbol 1
  // highest and the own symbol lowest, when the counting kept them.
  UnsetVector<std::uint64_t> key;
  unsigned key_bits = 0;

  void reserve(std::size_t n) {
    first.reserve(n);
    count.reserve(n);
    shared.reserve(n);
  }
  // Makes n leaves (no packed keys), unset until written in place.
  void resize(std::size_t n) {
    first.resize(n);
    count.resize(n);
    shared.resize(n);
  }
  void add(Position at, Position positions, std::size_t common) {
    first.push_back(at);
    count.push_back(positions);
    shared.push_back(static_cast<Depth>(common));
  }
  // The same, keeping the packed key too when the counting keeps keys.
  template <bool Keep>
  void add(Position at, Position positions, std::size_t common, std::uint64_t packed) {
    first.push_back(at);
    count.push_back(positions);
    shared.push_back(static_cast<Depth>(common));
    if constexpr (Keep) key.push_back(packed);
  }
  void clear() noexcept {
    first.clear();
    count.clear();
    shared.clear();
    key.clear();
  }
  std::size_t size() const noexcept { return first.size(); }
  // The bytes of storage held, spare capacity included.
  std::size_t bytes() const noexcept {
    return first.capacity() * sizeof(Position) + count.capacity() * sizeof(Position) +
           shared.capacity() * sizeof(Depth) + key.capacity() * sizeof(std::uint64_t);
  }
};

// Keys read from the rows they were counted from: a leaf's key lies at its
// first offset in the rows' flat symbol buffer.
template <class T, class Position>
struct RowKeys {
  std::span<const T> symbols;
  std::span<const Position> first;

  Symbol own(std::size_t leaf) const noexcept { return symbols[first[leaf]]; }
  // Context symbol d (1 .. depth) of the leaf.
  Symbol context(std::size_t leaf, std::size_t d) const noexcept {
    return symbols[first[leaf] - d];
  }
};

template <class T, class Position>
RowKeys(std::span<const T>, std::span<const Position>) -> RowKeys<T, Position>;

// Leaves with their keys front coded: leaf i stores its key from symbol
// shared[i] on (the symbols before are its predecessor's), so a key store
// costs what its keys do not have in common.
struct KeyedLeaves {
  std::size_t depth = 0;
  Leaves<std::uint64_t> leaves;
  SymbolBuffer suffixes;  // every leaf's stored key symbols, leaf after leaf

  std::size_t size() const noexcept { return leaves.size(); }
  // Key symbols that leaf `i` stores.
  std::size_t stored(std::size_t i) const noexcept { return depth + 1 - leaves.shared[i]; }
};

// Keys read from a front-coded store. `begin[i]` is where leaf i's stored
// symbols start (one entry more than there are leaves).
template <class T>
struct FrontKeys {
  std::span<const T> suffixes;
  std::span<const Depth> shared;
  std::span<const std::size_t> begin;

  Symbol own(std::size_t leaf) const noexcept { return suffixes[begin[leaf + 1] - 1]; }
  // Context symbol d of the leaf, for a leaf that stores it: one that starts
  // a run at depth d or above (shared[leaf] < d).
  Symbol context(std::size_t leaf, std::size_t d) const noexcept {
    return suffixes[begin[leaf] + (d - 1 - shared[leaf])];
  }
};

template <class T>
FrontKeys(std::span<const T>, std::span<const Depth>, std::span<const std::size_t>) -> FrontKeys<T>;

// Where each leaf's stored symbols start in `keyed`.
std::vector<std::size_t> suffix_starts(const KeyedLeaves& keyed);

// Calls f(keys) with the FrontKeys view of `keyed`, in the type its symbols
// are stored in.
template <class F>
decltype(auto) with_front_keys(const KeyedLeaves& keyed, F&& f) {
  const std::vector<std::size_t> begin = suffix_starts(keyed);
  return keyed.suffixes.visit([&](auto suffixes) -> decltype(auto) {
    const FrontKeys keys{suffixes, std::span<const Depth>(keyed.leaves.shared),
                         std::span<const std::size_t>(begin)};
    return f(keys);
  });
}

// Appends leaves to `out`, their stored symbols a block at a time.
class KeyWriter {
 public:
  explicit KeyWriter(KeyedLeaves& out) : out_(out) { pending_.reserve(BLOCK); }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;
  ~KeyWriter() { flush(); }

  void write(std::span<const Symbol> key, std::size_t shared, Count count, std::uint64_t first) {
    out_.leaves.add(first, count, shared);
    for (std::size_t q = shared; q < key.size(); ++q) {
      pending_.push_back(key[q]);
      largest_ = std::max(largest_, key[q]);
    }
    if (pending_.size() >= BLOCK) flush();
  }
  void flush() {
    out_.suffixes.append(std::span<const Symbol>(pending_), largest_);
    pending_.clear();
  }

 private:
  static constexpr std::size_t BLOCK = 4096;
  KeyedLeaves& out_;
  std::vector<Symbol> pending_;
  Symbol largest_ = 0;
};

// The leaves of the same positions keyed by only their first `depth` context
// symbols (at most keyed.depth): the leaves that share those symbols and their
// own symbol become one, with their counts added and the earliest first.
KeyedLeaves truncated(const KeyedLeaves& keyed, std::size_t depth);

// Small integer codes for the leaves' symbols, in the symbols' order.
struct SymbolCodes {
  std::vector<std::uint32_t> code;  // per leaf
  std::vector<Symbol> symbols;      // per code, when the codes are not the symbols themselves

  std::size_t count() const noexcept { return count_; }
  Symbol symbol(std::uint32_t c) const noexcept { return symbols.empty() ? c : symbols[c]; }

  // For the `n` leaves whose own symbols `keys` reads.
  template <class Keys>
  SymbolCodes(const Keys& keys, std::size_t n) : code(n) {
    Symbol largest = 0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max<Symbol>(largest, keys.own(i));
    if (largest < (Symbol{1} << 20)) {
      for (std::size_t i = 0; i < n; ++i) code[i] = static_cast<std::uint32_t>(keys.own(i));
      count_ = n == 0 ? 0 : static_cast<std::size_t>(largest) + 1;
      return;
    }
    symbols.resize(n);
    for (std::size_t i = 0; i < n; ++i) symbols[i] = keys.own(i);
    std::sort(symbols.begin(), symbols.end());
    symbols.erase(std::unique(symbols.begin(), symbols.end()), symbols.end());
    for (std::size_t i = 0; i < n; ++i) {
      code[i] = static_cast<std::uint32_t>(
          std::lower_bound(symbols.begin(), symbols.end(), keys.own(i)) - symbols.begin());
    }
    count_ = symbols.size();
  }

 private:
  std::size_t count_ = 0;
};

}  // namespace ostrel::detail
