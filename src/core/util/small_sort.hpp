#pragma once
// Sorting the few members of one list: insertion sort up to 16 items, which
// beats std::sort there, std::sort beyond.
//
//   sort_small(std::span(items), [](const Item& a, const Item& b) { ... });

#include <algorithm>
#include <cstddef>
#include <functional>
#include <span>

namespace ostrel {

// Sorts `items` by `less`; not stable.
template <class Item, class Less = std::less<>>
void sort_small(std::span<Item> items, Less less = {}) {
  if (items.size() > 16) {
    std::sort(items.begin(), items.end(), less);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    const Item moving = items[i];
    std::size_t j = i;
    for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = items[j - 1];
    items[j] = moving;
  }
}

}  // namespace ostrel
