// Widening re-encodes every stored symbol once per width step.

#include "util/symbol_buffer.hpp"

namespace ostrel {

namespace {

template <class To, class From>
UnsetVector<To> widened(const UnsetVector<From>& from) {
  UnsetVector<To> to;
  to.reserve(std::max(from.capacity(), std::size_t{1}));
  to.assign(from.begin(), from.end());
  return to;
}

}  // namespace

void SymbolBuffer::widen(Symbol value) {
  const std::size_t index = value <= std::numeric_limits<std::uint8_t>::max()    ? 0
                            : value <= std::numeric_limits<std::uint16_t>::max() ? 1
                            : value <= std::numeric_limits<std::uint32_t>::max() ? 2
                                                                                 : 3;
  if (index <= symbols_.index()) return;
  std::visit(
      [&](const auto& from) {
        switch (index) {
          case 1:
            symbols_.emplace<1>(widened<std::uint16_t>(from));
            break;
          case 2:
            symbols_.emplace<2>(widened<std::uint32_t>(from));
            break;
          default:
            symbols_.emplace<3>(widened<std::uint64_t>(from));
            break;
        }
      },
      symbols_);
}

}  // namespace ostrel
