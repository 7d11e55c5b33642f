// Counting by sorting: four ways bring the positions into context order, and
// the leaves are read off the sorted order. A directly addressed table of
// packed keys when there are few possible keys; for short keys, a partition
// by their high bits with a small table per part; a radix sort of packed
// (key, offset) words when those fit 64 bits; and otherwise a
// most-significant-first radix sort over the symbols themselves.

#include "fit/count.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <numeric>
#include <span>
#include <type_traits>
#include <vector>

#include "util/radix_sort.hpp"

namespace ostrel::detail {

namespace {

// Keys packed into 64 bits: `bits` bits per symbol, the most recent context
// symbol highest, the position's own symbol lowest.
constexpr unsigned TABLE_BITS = 26;

// Calls f(key, offset) for every counted position in order, until f returns
// true when it returns a bool. The context is kept rolling: one shift and one
// insertion per position.
template <class T, class F>
void for_each_key(std::span<const T> symbols, const Rows& rows, std::size_t conditioning_depth,
                  std::size_t depth, unsigned bits, F&& f) {
  const unsigned oldest = depth == 0 ? 0 : bits * static_cast<unsigned>(depth - 1);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t length = rows.row_length(r);
    if (length <= conditioning_depth) continue;
    const std::size_t lo = rows.row_begin(r) + conditioning_depth, hi = rows.row_begin(r) + length;
    std::uint64_t context = 0;
    for (std::size_t d = 1; d <= depth; ++d) context = (context << bits) | symbols[lo - d];
    for (std::size_t at = lo; at < hi; ++at) {
      const std::uint64_t symbol = symbols[at];
      if constexpr (std::is_same_v<decltype(f(std::uint64_t{}, at)), bool>) {
        if (f((context << bits) | symbol, at)) return;
      } else {
        f((context << bits) | symbol, at);
      }
      if (depth != 0) context = (symbol << oldest) | (context >> bits);
    }
  }
}

// Context symbols that two different packed keys share.
std::size_t shared_context(std::uint64_t a, std::uint64_t b, std::size_t depth, unsigned bits) {
  return depth - (static_cast<unsigned>(std::bit_width(a ^ b)) - 1) / bits;
}

// Leaves from a table with one entry per possible key. A small table is
// counted in several copies that take positions in turn, so that runs of one
// key do not wait on each other's increments, and its first offsets are found
// afterwards by a pass that stops once every key present has been met.
template <class Position, bool Keep, class T>
Leaves<Position> leaves_from_table(std::span<const T> symbols, const Rows& rows,
                                   std::size_t conditioning_depth, std::size_t depth,
                                   unsigned bits) {
  struct Entry {
    Position count;
    Position first;
  };
  const std::size_t keys = std::size_t{1} << (bits * (depth + 1));
  std::vector<Entry> table;
  if (keys <= 4096) {
    constexpr std::size_t COPIES = 4;
    std::vector<Position> counts(keys * COPIES, 0);
    std::size_t turn = 0;
    for_each_key(symbols, rows, conditioning_depth, depth, bits,
                 [&](std::uint64_t key, std::size_t) {
                   ++counts[turn * keys + key];
                   turn = (turn + 1) % COPIES;
                 });
    table.assign(keys, Entry{0, NONE<Position>});
    std::size_t unmet = 0;
    for (std::size_t key = 0; key < keys; ++key) {
      for (std::size_t copy = 0; copy < COPIES; ++copy)
        table[key].count += counts[copy * keys + key];
      unmet += table[key].count != 0;
    }
    for_each_key(symbols, rows, conditioning_depth, depth, bits,
                 [&](std::uint64_t key, std::size_t at) {
                   Entry& entry = table[key];
                   if (entry.first == NONE<Position>) {
                     entry.first = static_cast<Position>(at);
                     --unmet;
                   }
                   return unmet == 0;
                 });
  } else {
    table.assign(keys, Entry{0, 0});
    for_each_key(symbols, rows, conditioning_depth, depth, bits,
                 [&](std::uint64_t key, std::size_t at) {
                   Entry& entry = table[key];
                   if (entry.count == 0) entry.first = static_cast<Position>(at);
                   ++entry.count;
                 });
  }
  std::size_t distinct = 0;
  for (const Entry& entry : table) distinct += entry.count != 0;
  Leaves<Position> leaves;
  leaves.key_bits = Keep ? bits : 0;
  leaves.reserve(distinct);
  if constexpr (Keep) leaves.key.reserve(distinct);
  std::uint64_t previous = 0;
  for (std::uint64_t key = 0; key < keys; ++key) {
    const Entry& entry = table[key];
    if (entry.count == 0) continue;
    leaves.template add<Keep>(entry.first, entry.count,
                              leaves.size() == 0 ? 0 : shared_context(previous, key, depth, bits),
                              key);
    previous = key;
  }
  return leaves;
}

// Keys of at most twice this many bits are partitioned by their high half,
// and each part counted in a table over the low half.
constexpr unsigned BUCKET_BITS = 12;

// The low bits of a key of `key_bits` bits that index a bucket's table.
constexpr unsigned bucket_low_bits(unsigned key_bits) { return key_bits - key_bits / 2; }

// Leaves from packed keys partitioned by their high bits (one counting read,
// one stable scatter of (low bits, offset) words), each part then counted in
// a table indexed by the low bits, small enough to stay in the first-level
// cache, and read back in key order. Words within a part keep the order of
// their offsets, so a key's first word holds its first offset.
template <class Word, class Position, bool Keep, class T>
Leaves<Position> leaves_from_buckets(std::span<const T> symbols, const Rows& rows,
                                     std::size_t conditioning_depth, std::size_t depth,
                                     unsigned bits, std::size_t positions, unsigned offset_bits) {
  const unsigned key_bits = bits * static_cast<unsigned>(depth + 1);
  const unsigned low = bucket_low_bits(key_bits), high = key_bits - low;
  const std::size_t buckets = std::size_t{1} << high, slots = std::size_t{1} << low;
  const std::uint64_t low_mask = slots - 1;
  std::vector<std::size_t> start(buckets + 1, 0);
  for_each_key(symbols, rows, conditioning_depth, depth, bits,
               [&](std::uint64_t key, std::size_t) { ++start[(key >> low) + 1]; });
  for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
  const auto words = std::make_unique_for_overwrite<Word[]>(positions);
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for_each_key(
        symbols, rows, conditioning_depth, depth, bits, [&](std::uint64_t key, std::size_t at) {
          words[next[key >> low]++] = static_cast<Word>((key & low_mask) << offset_bits | at);
        });
  }

  struct Entry {
    Position count;
    Position first;
  };
  std::vector<Entry> table(slots, Entry{0, 0});
  std::vector<std::uint64_t> present((slots + 63) / 64, 0);
  const Word offset_mask = static_cast<Word>((Word{1} << offset_bits) - 1);
  Leaves<Position> leaves;
  leaves.key_bits = Keep ? bits : 0;
  leaves.reserve(std::min<std::size_t>(positions, std::size_t{1} << key_bits));
  if constexpr (Keep)
    leaves.key.reserve(std::min<std::size_t>(positions, std::size_t{1} << key_bits));
  std::uint64_t previous = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    // Latest offset first, so that the earliest is written last.
    for (std::size_t k = start[b + 1]; k-- > start[b];) {
      const Word word = words[k];
      const std::size_t slot = static_cast<std::size_t>(word >> offset_bits);
      Entry& entry = table[slot];
      entry.first = static_cast<Position>(word & offset_mask);
      ++entry.count;
      present[slot / 64] |= std::uint64_t{1} << (slot % 64);
    }
    for (std::size_t j = 0; j < present.size(); ++j) {
      for (std::uint64_t set = std::exchange(present[j], 0); set != 0; set &= set - 1) {
        const std::size_t slot = 64 * j + static_cast<std::size_t>(std::countr_zero(set));
        const std::uint64_t key = std::uint64_t{b} << low | slot;
        leaves.template add<Keep>(
            table[slot].first, table[slot].count,
            leaves.size() == 0 ? 0 : shared_context(previous, key, depth, bits), key);
        table[slot] = Entry{0, 0};
        previous = key;
      }
    }
  }
  return leaves;
}

// Leaves from (key, offset) words sorted by key; offsets ascend within a key.
template <class Position, bool Keep, class T>
Leaves<Position> leaves_from_packed(std::span<const T> symbols, const Rows& rows,
                                    std::size_t conditioning_depth, std::size_t depth,
                                    unsigned bits, std::size_t positions, unsigned offset_bits) {
  const unsigned key_bits = bits * static_cast<unsigned>(depth + 1);
  const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(2 * positions);
  std::span<std::uint64_t> words(buffer.get(), positions);
  RadixSort radix(offset_bits, offset_bits + key_bits);
  std::size_t n = 0;
  for_each_key(symbols, rows, conditioning_depth, depth, bits,
               [&](std::uint64_t key, std::size_t at) {
                 const std::uint64_t word = key << offset_bits | at;
                 radix.count(word);
                 words[n++] = word;
               });
  words = radix.sort(words, std::span(buffer.get() + positions, positions));

  const std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;
  std::size_t distinct = 1;
  for (std::size_t i = 1; i < n; ++i) {
    distinct += (words[i] >> offset_bits) != (words[i - 1] >> offset_bits);
  }
  Leaves<Position> leaves;
  leaves.key_bits = Keep ? bits : 0;
  leaves.reserve(distinct);
  if constexpr (Keep) leaves.key.reserve(distinct);
  for (std::size_t i = 0; i < n;) {
    const std::uint64_t key = words[i] >> offset_bits;
    std::size_t end = i + 1;
    while (end < n && (words[end] >> offset_bits) == key) ++end;
    leaves.template add<Keep>(
        static_cast<Position>(words[i] & offset_mask), static_cast<Position>(end - i),
        i == 0 ? 0 : shared_context(words[i - 1] >> offset_bits, key, depth, bits), key);
    i = end;
  }
  return leaves;
}

// Leaves from the counted offsets sorted by their keys read symbol by symbol:
// a most-significant-byte-first radix sort (each symbol as its big-endian
// bytes) with insertion sort for small groups. Stable, so the first offset of
// a key comes first.
template <class Position, class T>
Leaves<Position> leaves_from_digits(std::span<const T> symbols, const Rows& rows,
                                    std::size_t conditioning_depth, std::size_t depth,
                                    std::size_t positions) {
  constexpr std::size_t SMALL = 16;
  constexpr std::size_t width = sizeof(T);
  const std::size_t digits = depth + 1;
  const std::size_t key_bytes = width * digits;
  // Digit q of a key: context symbol q + 1 for q < depth, then the symbol.
  auto digit = [&](Position at, std::size_t q) -> T {
    return q < depth ? symbols[at - 1 - q] : symbols[at];
  };
  auto key_byte = [&](Position at, std::size_t j) -> unsigned {
    return static_cast<unsigned>(
        (static_cast<std::uint64_t>(digit(at, j / width)) >> (8 * (width - 1 - j % width))) & 0xFF);
  };
  // Digits shared by two keys that agree on their first `from` digits.
  auto common = [&](Position a, Position b, std::size_t from) {
    while (from < digits && digit(a, from) == digit(b, from)) ++from;
    return from;
  };

  std::vector<Position> order;
  order.reserve(positions);
  for_each_counted(rows, conditioning_depth, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t at = lo; at < hi; ++at) order.push_back(static_cast<Position>(at));
  });
  // shared[i]: digits key i shares with key i - 1 (digits itself when equal).
  std::vector<std::uint32_t> shared(positions, 0);
  std::vector<Position> spare(positions);

  struct Group {
    std::size_t begin, end, byte;
  };
  std::vector<Group> groups;
  if (positions > 1) groups.push_back(Group{0, positions, 0});
  std::size_t counts[256];
  while (!groups.empty()) {
    const Group g = groups.back();
    groups.pop_back();
    if (g.byte == key_bytes) {
      for (std::size_t i = g.begin + 1; i < g.end; ++i)
        shared[i] = static_cast<std::uint32_t>(digits);
      continue;
    }
    const std::size_t from = g.byte / width;  // every key of the group shares these digits
    if (g.end - g.begin <= SMALL) {
      for (std::size_t i = g.begin + 1; i < g.end; ++i) {
        const Position moving = order[i];
        std::size_t j = i;
        for (; j > g.begin; --j) {
          const std::size_t c = common(order[j - 1], moving, from);
          if (c == digits || digit(order[j - 1], c) < digit(moving, c)) break;
          order[j] = order[j - 1];
        }
        order[j] = moving;
      }
      for (std::size_t i = g.begin + 1; i < g.end; ++i) {
        shared[i] = static_cast<std::uint32_t>(common(order[i - 1], order[i], from));
      }
      continue;
    }
    std::fill(std::begin(counts), std::end(counts), 0);
    for (std::size_t i = g.begin; i < g.end; ++i) ++counts[key_byte(order[i], g.byte)];
    if (counts[key_byte(order[g.begin], g.byte)] == g.end - g.begin) {
      groups.push_back(Group{g.begin, g.end, g.byte + 1});
      continue;
    }
    std::size_t starts[257];
    starts[0] = g.begin;
    for (std::size_t b = 0; b < 256; ++b) starts[b + 1] = starts[b] + counts[b];
    std::size_t next[256];
    std::copy(starts, starts + 256, next);
    for (std::size_t i = g.begin; i < g.end; ++i)
      spare[next[key_byte(order[i], g.byte)]++] = order[i];
    std::copy(spare.begin() + static_cast<std::ptrdiff_t>(g.begin),
              spare.begin() + static_cast<std::ptrdiff_t>(g.end),
              order.begin() + static_cast<std::ptrdiff_t>(g.begin));
    for (std::size_t b = 256; b-- > 0;) {
      const std::size_t lo = starts[b], hi = starts[b + 1];
      if (lo == hi) continue;
      if (lo != g.begin) shared[lo] = static_cast<std::uint32_t>(from);
      if (hi - lo > 1) groups.push_back(Group{lo, hi, g.byte + 1});
    }
  }

  std::size_t distinct = 0;
  for (std::size_t i = 0; i < positions; ++i) distinct += i == 0 || shared[i] != digits;
  Leaves<Position> leaves;
  leaves.reserve(distinct);
  for (std::size_t i = 0; i < positions;) {
    std::size_t end = i + 1;
    Position first = order[i];
    while (end < positions && shared[end] == digits) first = std::min(first, order[end++]);
    leaves.add(first, static_cast<Position>(end - i), i == 0 ? 0 : shared[i]);
    i = end;
  }
  return leaves;
}

// The widths of the packed keys of `rows` at `depth`, and which strategies
// they leave room for.
struct KeyShape {
  unsigned bits;         // per symbol
  std::size_t key_bits;  // per key: its depth + 1 symbols
  unsigned offset_bits;  // per position offset
  bool table_fits, packed_fits, buckets_fit;

  KeyShape(const Rows& rows, std::size_t depth)
      : bits(std::max(1u, static_cast<unsigned>(std::bit_width(rows.max_symbol())))),
        key_bits(bits * (depth + 1)),  // no overflow: depth <= 65535
        offset_bits(static_cast<unsigned>(std::bit_width(rows.symbol_count()))),
        table_fits(key_bits <= TABLE_BITS),
        packed_fits(key_bits + offset_bits <= 64),
        buckets_fit(key_bits <= 2 * BUCKET_BITS && key_bits - key_bits / 2 + offset_bits <= 64) {}

  bool applies(SortStrategy strategy) const noexcept {
    switch (strategy) {
      case SortStrategy::Table:
        return table_fits;
      case SortStrategy::Buckets:
        return buckets_fit;
      case SortStrategy::Packed:
        return packed_fits;
      case SortStrategy::Automatic:
      case SortStrategy::Digits:
        return true;
    }
    return false;
  }
};

}  // namespace

bool strategy_applies(const Rows& rows, std::size_t depth, SortStrategy strategy) {
  return KeyShape(rows, depth).applies(strategy);
}

template <class Position>
Leaves<Position> sorted_leaves(const Rows& rows, std::size_t conditioning_depth, std::size_t depth,
                               SortStrategy strategy, bool keep_keys) {
  const Count positions = counted_positions(rows, conditioning_depth);
  if (positions == 0) return {};
  const KeyShape shape(rows, depth);
  const unsigned bits = shape.bits;
  const std::size_t key_bits = shape.key_bits;
  const unsigned offset_bits = shape.offset_bits;
  if (strategy == SortStrategy::Automatic) {
    // The table costs one entry per possible key: worth it when there are no
    // more of those than twice the positions, where sorting would need as
    // much memory for its two buffers of words.
    const Count table_size = shape.table_fits ? Count{1} << key_bits : 0;
    strategy = shape.table_fits && table_size <= std::max<Count>(2 * positions, 4096)
                   ? SortStrategy::Table
               : shape.buckets_fit ? SortStrategy::Buckets
               : shape.packed_fits ? SortStrategy::Packed
                                   : SortStrategy::Digits;
  }
  // Only tests force a strategy; fitting and counting choose one that applies.
  if (!shape.applies(strategy)) {
    throw InternalFault("sorted_leaves: the sort strategy does not apply to these keys");
  }
  auto count = [&]<bool Keep>() {
    return rows.visit([&](auto symbols) {
      switch (strategy) {
        case SortStrategy::Table:
          return leaves_from_table<Position, Keep>(symbols, rows, conditioning_depth, depth, bits);
        case SortStrategy::Buckets:
          if (bucket_low_bits(static_cast<unsigned>(key_bits)) + offset_bits <= 32) {
            return leaves_from_buckets<std::uint32_t, Position, Keep>(
                symbols, rows, conditioning_depth, depth, bits, static_cast<std::size_t>(positions),
                offset_bits);
          }
          return leaves_from_buckets<std::uint64_t, Position, Keep>(
              symbols, rows, conditioning_depth, depth, bits, static_cast<std::size_t>(positions),
              offset_bits);
        case SortStrategy::Packed:
          return leaves_from_packed<Position, Keep>(symbols, rows, conditioning_depth, depth, bits,
                                                    static_cast<std::size_t>(positions),
                                                    offset_bits);
        case SortStrategy::Digits:
          return leaves_from_digits<Position>(symbols, rows, conditioning_depth, depth,
                                              static_cast<std::size_t>(positions));
        case SortStrategy::Automatic:
          break;  // chosen above
      }
      throw InternalFault("sorted_leaves: no sort strategy chosen");
    });
  };
  // Fitting never keeps keys: its code is the counting alone.
  return keep_keys ? count.template operator()<true>() : count.template operator()<false>();
}

template Leaves<std::uint32_t> sorted_leaves<std::uint32_t>(const Rows&, std::size_t, std::size_t,
                                                            SortStrategy, bool);
template Leaves<std::uint64_t> sorted_leaves<std::uint64_t>(const Rows&, std::size_t, std::size_t,
                                                            SortStrategy, bool);

}  // namespace ostrel::detail
