// Open addressing with linear probing, kept at most half full.

#include "representation/list_index.hpp"

#include <utility>

namespace ostrel {

template <class RecordIndex>
void ListIndex<RecordIndex>::reserve(std::size_t extra) {
  const std::size_t needed = used_ + extra;
  if (needed * 2 <= slots_.size()) return;
  std::size_t capacity = slots_.empty() ? 64 : slots_.size();
  while (capacity < needed * 2) capacity *= 2;
  std::vector<Slot> old(capacity, Slot{0, NO_INDEX, NO_INDEX});
  old.swap(slots_);
  for (const Slot& slot : old) {
    if (slot.owner.has_value()) place(slot);
  }
}

template <class RecordIndex>
void ListIndex<RecordIndex>::insert(NodeIndex owner, Symbol symbol, RecordIndex record) noexcept {
  place(Slot{symbol, owner, record});
  ++used_;
}

template <class RecordIndex>
void ListIndex<RecordIndex>::place(const Slot& slot) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash(slot.owner, slot.symbol) & mask;
  while (slots_[i].owner.has_value()) i = (i + 1) & mask;
  slots_[i] = slot;
}

template class ListIndex<EdgeIndex>;
template class ListIndex<OutcomeIndex>;

}  // namespace ostrel
