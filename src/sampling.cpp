// Exact sampling in integers. Weights total less than 3 * 2^64 (n and A are
// below 2^64): a draw takes a second output only when W - 1 does not fit one
// word, and cumulative weights take two words only when W does not.

#include "sampling.hpp"

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

ModelResult<void> OSTRELObject::check_history(std::span<const Symbol> history) const {
  if (auto valid = validate_symbols(history); !valid) return valid;
  return require_fit();
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
  const std::size_t nodes = trie_.node_count();
  if (nodes <= draws && nodes <= DENSE_LIMIT) ranges_.assign(nodes, Range{NO_INDEX, NO_INDEX});
}

std::span<const SymbolCount> Sampler::sorted(NodeIndex node) {
  if (ranges_.empty()) {
    sorted_outcomes(trie_, node, records_);
    return records_;
  }
  Range& range = ranges_[node];
  if (range.begin == NO_INDEX) {
    const auto begin = static_cast<std::uint32_t>(records_.size());
    for (const OutcomeCount& record : trie_.outcomes(node)) {
      records_.push_back(SymbolCount{record.symbol, record.count});
    }
    std::sort(records_.begin() + begin, records_.end(),
              [](const SymbolCount& a, const SymbolCount& b) { return a.symbol < b.symbol; });
    range = Range{begin, static_cast<std::uint32_t>(records_.size())};
  }
  return std::span<const SymbolCount>(records_).subspan(range.begin, range.end - range.begin);
}

Symbol Sampler::next() {
  const NodeIndex node = lookup_.find(std::span<const Symbol>(window_));
  const std::span<const SymbolCount> records = sorted(node);
  // W = 2 n + A and its largest draw W - 1.
  const Count n = trie_.node(node).count;
  const Wide total = Wide(n >> 63, n << 1) + Wide(trie_.alphabet_size());
  const Wide largest = total - Wide(1);
  Wide u;
  if (largest.high == 0) {
    const int shift = 64 - std::bit_width(largest.low);
    do {
      u = Wide(random_.next() >> shift);
    } while (largest < u);
  } else {
    const int shift = 64 - std::bit_width(largest.high);
    do {
      const std::uint64_t high = random_.next() >> shift;
      u = Wide(high, random_.next());
    } while (largest < u);
  }
  // Every partial sum is at most W, so one word holds them all below 2^64.
  const Symbol symbol =
      total.high == 0 ? pick<std::uint64_t>(records, u.low) : pick<Wide>(records, u);
  if (depth_ != 0) {
    if (window_.size() == 2 * depth_) {
      window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(depth_));
    }
    window_.push_back(symbol);
  }
  return symbol;
}

}  // namespace ostrel
