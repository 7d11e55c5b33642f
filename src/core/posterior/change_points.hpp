#pragma once
// Change points of one row under bct's prior: the row's counted positions
// (max_depth .. n - 1) cut into segments, each with its own tree and
// parameters, contexts reaching back across a cut. A segment's evidence is
// that of a mixture (mixture.hpp) holding its positions alone; the evidence of
// a set of positions does not depend on the order they are added, so one
// running mixture from each end gives every prefix's and every suffix's.

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/types.hpp"
#include "posterior/prior.hpp"

namespace ostrel::bct {

// Per position j, the log posterior of a single change point at j (j the
// first position of the second segment) under a uniform prior over the
// positions that leave both segments non-empty; -inf at the others. Linear
// in the row's length: 2 (n - max_depth) path updates.
std::vector<double> change_point_posterior(std::span<const Symbol> row, std::size_t alphabet_size,
                                           std::size_t max_depth, const BctPrior& prior);

struct Segmentation {
  // Per number of change points 0 .. max_changes: the log evidence (the
  // positions' probability averaged over where the changes are), the
  // posterior probability of that number, and the most probable positions
  // (none when no segmentation has that many).
  std::vector<double> log_evidence;
  std::vector<double> posterior;
  std::vector<std::optional<std::vector<std::size_t>>> map;
  // Per position of the row: the posterior probability of a change there.
  std::vector<double> marginal;
};

// Doubles of segment evidences held at once, at most (512 MiB): each
// segment's evidence is held twice, so about 2^25 segments.
inline constexpr std::size_t MAX_SEGMENT_EVIDENCES = std::size_t{1} << 26;

// The exact posterior over segmentations with 0 .. max_changes change points
// on the grid max_depth + stride, max_depth + 2 stride, ... (below n), a
// uniform prior over the number and, given it, over the positions. Evidences
// for every pair of grid points: about (n / stride) n path updates. Refuses
// a stride of 0 with a ValueError message; throws std::bad_alloc before
// starting when the segment evidences would exceed MAX_SEGMENT_EVIDENCES, and
// when max_changes is not below it.
std::expected<Segmentation, std::string> segment(std::span<const Symbol> row,
                                                 std::size_t alphabet_size, std::size_t max_depth,
                                                 std::size_t max_changes, std::size_t stride,
                                                 const BctPrior& prior);

}  // namespace ostrel::bct
