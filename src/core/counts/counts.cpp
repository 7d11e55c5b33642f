// Adding rows to counts, merging counts, and their persistent state.
//
// Adding and merging are one operation: a merge of two sequences of keys in
// context order into one, in time linear in what the keys store. Each input
// spells its current key into a buffer, updating only the symbols after those
// it shares with its previous key, and the merge keeps what the two current
// keys share, so that comparing them starts where they may differ.

#include "counts/counts.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "config/config.hpp"
#include "fit/count.hpp"
#include "representation/trie.hpp"
#include "state/state.hpp"
#include "util/radix_sort.hpp"

namespace ostrel {

namespace {

using detail::KeyedLeaves;

constexpr std::uint64_t MAX_ORDINALS = std::numeric_limits<std::uint64_t>::max();

// The ordinals of one merged value as the merged value numbers them: each of
// its parts moves by the spans of the other value's parts before it.
class Rebase {
 public:
  Rebase() = default;
  void add(std::uint64_t base, std::uint64_t shift) {
    base_.push_back(base);
    shift_.push_back(shift);
  }
  std::uint64_t operator()(std::uint64_t ordinal) const noexcept {
    if (base_.size() == 1) return ordinal + shift_[0];
    const auto k = std::upper_bound(base_.begin(), base_.end(), ordinal) - base_.begin() - 1;
    return ordinal + shift_[static_cast<std::size_t>(k)];
  }

 private:
  std::vector<std::uint64_t> base_;   // where each part with symbols begins
  std::vector<std::uint64_t> shift_;  // and what its ordinals gain
};

// The keys of a value, read in order.
template <class T>
class StoredKeys {
 public:
  StoredKeys(const KeyedLeaves& keyed, std::span<const T> suffixes, const Rebase& rebase)
      : keyed_(keyed), suffixes_(suffixes), rebase_(rebase) {}
  bool done() const noexcept { return i_ == keyed_.size(); }
  // Key symbols shared with the previous key (0 for the first).
  std::size_t lcp() const noexcept { return keyed_.leaves.shared[i_]; }
  Count count() const noexcept { return keyed_.leaves.count[i_]; }
  std::uint64_t first() const noexcept { return rebase_(keyed_.leaves.first[i_]); }
  // Writes the key symbols from lcp() on.
  void spell(std::span<Symbol> key) const noexcept {
    std::copy_n(suffixes_.begin() + static_cast<std::ptrdiff_t>(at_), keyed_.stored(i_),
                key.begin() + static_cast<std::ptrdiff_t>(lcp()));
  }
  void next() noexcept { at_ += keyed_.stored(i_++); }

 private:
  const KeyedLeaves& keyed_;
  std::span<const T> suffixes_;
  const Rebase& rebase_;
  std::size_t i_ = 0, at_ = 0;
};

// The keys of freshly sorted leaves, read from the rows they were counted
// from; their offsets become ordinals from `base` on.
template <class T, class Position>
class RowKeysInOrder {
 public:
  RowKeysInOrder(const detail::Leaves<Position>& leaves, std::span<const T> symbols,
                 std::size_t depth, std::uint64_t base)
      : leaves_(leaves), symbols_(symbols), depth_(depth), base_(base) {}
  bool done() const noexcept { return i_ == leaves_.size(); }
  std::size_t lcp() const noexcept { return leaves_.shared[i_]; }
  Count count() const noexcept { return leaves_.count[i_]; }
  std::uint64_t first() const noexcept { return base_ + leaves_.first[i_]; }
  void spell(std::span<Symbol> key) const noexcept {
    const std::size_t at = leaves_.first[i_];
    for (std::size_t q = lcp(); q < depth_; ++q) key[q] = symbols_[at - 1 - q];
    key[depth_] = symbols_[at];
  }
  // Writes the key symbols from lcp() on at `out`; returns the end.
  template <class Out>
  Out* store(Out* out) const noexcept {
    const std::size_t at = leaves_.first[i_];
    for (std::size_t q = lcp(); q < depth_; ++q) *out++ = static_cast<Out>(symbols_[at - 1 - q]);
    *out++ = static_cast<Out>(symbols_[at]);
    return out;
  }
  void next() noexcept { ++i_; }

 private:
  const detail::Leaves<Position>& leaves_;
  std::span<const T> symbols_;
  std::size_t depth_;
  std::uint64_t base_;
  std::size_t i_ = 0;
};

// The keys of freshly sorted leaves that kept them packed; their offsets
// become ordinals from `base` on.
template <class Position>
class PackedKeysInOrder {
 public:
  PackedKeysInOrder(const detail::Leaves<Position>& leaves, std::size_t depth, std::uint64_t base)
      : leaves_(leaves),
        depth_(depth),
        bits_(leaves.key_bits),
        mask_((std::uint64_t{1} << bits_) - 1),
        base_(base) {}
  bool done() const noexcept { return i_ == leaves_.size(); }
  std::size_t lcp() const noexcept { return leaves_.shared[i_]; }
  Count count() const noexcept { return leaves_.count[i_]; }
  std::uint64_t first() const noexcept { return base_ + leaves_.first[i_]; }
  void spell(std::span<Symbol> key) const noexcept {
    // Key symbol q sits depth - q symbols above the lowest.
    const std::uint64_t packed = leaves_.key[i_];
    for (std::size_t q = lcp(); q <= depth_; ++q) {
      key[q] = static_cast<Symbol>((packed >> (bits_ * (depth_ - q))) & mask_);
    }
  }
  template <class Out>
  Out* store(Out* out) const noexcept {
    const std::uint64_t packed = leaves_.key[i_];
    for (std::size_t q = lcp(); q <= depth_; ++q) {
      *out++ = static_cast<Out>((packed >> (bits_ * (depth_ - q))) & mask_);
    }
    return out;
  }
  void next() noexcept { ++i_; }

 private:
  const detail::Leaves<Position>& leaves_;
  std::size_t depth_;
  unsigned bits_;
  std::uint64_t mask_;
  std::uint64_t base_;
  std::size_t i_ = 0;
};

// Merges two sequences of distinct keys in context order into `out`: keys in
// both become one, with their counts added and the earlier first ordinal.
template <class A, class B>
void merge_keys(A& a, B& b, KeyedLeaves& out) {
  const std::size_t width = out.depth + 1;
  std::vector<Symbol> ka(width), kb(width);
  // What each pending key shares with the last key written (0 before any),
  // and with the other pending key; order: the sign of ka against kb.
  std::size_t oa = 0, ob = 0, h = 0;
  int order = 0;
  auto compare_from = [&](std::size_t from) {
    h = from;
    while (h < width && ka[h] == kb[h]) ++h;
    order = h == width ? 0 : (ka[h] < kb[h] ? -1 : 1);
  };
  detail::KeyWriter writer(out);
  auto write = [&](std::span<const Symbol> key, std::size_t shared, Count count,
                   std::uint64_t first) { writer.write(key, shared, count, first); };
  if (!a.done()) a.spell(ka);
  if (!b.done()) b.spell(kb);
  if (!a.done() && !b.done()) compare_from(0);
  while (!a.done() && !b.done()) {
    if (order == 0) {
      write(ka, oa, a.count() + b.count(), std::min(a.first(), b.first()));
      a.next();
      b.next();
      const bool more_a = !a.done(), more_b = !b.done();
      if (more_a) {
        oa = a.lcp();
        a.spell(ka);
      }
      if (more_b) {
        ob = b.lcp();
        b.spell(kb);
      }
      if (!more_a || !more_b) break;
      // Each left the written key where it shares least with it, upwards.
      if (oa < ob) {
        h = oa;
        order = 1;
      } else if (oa > ob) {
        h = ob;
        order = -1;
      } else {
        compare_from(oa);
      }
      continue;
    }
    // The smaller key is written; its successor, larger, shares l with it.
    const bool from_a = order < 0;
    if (from_a) {
      write(ka, oa, a.count(), a.first());
      ob = h;
      a.next();
      if (a.done()) break;
      oa = a.lcp();
      a.spell(ka);
    } else {
      write(kb, ob, b.count(), b.first());
      oa = h;
      b.next();
      if (b.done()) break;
      ob = b.lcp();
      b.spell(kb);
    }
    const std::size_t l = from_a ? oa : ob;
    if (l < h) {
      // It rose above the written key before the other pending key did.
      h = l;
      order = from_a ? 1 : -1;
    } else if (l == h) {
      compare_from(h);
    }  // else it still falls below the other pending key where the written one did
  }
  // What is left of one of them: its pending key shares oa (ob) with the
  // last key written.
  auto drain = [&](auto& rest, std::vector<Symbol>& key, std::size_t shared) {
    while (!rest.done()) {
      write(key, shared, rest.count(), rest.first());
      rest.next();
      if (rest.done()) break;
      shared = rest.lcp();
      rest.spell(key);
    }
  };
  drain(a, ka, oa);
  drain(b, kb, ob);
}

// Writes freshly sorted leaves, `fresh` reading their keys, as the keys of
// the empty `out`: what merging them with no keys writes, without the merge.
// `symbols` is what their keys store, `bound` at least their largest symbol.
template <class Fresh, class Position>
void copy_keys(Fresh& fresh, const detail::Leaves<Position>& leaves, std::uint64_t base,
               std::size_t symbols, Symbol bound, KeyedLeaves& out) {
  const std::size_t n = leaves.size();
  out.leaves.first.resize(n);
  out.leaves.count.assign(leaves.count.begin(), leaves.count.end());
  out.leaves.shared = leaves.shared;
  for (std::size_t i = 0; i < n; ++i) out.leaves.first[i] = base + leaves.first[i];
  if (n != 0) out.leaves.shared[0] = 0;
  out.suffixes.append_with(symbols, bound, [&](auto* at) {
    for (; !fresh.done(); fresh.next()) at = fresh.store(at);
  });
}

// Calls f(keys) with the value's keys read in order (StoredKeys of the type
// its symbols are stored in).
template <class F>
void with_stored_keys(const KeyedLeaves& keyed, const Rebase& rebase, F&& f) {
  keyed.suffixes.visit([&](auto suffixes) {
    StoredKeys keys(keyed, suffixes, rebase);
    f(keys);
  });
}

// Ordinals that stay as they are.
Rebase unchanged() {
  Rebase rebase;
  rebase.add(0, 0);
  return rebase;
}

// Rows that hold at least one symbol.
std::size_t rows_with_symbols(const Rows& rows) {
  std::size_t n = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) n += rows.row_length(r) != 0;
  return n;
}

// Each row that holds symbols after `depth` copies of `start`, a symbol above
// every one of theirs: counted after `depth` symbols of their row, the padded
// rows' positions are every position of the rows, each with the context that
// runs back to its row's start and repeats it. Empty rows have no position
// and are left out. `held`: the symbols of the padded rows.
Rows with_start(const Rows& rows, std::size_t depth, Symbol start, std::size_t held) {
  Rows out;
  out.reserve_symbols(held);
  const std::vector<Symbol> padding(depth, start);
  rows.visit([&](auto symbols) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows.row_length(r) == 0) continue;
      out.append(std::span<const Symbol>(padding), start);
      const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
      using Stored = std::remove_cv_t<typename decltype(row)::element_type>;
      if constexpr (sizeof(Stored) <= sizeof(Symbol)) {
        out.append(row, start);
      } else {
        // Stored wider than the word (64-bit items on a 32-bit machine): the
        // symbols, checked below the alphabet size, fit the word.
        for (const Stored s : row) out.push_symbol(static_cast<Symbol>(s));
      }
      out.end_row();
    }
  });
  return out;
}

}  // namespace

Counts::Counts(std::size_t alphabet_size, std::size_t max_depth, std::uint64_t part, bool starts)
    : alphabet_size_(alphabet_size), starts_(starts), parts_{Part{part, 0, 0}} {
  keyed_.depth = max_depth;
}

std::expected<Counts, std::string> Counts::create(std::size_t alphabet_size, std::size_t max_depth,
                                                  std::uint64_t part, bool starts) {
  if (auto shape = check_shape(alphabet_size, max_depth); !shape) {
    return std::unexpected(std::move(shape.error()));
  }
  return Counts(alphabet_size, max_depth, part, starts);
}

std::expected<void, std::string> Counts::add(const Rows& given) {
  if (auto valid = check_symbols(given, alphabet_size_); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  // Counted from their start, the rows are counted as their padded copies.
  std::optional<Rows> padded;
  if (starts_) {
    const std::uint64_t filled = rows_with_symbols(given);
    if (filled != 0 && max_depth() > (MAX_ORDINALS - given.symbol_count()) / filled) {
      return std::unexpected("counts cannot hold more than 18446744073709551615 symbols");
    }
    const std::uint64_t held = given.symbol_count() + max_depth() * filled;
    if (held > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    padded = with_start(given, max_depth(), start(), static_cast<std::size_t>(held));
  }
  const Rows& rows = padded ? *padded : given;
  const std::uint64_t symbols = rows.symbol_count();
  if (symbols > MAX_ORDINALS - span_) {
    return std::unexpected("counts cannot hold more than 18446744073709551615 symbols");
  }
  const std::size_t depth = max_depth();
  KeyedLeaves merged;
  merged.depth = depth;
  detail::with_offset_type(rows, [&](auto offset) {
    using Position = decltype(offset);
    const auto leaves =
        detail::sorted_leaves<Position>(rows, depth, depth, detail::SortStrategy::Automatic, true);
    std::uint64_t fresh_symbols = 0;
    for (std::size_t i = 0; i < leaves.size(); ++i) fresh_symbols += depth + 1 - leaves.shared[i];
    merged.leaves.reserve(keyed_.size() + leaves.size());
    merged.suffixes.reserve_more(keyed_.suffixes.size() + fresh_symbols);
    const Rebase same = unchanged();
    auto merge = [&](auto& fresh) {
      if (keyed_.size() == 0) {
        copy_keys(fresh, leaves, span_, fresh_symbols, rows.max_symbol(), merged);
      } else {
        with_stored_keys(keyed_, same, [&](auto& stored) { merge_keys(stored, fresh, merged); });
      }
    };
    if (leaves.key_bits != 0) {
      PackedKeysInOrder fresh(leaves, depth, span_);
      merge(fresh);
      return;
    }
    rows.visit([&](auto row_symbols) {
      RowKeysInOrder fresh(leaves, row_symbols, depth, span_);
      merge(fresh);
    });
  });
  const Count positions = counted_positions(rows, depth);
  // Nothing below can fail.
  keyed_ = std::move(merged);
  parts_.back().rows += given.size();
  parts_.back().span += symbols;
  span_ += symbols;
  sample_size_ += positions;
  return {};
}

std::expected<Counts, std::string> Counts::merge(const Counts& a, const Counts& b) {
  if (a.alphabet_size_ != b.alphabet_size_) {
    return std::unexpected("cannot merge Counts of alphabet_size " +
                           std::to_string(a.alphabet_size_) + " and " +
                           std::to_string(b.alphabet_size_));
  }
  if (a.max_depth() != b.max_depth()) {
    return std::unexpected("cannot merge Counts of max_depth " + std::to_string(a.max_depth()) +
                           " and " + std::to_string(b.max_depth()));
  }
  if (a.starts_ != b.starts_) {
    return std::unexpected(
        "cannot merge Counts counted from their rows' start (starts=True) with Counts that are "
        "not: their contexts differ");
  }
  if (a.span_ > MAX_ORDINALS - b.span_) {
    return std::unexpected("counts cannot hold more than 18446744073709551615 symbols");
  }
  // The parts of both by id; a part that both list holds rows in one of them
  // at most, or which of its rows came first would be unknown.
  Counts out(a.alphabet_size_, a.max_depth(), 0, a.starts_);
  out.parts_.clear();
  Rebase rebase_a, rebase_b;
  std::uint64_t base = 0, base_a = 0, base_b = 0;
  auto take = [&](const Part& part, std::uint64_t& side_base, Rebase& rebase) {
    if (part.span != 0) rebase.add(side_base, base - side_base);
    side_base += part.span;
  };
  for (std::size_t i = 0, j = 0; i < a.parts_.size() || j < b.parts_.size();) {
    const Part* pa = i < a.parts_.size() ? &a.parts_[i] : nullptr;
    const Part* pb = j < b.parts_.size() ? &b.parts_[j] : nullptr;
    if (pa != nullptr && pb != nullptr && pa->id == pb->id) {
      if (pa->rows != 0 && pb->rows != 0) {
        return std::unexpected("both Counts hold rows of part " + std::to_string(pa->id) +
                               ", so their order is unknown; give each its own part");
      }
      take(*pa, base_a, rebase_a);
      take(*pb, base_b, rebase_b);
      out.parts_.push_back(Part{pa->id, pa->rows + pb->rows, pa->span + pb->span});
      ++i;
      ++j;
    } else if (pb == nullptr || (pa != nullptr && pa->id < pb->id)) {
      take(*pa, base_a, rebase_a);
      out.parts_.push_back(*pa);
      ++i;
    } else {
      take(*pb, base_b, rebase_b);
      out.parts_.push_back(*pb);
      ++j;
    }
    base += out.parts_.back().span;
  }
  out.span_ = base;
  out.sample_size_ = a.sample_size_ + b.sample_size_;
  out.keyed_.leaves.reserve(a.keyed_.size() + b.keyed_.size());
  out.keyed_.suffixes.reserve_more(a.keyed_.suffixes.size() + b.keyed_.suffixes.size());
  with_stored_keys(a.keyed_, rebase_a, [&](auto& from_a) {
    with_stored_keys(b.keyed_, rebase_b,
                     [&](auto& from_b) { merge_keys(from_a, from_b, out.keyed_); });
  });
  return out;
}

std::expected<void, std::string> require_symbol_contexts(const Counts& counts,
                                                         std::string_view reader) {
  if (!counts.starts()) return {};
  return std::unexpected(std::string(reader) +
                         " reads counts as a tree whose contexts are the alphabet's symbols only, "
                         "but these were made with starts=True and their contexts reach back to a "
                         "row's start; Counts.mixture() serves such counts");
}

}  // namespace ostrel
