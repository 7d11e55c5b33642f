#pragma once
// A growable array of trivially copyable records whose appends stay inline:
// growth, the rare case, is a call of its own.
//
//   Arena<Record> records;
//   records.push_back(record);
//   records.shrink(n);  // drops all but the first n

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace ostrel {

// A growable array of trivially copyable records whose appends stay inline.
template <class T>
class Arena {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  void push_back(const T& value) {
    if (size_ == capacity_) grow();
    data_[size_++] = value;
  }
  void shrink(std::size_t size) noexcept { size_ = std::min(size_, size); }
  std::span<T> span() noexcept { return {data_.get(), size_}; }

 private:
  [[gnu::noinline]] void grow() {
    const std::size_t capacity = std::max<std::size_t>(64, 2 * capacity_);
    auto data = std::make_unique_for_overwrite<T[]>(capacity);
    std::copy(data_.get(), data_.get() + size_, data.get());
    data_ = std::move(data);
    capacity_ = capacity;
  }
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace ostrel
