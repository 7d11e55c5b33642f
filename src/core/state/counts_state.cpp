// Writing and reading the persistent state of counts.

#include "state/counts_state.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "state/state.hpp"
#include "util/radix_sort.hpp"

namespace ostrel {

namespace {

constexpr std::uint8_t STATE_VERSION = 1;
// Counts from their rows' start: a mode byte after max_depth.
constexpr std::uint8_t STARTS_VERSION = 2;
constexpr std::uint8_t STARTS_MODE = 1;
constexpr std::uint64_t MAX_ORDINALS = std::numeric_limits<std::uint64_t>::max();

[[gnu::always_inline]] inline std::uint8_t* put_varint(std::uint8_t* at, std::uint64_t value) {
  if (value < 0x80) {
    *at = static_cast<std::uint8_t>(value);
    return at + 1;
  }
  while (value >= 0x80) {
    *at++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *at++ = static_cast<std::uint8_t>(value);
  return at;
}

// A varint of more than one byte at `at`, as StateReader reads one; false
// for one it refuses.
[[gnu::always_inline]] inline bool get_long_varint(const std::uint8_t*& at, const std::uint8_t* end,
                                                   std::uint64_t& value) {
  std::uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (at == end) return false;
    const std::uint8_t b = *at++;
    if (shift == 63 && b > 1) return false;
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) {
      if (b == 0 && shift != 0) return false;
      value = v;
      return true;
    }
  }
}

// A varint at `at`, as StateReader reads one; false for one it refuses.
[[gnu::always_inline]] inline bool get_varint(const std::uint8_t*& at, const std::uint8_t* end,
                                              std::uint64_t& value) {
  if (at != end && *at < 0x80) {
    value = *at++;
    return true;
  }
  // Up to five bytes (ordinals below 2^35) without a check per byte; a last
  // byte of 0 is refused, as below.
  if (end - at >= 5) {
    std::uint64_t v = at[0] & 0x7Fu;
    for (unsigned k = 1; k < 5; ++k) {
      const std::uint64_t b = at[k];
      v |= (b & 0x7Fu) << (7 * k);
      if (b < 0x80) {
        if (b == 0) return false;
        value = v;
        at += k + 1;
        return true;
      }
    }
  }
  return get_long_varint(at, end, value);
}

// A varint at `at` as get_varint reads it, for numbers whose length varies
// from one to the next (ordinals): up to five bytes are read as one word and
// their length found without a branch per byte, which would often be
// mispredicted.
[[gnu::always_inline]] inline bool get_varint_of_any_length(const std::uint8_t*& at,
                                                            const std::uint8_t* end,
                                                            std::uint64_t& value) {
  if constexpr (std::endian::native == std::endian::little) {
    if (end - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, 8);
      // The high bit of each byte that ends a varint; the lowest is this one's.
      const std::uint64_t ends = ~word & 0x8080808080808080u;
      const auto last = static_cast<unsigned>(std::countr_zero(ends));  // 8 * bytes - 1
      if (last < 40) {
        const unsigned bytes = (last >> 3) + 1;
        const std::uint64_t x = word & (ends ^ (ends - 1));  // its bytes only
        const std::uint64_t v = (x & 0x7Fu) | ((x >> 1) & (0x7Fu << 7)) |
                                ((x >> 2) & (0x7Fu << 14)) | ((x >> 3) & (0x7Fu << 21)) |
                                ((x >> 4) & (std::uint64_t{0x7F} << 28));
        // A last byte of 0 after others is not the shortest form: refused.
        if (bytes > 1 && (x >> (last - 7)) == 0) return false;
        value = v;
        at += bytes;
        return true;
      }
    }
  }
  return get_varint(at, end, value);
}

// An ordinal that two of `firsts`, all below `span`, share (the smallest such),
// if any: by a radix sort.
std::optional<std::uint64_t> repeated(std::span<const std::uint64_t> firsts, std::uint64_t span) {
  if (firsts.size() < 2) return std::nullopt;
  std::vector<std::uint64_t> sorted_firsts(firsts.begin(), firsts.end()), spare(firsts.size());
  RadixSort radix(0, static_cast<unsigned>(std::bit_width(span)));
  for (const std::uint64_t f : sorted_firsts) radix.count(f);
  const auto sorted = radix.sort(sorted_firsts, spare);
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i] == sorted[i - 1]) return sorted[i];
  }
  return std::nullopt;
}

// Copies `n` bytes, usually a few: a call to memcpy costs more than they
// do. From 4 to 16 bytes as two words that may overlap, inside the n bytes;
// below that byte by byte, written out (a loop would become a memcpy call).
template <class Word>
[[gnu::always_inline]] inline void copy_two_words(std::uint8_t* to, const std::uint8_t* from,
                                                  std::size_t n) {
  Word head, tail;
  std::memcpy(&head, from, sizeof(Word));
  std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &head, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
}
[[gnu::always_inline]] inline void copy_short(std::uint8_t* to, const std::uint8_t* from,
                                              std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    copy_two_words<std::uint64_t>(to, from, n);
  } else if (n >= 4) {
    copy_two_words<std::uint32_t>(to, from, n);
  } else if (n > 0) {
    to[0] = from[0];
    if (n > 1) to[1] = from[1];
    if (n > 2) to[2] = from[2];
  }
}

// The `n` keys of a state whose alphabet has at most 128 symbols, each of
// them one byte, read in one pass over `bytes` (the rest of the state) into
// `keyed`: what the general reader below reads, checked as it checks them
// (`alphabet`: the symbols a key may hold). False at anything it would
// refuse, which it then names.
bool read_small_keys(std::span<const std::uint8_t> bytes, std::size_t n, std::size_t depth,
                     std::uint64_t alphabet, std::uint64_t span, detail::KeyedLeaves& keyed,
                     Count& total) {
  const std::size_t width = depth + 1;
  const std::uint8_t* at = bytes.data();
  const std::uint8_t* const end = at + bytes.size();
  // Both take 16 bytes at a time where the state has them: room for the
  // bytes copied past a key's end, which the next key writes over.
  std::vector<std::uint8_t> key(width + 16, 0);
  // A byte per symbol at least: the bytes left are room enough.
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size() + 16);
  std::uint8_t* const symbols = buffer.get();
  std::size_t held = 0;
  Count sum = 0;
  // No two keys start at one ordinal: a bit per ordinal, when that takes at
  // most a word per key, otherwise a sort. A key's bit is set LAG keys after
  // it is read, its word asked for as it is read: the walk through the state
  // does not wait for the bitmap.
  constexpr std::size_t LAG = 8;
  const bool mapped = span / 64 <= n;
  std::vector<std::uint64_t> bitmap(mapped ? static_cast<std::size_t>(span / 64) + 1 : 0);
  std::uint64_t* const seen = bitmap.data();
  std::uint64_t again = 0;
  auto see = [&](std::uint64_t first) {
    std::uint64_t& word = seen[static_cast<std::size_t>(first / 64)];
    const std::uint64_t bit = std::uint64_t{1} << (first % 64);
    again |= word & bit;
    word |= bit;
  };
  // Every key is read, so the leaves are made first and written in place.
  keyed.leaves.resize(n);
  std::uint64_t* const firsts = keyed.leaves.first.data();
  std::uint64_t* const counts = keyed.leaves.count.data();
  Depth* const shareds = keyed.leaves.shared.data();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t shared = 0, count = 0, first = 0;
    if (!get_varint(at, end, shared) || shared > depth || (i == 0 && shared != 0)) return false;
    const auto from = static_cast<std::size_t>(shared);
    const std::size_t stored = width - from;
    if (static_cast<std::size_t>(end - at) < stored) return false;
    // Keys ascend: the first symbol a key does not share is larger. (Every
    // symbol is checked against the alphabet at the end, in one pass.)
    if (i > 0 && at[0] <= key[from]) return false;
    if (stored <= 16 && end - at >= 16) {
      std::memcpy(key.data() + from, at, 16);
      std::memcpy(symbols + held, at, 16);
    } else {
      copy_short(key.data() + from, at, stored);
      copy_short(symbols + held, at, stored);
    }
    held += stored;
    at += stored;
    if (!get_varint(at, end, count) || !get_varint_of_any_length(at, end, first)) return false;
    if (count == 0 || count > MAX_ORDINALS - sum || first >= span) return false;
    sum += count;
    firsts[i] = first;
    counts[i] = count;
    shareds[i] = static_cast<Depth>(from);
    if (mapped) {
      __builtin_prefetch(seen + first / 64, 1);
      if (i >= LAG) see(firsts[i - LAG]);
    }
  }
  if (mapped) {
    for (std::size_t i = n > LAG ? n - LAG : 0; i < n; ++i) see(firsts[i]);
  }
  if (at != end || sum > span || again != 0) return false;
  if (!mapped && repeated(keyed.leaves.first, span)) return false;
  total = sum;
  if (held != 0 && *std::max_element(symbols, symbols + held) >= alphabet) return false;
  keyed.suffixes.append(std::span<const std::uint8_t>(symbols, held), alphabet - 1);
  return true;
}

// What is wrong with the keys of counts from their rows' start, whose symbols
// are at most `start`, if anything: an own symbol that is the start, or a
// symbol older than a start in a context.
std::optional<std::string> start_fault(const detail::KeyedLeaves& keyed, Symbol start) {
  const std::size_t depth = keyed.depth;
  std::vector<Symbol> key(depth + 1);
  return keyed.suffixes.visit([&](auto suffixes) -> std::optional<std::string> {
    std::size_t at = 0;
    for (std::size_t i = 0; i < keyed.size(); ++i) {
      const std::size_t shared = keyed.leaves.shared[i];
      for (std::size_t q = shared; q <= depth; ++q) key[q] = suffixes[at++];
      if (key[depth] == start) {
        return "key " + std::to_string(i) + " predicts the start of a row";
      }
      for (std::size_t q = std::max<std::size_t>(shared, 1); q < depth; ++q) {
        if (key[q - 1] == start && key[q] != start) {
          return "key " + std::to_string(i) + " holds a symbol before the start of its row";
        }
      }
    }
    return std::nullopt;
  });
}

}  // namespace

std::string save_counts(const Counts& counts) {
  StateWriter out(StateKind::Counts, counts.starts_ ? STARTS_VERSION : STATE_VERSION);
  // A key takes at least a byte for what it shares, for each symbol it
  // stores, for its count and for its first ordinal.
  out.reserve_more(10 * (3 * counts.parts_.size() + 4));
  out.varint(counts.alphabet_size_);
  out.varint(counts.max_depth());
  if (counts.starts_) out.byte(STARTS_MODE);
  out.varint(counts.parts_.size());
  for (const Counts::Part& part : counts.parts_) {
    out.varint(part.id);
    out.varint(part.rows);
    out.varint(part.span);
  }
  out.varint(counts.keyed_.size());
  const detail::KeyedLeaves& keyed = counts.keyed_;
  const auto& leaves = keyed.leaves;
  keyed.suffixes.visit([&](auto suffixes) {
    using Stored = typename decltype(suffixes)::value_type;
    // Symbols below 128 take one byte each, their own: copied as they are.
    const bool bytes = sizeof(Stored) == 1 && keyed.suffixes.max_symbol() < 0x80;
    // At most 10 bytes a number, 3 for what a key shares (a depth).
    // (And 16 for the bytes copied past the last key's symbols.)
    const std::size_t most = 23 * keyed.size() + (bytes ? 1 : 10) * suffixes.size() + 16;
    out.write_raw(most, [&](std::uint8_t* at) {
      const Stored* symbol = suffixes.data();
      const Stored* const last = suffixes.data() + suffixes.size();
      for (std::size_t i = 0; i < keyed.size(); ++i) {
        at = put_varint(at, leaves.shared[i]);
        const std::size_t stored = keyed.stored(i);
        if (bytes) {
          // 16 bytes at a time where there are: what follows writes over
          // the bytes past this key's.
          if (stored <= 16 && last - symbol >= 16) {
            std::memcpy(at, symbol, 16);
          } else {
            std::memcpy(at, symbol, stored);
          }
          at += stored;
          symbol += stored;
        } else {
          for (std::size_t q = 0; q < stored; ++q) at = put_varint(at, *symbol++);
        }
        at = put_varint(at, leaves.count[i]);
        at = put_varint(at, leaves.first[i]);
      }
      return at;
    });
  });
  return std::move(out).take();
}

std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> bytes) {
  return detail::load_counts(bytes, true);
}

namespace detail {

std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> bytes, bool fast) {
  StateReader in(bytes);
  auto fault = [&] { return std::unexpected(in.error()); };
  if (in.kind() != StateKind::Counts && in.ok()) in.fail("it holds no Counts");
  const bool starts = in.version(STARTS_VERSION) == STARTS_VERSION;
  const std::uint64_t alphabet = in.varint();
  if (in.ok() && alphabet < 2) in.fail("alphabet_size " + std::to_string(alphabet) + " is below 2");
  if (in.ok() && alphabet > std::numeric_limits<Symbol>::max()) {
    in.fail("alphabet_size " + std::to_string(alphabet) + " does not fit this machine's " +
            std::to_string(8 * sizeof(Symbol)) + "-bit symbols");
  }
  const std::uint64_t depth = in.varint_at_most(MAX_DEPTH, "max_depth");
  if (starts) {
    // The only mode layout 2 holds: any other would save as something else.
    const std::uint8_t mode = in.byte();
    if (in.ok() && mode != STARTS_MODE) {
      in.fail("mode " + std::to_string(mode) + " is not 1 (counts from their rows' start)");
    }
  }
  // The largest symbol a key may hold: context symbols of counts from their
  // rows' start reach the start itself. (Read only once the fields are ok.)
  const std::uint64_t largest = starts ? alphabet : alphabet - 1;
  const std::uint64_t part_count = in.varint();
  if (in.ok() && part_count == 0) in.fail("it lists no part");
  if (!in.fits(part_count, 3)) return fault();
  Counts out(static_cast<std::size_t>(alphabet), static_cast<std::size_t>(depth), 0, starts);
  out.parts_.clear();
  out.parts_.reserve(static_cast<std::size_t>(part_count));
  for (std::uint64_t k = 0; k < part_count && in.ok(); ++k) {
    const Counts::Part part{in.varint(), in.varint(), in.varint()};
    if (!in.ok()) break;
    if (k > 0 && part.id <= out.parts_.back().id) {
      in.fail("part " + std::to_string(part.id) + " is listed after part " +
              std::to_string(out.parts_.back().id));
    } else if (part.rows == 0 && part.span != 0) {
      in.fail("part " + std::to_string(part.id) + " has symbols but no rows");
    } else if (part.span > MAX_ORDINALS - out.span_) {
      in.fail("its parts hold more than 18446744073709551615 symbols");
    }
    out.parts_.push_back(part);
    out.span_ += part.span;
  }
  const std::uint64_t leaf_count = in.varint();
  // Each leaf takes at least four bytes: shared, a symbol, count, first.
  if (!in.fits(leaf_count, 4)) return fault();
  const std::size_t n = static_cast<std::size_t>(leaf_count);
  const std::size_t width = static_cast<std::size_t>(depth) + 1;
  detail::KeyedLeaves& keyed = out.keyed_;
  keyed.leaves.reserve(n);
  if (fast && largest < 0x80) {
    Count small_total = 0;
    if (read_small_keys(in.rest(), n, static_cast<std::size_t>(depth), largest + 1, out.span_,
                        keyed, small_total) &&
        !(starts && start_fault(keyed, static_cast<Symbol>(alphabet)))) {
      out.sample_size_ = small_total;
      return out;
    }
    // The reader below says what is wrong, from nothing read.
    keyed.leaves.clear();
    keyed.suffixes = SymbolBuffer();
  }
  // The key being read, spelled whole; it grows as keys need it.
  std::vector<Symbol> key;
  Count total = 0;
  {
    detail::KeyWriter writer(keyed);  // flushed as the block ends
    for (std::size_t i = 0; i < n && in.ok(); ++i) {
      const std::uint64_t shared = in.varint_at_most(depth, "the shared symbols of a key");
      if (in.ok() && i == 0 && shared != 0) in.fail("the first key shares symbols");
      if (!in.fits(width - shared, 1)) break;
      if (key.size() < width) key.resize(width);
      for (std::size_t q = static_cast<std::size_t>(shared); q < width && in.ok(); ++q) {
        const std::uint64_t symbol = in.varint();
        if (in.ok() && symbol > largest) {
          in.fail("symbol " + std::to_string(symbol) + " of key " + std::to_string(i) +
                  " is outside 0.." + std::to_string(largest + 1));
        }
        // Keys ascend: the first symbol a key does not share is larger.
        if (in.ok() && i > 0 && q == shared && symbol <= key[q]) {
          in.fail("key " + std::to_string(i) + " does not follow key " + std::to_string(i - 1));
        }
        key[q] = static_cast<Symbol>(symbol);
      }
      const std::uint64_t count = in.varint();
      const std::uint64_t first = in.varint();
      if (!in.ok()) break;
      if (count == 0) {
        in.fail("key " + std::to_string(i) + " counts no position");
      } else if (count > MAX_ORDINALS - total) {
        in.fail("its counts add up to more than 18446744073709551615");
      } else if (first >= out.span_) {
        in.fail("key " + std::to_string(i) + " starts at ordinal " + std::to_string(first) +
                ", beyond the " + std::to_string(out.span_) + " symbols of its parts");
      }
      if (!in.ok()) break;
      total += count;
      writer.write(std::span<const Symbol>(key).first(width), static_cast<std::size_t>(shared),
                   count, first);
    }
  }
  in.expect_end();
  if (in.ok() && total > out.span_) {
    in.fail("it counts " + std::to_string(total) + " positions in " + std::to_string(out.span_) +
            " symbols");
  }
  if (in.ok()) {
    // Every position has one key, so no two keys start at the same ordinal.
    if (const auto twice = repeated(keyed.leaves.first, out.span_)) {
      in.fail("two keys start at ordinal " + std::to_string(*twice));
    }
  }
  if (in.ok() && starts) {
    if (auto wrong = start_fault(keyed, static_cast<Symbol>(alphabet))) in.fail(std::move(*wrong));
  }
  if (!in.ok()) return fault();
  out.sample_size_ = total;
  return out;
}

}  // namespace detail

}  // namespace ostrel
