#pragma once
// Vocabulary types of the model core: symbols, counts, record indices and node
// depths, the `NO_INDEX` sentinel (base/index.hpp), and the two exception types that signal
// conditions which are not error values (a broken invariant, or an arena that
// has run out of index space).

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "base/index.hpp"

namespace ostrel {

// A symbol of the alphabet, 0 .. alphabet_size - 1. Native unsigned word.
using Symbol = std::size_t;
// An observation count.
using Count = std::uint64_t;
// Index of a record (node, edge or outcome) in one of the trie's arenas, one
// type per arena. 32 bits keep the records compact; an arena never holds more
// than `MAX_RECORDS` records.
struct NodeKind;
struct EdgeKind;
struct OutcomeKind;
using NodeIndex = Index<NodeKind>;
using EdgeIndex = Index<EdgeKind>;
using OutcomeIndex = Index<OutcomeKind>;
// Depth of a trie node: the length of the context it stands for.
using Depth = std::uint16_t;

// The root's edge symbol: no edge leads to it. Never a valid symbol, because
// the largest alphabet has symbols up to the largest word minus one.
inline constexpr Symbol NO_SYMBOL = ~Symbol{0};
// The largest depth a node can record.
inline constexpr std::size_t MAX_DEPTH = 65535;
// Every index below NO_INDEX is usable.
inline constexpr std::size_t MAX_RECORDS = NoIndex::VALUE;

// A violated invariant of the core. Not an input condition: the binding turns
// it into its internal-fault exception at the entry point.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// An arena would need more records than its 32-bit indices can address. The
// model cannot be held, exactly as when memory runs out, so it is reported the
// same way.
class CapacityExhausted : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "the model would need more than 4294967295 trie records";
  }
};

}  // namespace ostrel
