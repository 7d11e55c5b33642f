#pragma once
// Memory for a large result that is written once, in full, right after it is
// made (a table of distributions of hundreds of megabytes).
//
//   ResultVector<double> table;
//   table.resize(rows * columns);          // items unset, room in large pages
//   if (map_for_writing(table.data(), bytes)) { ... stream_copy(row, to, n) ... }
//   finish_streaming();
//
// Most of the cost of such a result is the kernel's: a page fault per 4 KiB
// page, each page cleared. Taken in 2 MiB pages (as NumPy takes its own
// arrays of 4 MiB and more) it costs a fault per 2 MiB page; mapped in one call
// before the writes, the writes can then bypass the cache (a row that is not
// read again is not worth a cache line). Only how memory is mapped and written
// changes, never what it holds.

#include <cstddef>
#include <vector>

#include "util/unset_allocator.hpp"

namespace ostrel {

// Results of this many bytes or more are taken in large pages and written
// with streaming stores.
inline constexpr std::size_t LARGE_RESULT_BYTES = std::size_t{1} << 24;

// Asks that the pages inside [data, data + bytes) be large pages, when the
// range is LARGE_RESULT_BYTES or more and the system can (Linux); otherwise
// does nothing.
void advise_large_pages(const void* data, std::size_t bytes) noexcept;

// Maps every page of [data, data + bytes) for writing, without writing
// anything, and says whether it did: then streaming stores are worth it.
// False when the range is smaller than LARGE_RESULT_BYTES, or the system
// cannot map it so or has no streaming stores.
bool map_for_writing(void* data, std::size_t bytes) noexcept;

// Copies n doubles from `from` to `to`, bypassing the cache where the machine
// can; the copies are ordered with other stores only after finish_streaming().
void stream_copy(const double* from, double* to, std::size_t n) noexcept;
void finish_streaming() noexcept;

// An allocator whose items start unset (a resize writes nothing) and whose
// large blocks are taken in large pages.
template <class T>
struct ResultAllocator : UnsetAllocator<T> {
  ResultAllocator() = default;
  template <class U>
  ResultAllocator(const ResultAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    T* p = UnsetAllocator<T>::allocate(n);
    advise_large_pages(p, n * sizeof(T));
    return p;
  }
};

template <class T>
using ResultVector = std::vector<T, ResultAllocator<T>>;

}  // namespace ostrel
