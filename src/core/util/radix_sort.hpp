#pragma once
// A stable least-significant-digit-first radix sort of 64-bit words by a range
// of their bits, in passes of at most 11 bits, counting the digits of every
// pass in one read.
//
//   RadixSort radix(lo, hi);                  // sort by bits [lo, hi)
//   for (auto w : words) radix.count(w);      // every word, before sorting
//   auto sorted = radix.sort(words, spare);   // lands in words or in spare

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace ostrel {

// Sorts words by their bits [lo, hi) (all higher bits are zero), keeping
// words with equal such bits in their order: least significant digit first,
// with the digit counts of every pass taken in one read. The result ends up in
// `words` or in `spare`, whichever the returned span covers.
class RadixSort {
 public:
  RadixSort(unsigned lo, unsigned hi) : lo_(lo) {
    const unsigned span = hi > lo ? hi - lo : 0;
    passes_ = (span + 10) / 11;
    width_ = passes_ == 0 ? 0 : (span + passes_ - 1) / passes_;
    counts_.assign(std::size_t{passes_} << width_, 0);
  }
  // Counts the digits of one word; every word is counted before sort().
  void count(std::uint64_t word) noexcept {
    for (unsigned p = 0; p < passes_; ++p) ++counts_[(std::size_t{p} << width_) + digit(word, p)];
  }
  std::span<std::uint64_t> sort(std::span<std::uint64_t> words, std::span<std::uint64_t> spare) {
    for (unsigned p = 0; p < passes_; ++p) {
      std::size_t* counts = &counts_[std::size_t{p} << width_];
      if (counts[digit(words[0], p)] == words.size()) continue;  // one digit only
      std::size_t total = 0;
      for (std::size_t d = 0; d < (std::size_t{1} << width_); ++d) {
        total += std::exchange(counts[d], total);
      }
      for (const std::uint64_t w : words) spare[counts[digit(w, p)]++] = w;
      std::swap(words, spare);
    }
    return words;
  }

 private:
  std::size_t digit(std::uint64_t word, unsigned pass) const noexcept {
    return (word >> (lo_ + pass * width_)) & ((std::uint64_t{1} << width_) - 1);
  }
  unsigned lo_, passes_, width_;
  std::vector<std::size_t> counts_;
};

}  // namespace ostrel
