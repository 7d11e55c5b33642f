#pragma once
// An allocator whose items start unset: a vector's resize writes nothing, so
// an array that is written in full right after costs no clearing first.
//
//   UnsetVector<std::uint64_t> firsts;
//   firsts.resize(n);                       // n items, none written yet
//   for (std::size_t i = 0; i < n; ++i) firsts[i] = ...;
//
// Items made with a value (push_back, assign, a copy) are made as usual.

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace ostrel {

template <class T>
struct UnsetAllocator {
  using value_type = T;
  UnsetAllocator() = default;
  template <class U>
  UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(static_cast<A&&>(a)...);
  }
  friend bool operator==(const UnsetAllocator&, const UnsetAllocator&) noexcept { return true; }
};

template <class T>
using UnsetVector = std::vector<T, UnsetAllocator<T>>;

}  // namespace ostrel
