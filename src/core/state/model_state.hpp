#pragma once
// The persistent state of a model (what pickling stores), kind 'M', layout 1
// or 2. After the header:
//
//   method          1 byte: 0 bct, 1 bic, 2 peres_shield
//   alphabet_size   varint
//   max_depth       varint
//   beta, penalty   8 bytes each, the doubles' bit patterns
//   fitted          1 byte: 0 or 1; when 1:
//   (layout 2 only) stored depth  varint, at most max_depth, not the one fit
//                   chooses for the sample size (layout 1 derives that one)
//   node count      varint, at least 1 (the root)
//   outcome count   varint, the records of all nodes together
//   every node in index order:
//     (not the root) parent gap  varint, index - parent index, 1 .. index
//     (not the root) symbol      w bytes
//     outcomes                   varint k, then k times: symbol (w bytes), count (varint >= 1)
//
// Symbols take the w = 1 to 8 little-endian bytes that hold alphabet_size - 1.
// Everything else a fitted model holds follows: a node's count is the sum of
// its outcome counts, its depth its parent's plus one, its children are the
// nodes naming it as parent in index order (the order of their lists in a
// fitted trie), its context flag says it has fewer children than symbols, the
// sample size is the root's count, and the stored depth is the one fit chooses
// for that many positions unless layout 2 states it. A model is written in
// layout 2 only when its stored depth is not that one (a given tree fitted
// under peres_shield), so every other state is layout 1 byte for byte. Outcome lists keep their
// order, and the records are laid out in their arenas as compaction lays them, so a loaded trie is
// the saved one record for record.

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "model/model.hpp"

namespace ostrel {

std::string save_model(const OSTRELObject& model);

// The model a state describes, or what is wrong with the state (a message
// that starts "invalid ostrel state: "). Every count and index is checked
// against the bytes left before anything is allocated for it, and every
// invariant the queries rely on is checked before the model is made.
std::expected<OSTRELObject, std::string> load_model(std::span<const std::uint8_t> state);

}  // namespace ostrel
