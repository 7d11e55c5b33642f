#pragma once
// The persistent state of counts (what pickling stores), kind 'C', layout 1.
// After the header, every number a varint:
//   alphabet_size, max_depth, the number of parts, then each part's id (in
//   increasing order), rows and span; the number of leaves, then each leaf's
//   shared symbols, its stored key symbols, its count and its first ordinal.
// Counts made from their rows' start are layout 2: the same with a byte after
// max_depth, their mode, which is 1. (Other counts are written in layout 1,
// as they always were.)
//
// Loading checks every field before anything is built: keys in strictly
// increasing context order with their symbols in the alphabet, counts of at
// least one that add up within the symbols of the parts, first ordinals
// inside their parts and never shared, parts in increasing order. In layout 2
// a key's context symbols may also be the start (alphabet_size), and once one
// is, every older one is too.

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "counts/counts.hpp"

namespace ostrel {

std::string save_counts(const Counts& counts);

// The counts a state describes, or what is wrong with the state (a message
// that starts "invalid ostrel state: ").
std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> state);

namespace detail {

// The same; `fast`: alphabets of at most 128 symbols have their keys read in
// one pass over the bytes, and when that meets anything the field-by-field
// reader would refuse, the field-by-field reader says what. Tests hold the
// fast path to the other.
std::expected<Counts, std::string> load_counts(std::span<const std::uint8_t> state, bool fast);

}  // namespace detail

}  // namespace ostrel
