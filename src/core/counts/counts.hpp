#pragma once
// The counts of a set of rows as a value: what fitting needs of them and
// nothing more. Every distinct key of the counted positions (the max_depth
// symbols before a position, most recent first, then its own symbol) in
// context order, front coded, with how many positions have it and the
// ordinal of the earliest of them (see leaves.hpp).
//
// Rows belong to parts. A value's rows are ordered by part, then by the order
// in which they were added, so values that hold different parts merge into
// the counts of all their rows whatever order they are merged in: part p's
// rows take the ordinals [base(p), base(p) + span(p)), where span(p) counts the
// symbols of its rows and base(p) the spans of the parts before it. Fitting a
// value gives the model that fitting all its rows, in that order, gives.
//
// Counted from their start (starts()), every position of a row is counted:
// a row is taken as max_depth copies of START (the symbol alphabet_size,
// which no row holds) followed by its symbols, so a position's context runs
// back over the row's symbols to START and repeats it. Own symbols stay
// below alphabet_size; context symbols reach alphabet_size. Such a row's span
// holds its padding too. Counts of the two kinds never merge.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/types.hpp"
#include "representation/leaves.hpp"
#include "representation/rows.hpp"

namespace ostrel {

class Counts;
namespace detail {
std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> state, bool fast);
}  // namespace detail

class Counts {
 public:
  // An empty value whose added rows go to part `part`, counted from their
  // start when `starts`. Refuses an alphabet size below 2 and a depth above
  // 65535 with the configuration's messages.
  static std::expected<Counts, std::string> create(std::size_t alphabet_size, std::size_t max_depth,
                                                   std::uint64_t part, bool starts = false);

  std::size_t alphabet_size() const noexcept { return alphabet_size_; }
  std::size_t max_depth() const noexcept { return keyed_.depth; }
  // Whether rows are counted from their start, and the context symbol that
  // stands for it (alphabet_size; every symbol fits a Symbol, so it does too).
  bool starts() const noexcept { return starts_; }
  Symbol start() const noexcept { return alphabet_size_; }
  // The part that add() appends to: the last part the value holds.
  std::uint64_t part() const noexcept { return parts_.back().id; }
  // Counted positions.
  Count sample_size() const noexcept { return sample_size_; }
  // The distinct keys, in context order.
  const detail::KeyedLeaves& keyed() const noexcept { return keyed_; }

  // The bytes the value holds beyond the object itself.
  std::size_t bytes() const noexcept {
    return keyed_.leaves.bytes() + keyed_.suffixes.bytes() + parts_.capacity() * sizeof(Part);
  }

  // Counts every position of `rows` that follows max_depth symbols of its own
  // row (every position, counted from their start), after the rows added
  // before. Fails, changing nothing, with fitting's message when a symbol is
  // outside the alphabet.
  std::expected<void, std::string> add(const Rows& rows);

  // The counts of the rows of both values. Fails when their alphabet sizes,
  // depths or kinds (starts()) differ, or when both hold rows of one part.
  static std::expected<Counts, std::string> merge(const Counts& a, const Counts& b);

 private:
  // The persistent state (state/counts_state.hpp) is written and read whole.
  friend std::string save_counts(const Counts& counts);
  friend std::expected<Counts, std::string> detail::load_counts(std::span<const std::uint8_t> state,
                                                                bool fast);

  struct Part {
    std::uint64_t id;
    std::uint64_t rows;  // rows added to it
    std::uint64_t span;  // symbols of those rows: the ordinals it takes
  };

  Counts(std::size_t alphabet_size, std::size_t max_depth, std::uint64_t part, bool starts);

  std::size_t alphabet_size_;
  bool starts_;
  Count sample_size_ = 0;
  std::uint64_t span_ = 0;   // the spans of all parts
  std::vector<Part> parts_;  // by id; never empty
  detail::KeyedLeaves keyed_;
};

// Refuses counts made from their rows' start for `reader` (a name such as
// "Counts.top_trees()"), which reads counts as a tree over the alphabet's
// symbols: their contexts also hold the row's start.
std::expected<void, std::string> require_symbol_contexts(const Counts& counts,
                                                         std::string_view reader);

}  // namespace ostrel
