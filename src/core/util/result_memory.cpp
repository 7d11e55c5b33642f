#include "util/result_memory.hpp"

#include <cstdint>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostrel {

namespace {

constexpr std::uintptr_t PAGE = 4096;

// The whole pages inside [data, data + bytes), as (begin, length); length 0
// when there are none.
std::pair<std::uintptr_t, std::size_t> whole_pages(const void* data, std::size_t bytes) noexcept {
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + PAGE - 1) & ~(PAGE - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(PAGE - 1);
  return {begin, end > begin ? end - begin : 0};
}

}  // namespace

void advise_large_pages(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (data == nullptr || bytes < LARGE_RESULT_BYTES) return;
  const auto [begin, length] = whole_pages(data, bytes);
  // Advice only: where it is refused, the pages are ordinary ones.
  if (length != 0) (void)madvise(reinterpret_cast<void*>(begin), length, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

bool map_for_writing(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(__SSE2__)
  // Linux 5.14's MADV_POPULATE_WRITE, by number where the headers predate it.
  constexpr int POPULATE_WRITE = 23;
  if (data == nullptr || bytes < LARGE_RESULT_BYTES) return false;
  const auto [begin, length] = whole_pages(data, bytes);
  return length != 0 && madvise(reinterpret_cast<void*>(begin), length, POPULATE_WRITE) == 0;
#else
  (void)data;
  (void)bytes;
  return false;
#endif
}

void stream_copy(const double* from, double* to, std::size_t n) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  if (n != 0 && reinterpret_cast<std::uintptr_t>(to) % 16 != 0) {
    to[0] = from[0];
    i = 1;
  }
  for (; i + 2 <= n; i += 2) _mm_stream_pd(to + i, _mm_loadu_pd(from + i));
#endif
  for (; i < n; ++i) to[i] = from[i];
}

void finish_streaming() noexcept {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace ostrel
