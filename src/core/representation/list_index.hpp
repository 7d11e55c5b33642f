#pragma once
// A side index over the trie's long per-node lists: an open-addressing hash map
// from (owner node, symbol) to the index of the list record carrying that
// symbol, one map per arena (RecordIndex: EdgeIndex or OutcomeIndex). It only accelerates lookups;
// the linked lists stay the authority for order and content. Lists of at most `SHORT_LIST` records
// are never indexed.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/types.hpp"

namespace ostrel {

// Lists up to this length are walked; longer ones are looked up in the index.
// Walking 32 records costs about as much as one hashed lookup, and an index
// entry costs more memory than its record.
inline constexpr std::size_t SHORT_LIST = 32;

template <class RecordIndex>
class ListIndex {
 public:
  // The record for (owner, symbol), or NO_INDEX.
  RecordIndex find(NodeIndex owner, Symbol symbol) const noexcept {
    if (slots_.empty()) return NO_INDEX;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(owner, symbol) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.owner == owner && slot.symbol == symbol) return slot.record;
      if (!slot.owner.has_value()) return NO_INDEX;
    }
  }

  // Makes room for `extra` more entries, so that as many inserts cannot
  // allocate. May throw std::bad_alloc; the content is unchanged either way.
  void reserve(std::size_t extra);

  // The bytes of storage held.
  std::size_t bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  // Adds an entry for a key that is not present. Requires room (see reserve).
  void insert(NodeIndex owner, Symbol symbol, RecordIndex record) noexcept;

 private:
  struct Slot {
    Symbol symbol;
    NodeIndex owner;
    RecordIndex record;
  };

  static std::size_t hash(NodeIndex owner, Symbol symbol) noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(symbol) * 0x9E3779B97F4A7C15ULL ^
                      static_cast<std::uint64_t>(owner.value()) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
  }

  void place(const Slot& slot) noexcept;

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace ostrel
