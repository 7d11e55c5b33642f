// Writing and reading the persistent state of counts.

#include "state/counts_state.hpp"

#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "state/state.hpp"
#include "util/radix_sort.hpp"

namespace ostrel {

namespace {

constexpr std::uint8_t STATE_VERSION = 1;
constexpr std::uint64_t MAX_ORDINALS = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::string save_counts(const Counts& counts) {
  StateWriter out(StateKind::Counts, STATE_VERSION);
  // A key takes at least a byte for what it shares, for each symbol it
  // stores, for its count and for its first ordinal.
  out.reserve_more(3 * counts.keyed_.size() + counts.keyed_.suffixes.size() +
                   10 * (counts.parts_.size() + 4));
  out.varint(counts.alphabet_size_);
  out.varint(counts.max_depth());
  out.varint(counts.parts_.size());
  for (const Counts::Part& part : counts.parts_) {
    out.varint(part.id);
    out.varint(part.rows);
    out.varint(part.span);
  }
  out.varint(counts.keyed_.size());
  counts.keyed_.suffixes.visit([&](auto suffixes) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < counts.keyed_.size(); ++i) {
      out.varint(counts.keyed_.leaves.shared[i]);
      for (const std::size_t end = at + counts.keyed_.stored(i); at < end; ++at)
        out.varint(suffixes[at]);
      out.varint(counts.keyed_.leaves.count[i]);
      out.varint(counts.keyed_.leaves.first[i]);
    }
  });
  return std::move(out).take();
}

std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> bytes) {
  StateReader in(bytes);
  auto fault = [&] { return std::unexpected(in.error()); };
  if (in.kind() != StateKind::Counts && in.ok()) in.fail("it holds no Counts");
  in.version(STATE_VERSION);
  const std::uint64_t alphabet = in.varint();
  if (in.ok() && alphabet < 2) in.fail("alphabet_size " + std::to_string(alphabet) + " is below 2");
  if (in.ok() && alphabet > std::numeric_limits<Symbol>::max()) {
    in.fail("alphabet_size " + std::to_string(alphabet) + " does not fit this machine's " +
            std::to_string(8 * sizeof(Symbol)) + "-bit symbols");
  }
  const std::uint64_t depth = in.varint_at_most(MAX_DEPTH, "max_depth");
  const std::uint64_t part_count = in.varint();
  if (in.ok() && part_count == 0) in.fail("it lists no part");
  if (!in.fits(part_count, 3)) return fault();
  Counts out(static_cast<std::size_t>(alphabet), static_cast<std::size_t>(depth), 0);
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
        if (in.ok() && symbol >= alphabet) {
          in.fail("symbol " + std::to_string(symbol) + " of key " + std::to_string(i) +
                  " is outside 0.." + std::to_string(alphabet));
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
  if (in.ok() && n > 1) {
    // Every position has one key, so no two keys start at the same ordinal.
    std::vector<std::uint64_t> firsts(keyed.leaves.first), spare(n);
    RadixSort radix(0, static_cast<unsigned>(std::bit_width(out.span_)));
    for (const std::uint64_t f : firsts) radix.count(f);
    const auto sorted = radix.sort(firsts, spare);
    for (std::size_t i = 1; i < n; ++i) {
      if (sorted[i] == sorted[i - 1]) {
        in.fail("two keys start at ordinal " + std::to_string(sorted[i]));
        break;
      }
    }
  }
  if (!in.ok()) return fault();
  out.sample_size_ = total;
  return out;
}

}  // namespace ostrel
