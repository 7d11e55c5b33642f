#pragma once
// A growable array of trivially copyable records for pools of hundreds of
// megabytes that grow record by record and are read at random:
//
//   Pool<Node> nodes;
//   nodes.push_back(node);               // amortised, as std::vector
//   nodes.resize(n);                     // new records unset
//
// It grows by realloc, which moves a large block by remapping its pages
// rather than copying them (glibc on Linux), so growth neither copies the
// pool nor faults its pages in a second time; blocks of 16 MiB or more are
// asked for in large pages, so that reads at random cost no page walks.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "util/result_memory.hpp"

namespace ostrel {

template <class T>
class Pool {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Pool() = default;
  Pool(const Pool& other) { *this = other; }
  Pool(Pool&& other) noexcept { swap(other); }
  Pool& operator=(const Pool& other) {
    if (this != &other) {
      size_ = 0;
      reserve(other.size_);
      if (other.size_ != 0) std::memcpy(data_, other.data_, other.size_ * sizeof(T));
      size_ = other.size_;
    }
    return *this;
  }
  Pool& operator=(Pool&& other) noexcept {
    swap(other);
    return *this;
  }
  ~Pool() { std::free(data_); }
  void swap(Pool& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& back() noexcept { return data_[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    advise_large_pages(data_, capacity_ * sizeof(T));
  }
  // New records are unset.
  void resize(std::size_t size) {
    if (size > capacity_) reserve(std::max(size, 2 * capacity_));
    size_ = size;
  }
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(std::max<std::size_t>(16, 2 * capacity_));
    data_[size_++] = value;
  }
  void clear() noexcept { size_ = 0; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace ostrel
