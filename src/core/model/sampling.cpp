// Exact sampling in integers. Weights total less than 3 * 2^64 (n and A are
// below 2^64): a draw takes a second output only when W - 1 does not fit one
// word, and cumulative weights take two words only when W does not.

#include "model/sampling.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace ostrel {

namespace {

// An unsigned value below 2^128 in two words, with what the draw needs.
struct Wide {
  std::uint64_t high = 0;
  std::uint64_t low = 0;

  Wide() = default;
  explicit Wide(std::uint64_t value) : low(value) {}
  Wide(std::uint64_t h, std::uint64_t l) : high(h), low(l) {}

  friend Wide operator+(Wide a, Wide b) {
    const std::uint64_t low = a.low + b.low;
    return {a.high + b.high + (low < a.low ? 1 : 0), low};
  }
  friend Wide operator-(Wide a, Wide b) {
    return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
  }
  friend bool operator<(Wide a, Wide b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  }
};

// 2 * count as a value of U (the caller has made sure it fits).
template <class U>
U doubled(Count count) {
  if constexpr (std::is_same_v<U, Wide>) {
    return Wide(count >> 63, count << 1);
  } else {
    return count << 1;
  }
}

template <class U>
Symbol low_word(U value) {
  if constexpr (std::is_same_v<U, Wide>) {
    return static_cast<Symbol>(value.low);
  } else {
    return static_cast<Symbol>(value);
  }
}

// The symbol whose cumulative weight range holds `u`: symbols ascend, an
// unrecorded symbol weighs 1 and a recorded one 2 c + 1.
template <class U>
Symbol pick(std::span<const SymbolCount> sorted, U u) {
  U before{};  // twice the counts of the recorded symbols passed
  for (const SymbolCount& record : sorted) {
    const U start = before + U(record.symbol);
    if (u < start) return low_word(u - before);  // an unrecorded symbol below this one
    if (u < start + doubled<U>(record.count) + U(1)) return record.symbol;
    before = before + doubled<U>(record.count);
  }
  return low_word(u - before);
}

std::uint64_t splitmix64(std::uint64_t& x) noexcept {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

const CountTrie& fitted_trie(const OSTRELObject& model) {
  if (!model.fitted()) throw InternalFault("sampling requires a fitted model");
  return *model.trie;
}

}  // namespace

RandomStream::RandomStream(std::uint64_t seed) noexcept {
  for (std::uint64_t& word : state_) word = splitmix64(seed);
}

std::uint64_t RandomStream::next() noexcept {
  const std::uint64_t result = std::rotl(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = std::rotl(state_[3], 45);
  return result;
}

Sampler::Sampler(const OSTRELObject& model, std::span<const Symbol> history, std::uint64_t seed,
                 Count draws)
    : trie_(fitted_trie(model)),
      lookup_(trie_, model.mask->terminal, draws),
      random_(seed),
      depth_(trie_.storage_depth()) {
  window_.reserve(2 * depth_);
  const std::size_t kept = std::min(depth_, history.size());
  window_.assign(history.end() - static_cast<std::ptrdiff_t>(kept), history.end());
  walk_ = lookup_.walk(std::span<const Symbol>(window_));
  const std::size_t nodes = trie_.node_count();
  if (nodes <= draws && nodes <= DENSE_LIMIT) tables_.assign(nodes, Table{0, NOT_MADE, 0, 0});
}

Sampler::Table Sampler::make_table(NodeIndex node) {
  const Count n = trie_.node(node).count;
  const Wide total = Wide(n >> 63, n << 1) + Wide(trie_.alphabet_size());
  if (total.high != 0) return Table{0, 0, 0, 0};
  sorted_outcomes(trie_, node, sorted_);
  Table table{total.low - 1, static_cast<std::uint32_t>(cuts_.size()),
              static_cast<std::uint32_t>(std::max(sorted_.size(), SMALL)),
              64 - static_cast<int>(std::bit_width(total.low - 1))};
  // Every partial sum is at most W, below 2^64.
  std::uint64_t before = 0;
  for (const SymbolCount& record : sorted_) {
    const std::uint64_t start = before + record.symbol;
    before += record.count << 1;
    cuts_.push_back(Cut{start, start + (record.count << 1) + 1, before, record.symbol});
  }
  for (std::size_t i = sorted_.size(); i < SMALL; ++i) cuts_.push_back(Cut{~0ULL, 0, 0, 0});
  return table;
}

const Sampler::Table& Sampler::table(NodeIndex node) {
  if (tables_.empty()) {
    cuts_.clear();
    scratch_ = make_table(node);
    return scratch_;
  }
  Table& table = tables_[node];
  if (table.begin == NOT_MADE) table = make_table(node);
  return table;
}

Symbol Sampler::draw(const Table& table) {
  std::uint64_t u;
  do {
    u = random_.next() >> table.shift;
  } while (u > table.largest);
  // The cuts that start at or below u: a count free of branches for a few,
  // a binary search for more. No padding cut starts below W.
  const Cut* cuts = cuts_.data() + table.begin;
  std::size_t passed = 0;
  if (table.size == SMALL) {
    for (std::size_t i = 0; i < SMALL; ++i) passed += cuts[i].start <= u ? 1 : 0;
  } else {
    passed = static_cast<std::size_t>(
        std::upper_bound(cuts, cuts + table.size, u,
                         [](std::uint64_t value, const Cut& cut) { return value < cut.start; }) -
        cuts);
  }
  if (passed == 0) return static_cast<Symbol>(u);  // an unrecorded symbol below every record
  const Cut& cut = cuts[passed - 1];
  return u < cut.end ? cut.symbol : static_cast<Symbol>(u - cut.after);
}

Symbol Sampler::draw_wide(NodeIndex node) {
  sorted_outcomes(trie_, node, sorted_);
  const Count n = trie_.node(node).count;
  const Wide largest = Wide(n >> 63, n << 1) + Wide(trie_.alphabet_size()) - Wide(1);
  Wide u;
  if (largest.high == 0) {  // W = 2^64 exactly
    do {
      u = Wide(random_.next());
    } while (largest < u);
  } else {
    const int shift = 64 - static_cast<int>(std::bit_width(largest.high));
    do {
      const std::uint64_t high = random_.next() >> shift;
      u = Wide(high, random_.next());
    } while (largest < u);
  }
  return pick<Wide>(sorted_, u);
}

Symbol Sampler::next() {
  const NodeIndex node = walk_.answer;
  const Table& node_table = table(node);
  const Symbol symbol = node_table.size != 0 ? draw(node_table) : draw_wide(node);
  if (depth_ != 0) {
    if (window_.size() == 2 * depth_) {
      window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(depth_));
    }
    window_.push_back(symbol);
    walk_ = lookup_.walk_after(walk_, std::span<const Symbol>(window_));
  }
  return symbol;
}

}  // namespace ostrel
