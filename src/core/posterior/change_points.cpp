// The single change point from a running mixture from each end, and the
// exact segmentation posterior by dynamic programming over the evidences of
// every segment between grid points (forward sums, backward sums and the
// best segmentation per number of change points).

#include "posterior/change_points.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "base/math.hpp"
#include "posterior/mixture.hpp"

namespace ostrel::bct {

namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

// The largest value(i) for i in [from, to) (-inf when there is none), in
// four running maxima that do not wait on each other.
template <class Value>
double largest(std::size_t from, std::size_t to, Value&& value) {
  double m0 = NEG_INF, m1 = NEG_INF, m2 = NEG_INF, m3 = NEG_INF;
  std::size_t i = from;
  for (; i + 4 <= to; i += 4) {
    m0 = std::max(m0, value(i));
    m1 = std::max(m1, value(i + 1));
    m2 = std::max(m2, value(i + 2));
    m3 = std::max(m3, value(i + 3));
  }
  for (; i < to; ++i) m0 = std::max(m0, value(i));
  return std::max(std::max(m0, m1), std::max(m2, m3));
}

// ln of the sum of e^value(i) for i in [from, to), the largest factored out;
// -inf when there is none or every value is -inf. Below -746 the exponential
// is +0.0, which changes no partial sum, and a term too small to move the
// partial sum leaves it as it is: both skipped.
template <class Value>
double log_sum(std::size_t from, std::size_t to, Value&& value) {
  const double hi = largest(from, to, value);
  if (hi == NEG_INF) return NEG_INF;
  double sum = 0.0, bound = NEG_INF;
  for (std::size_t i = from; i < to; ++i) {
    const double x = value(i) - hi;
    if (x >= -746.0 && x >= bound) {
      sum = sum + std::exp(x);
      bound = vanishing_bound(sum);
    }
  }
  return hi + std::log(sum);
}

// ln C(n, k).
double log_choose(std::size_t n, std::size_t k) {
  return std::lgamma(static_cast<double>(n) + 1.0) - std::lgamma(static_cast<double>(k) + 1.0) -
         std::lgamma(static_cast<double>(n - k) + 1.0);
}

}  // namespace

std::vector<double> change_point_posterior(std::span<const Symbol> row, std::size_t alphabet_size,
                                           std::size_t max_depth, const BctPrior& prior) {
  const std::size_t n = row.size(), d = max_depth;
  std::vector<double> out(n, NEG_INF);
  if (n <= d + 1) return out;  // no cut leaves two non-empty segments
  // before[j]: the evidence of positions d .. j - 1; after[j]: of j .. n - 1.
  std::vector<double> before(n + 1, 0.0), after(n + 1, 0.0);
  {
    KtMixture running(d, prior, Dirichlet(alphabet_size));
    for (std::size_t t = d; t < n; ++t) {
      running.count(row, t);
      before[t + 1] = running.log_evidence();
    }
  }
  {
    KtMixture running(d, prior, Dirichlet(alphabet_size));
    for (std::size_t t = n; t-- > d;) {
      running.count(row, t);
      after[t] = running.log_evidence();
    }
  }
  for (std::size_t j = d + 1; j < n; ++j) out[j] = before[j] + after[j];
  const double total = log_sum(d + 1, n, [&](std::size_t j) { return out[j]; });
  for (std::size_t j = d + 1; j < n; ++j) out[j] = out[j] - total;
  return out;
}

std::expected<Segmentation, std::string> segment(std::span<const Symbol> row,
                                                 std::size_t alphabet_size, std::size_t max_depth,
                                                 std::size_t max_changes, std::size_t stride,
                                                 const BctPrior& prior) {
  if (stride == 0) return std::unexpected("stride must be at least 1");
  const std::size_t n = row.size(), d = max_depth;
  // Its answers hold an entry per number of cuts.
  if (max_changes >= MAX_SEGMENT_EVIDENCES) throw std::bad_alloc();
  Segmentation out;
  out.log_evidence.assign(max_changes + 1, NEG_INF);
  out.posterior.assign(max_changes + 1, 0.0);
  out.map.assign(max_changes + 1, std::nullopt);
  out.marginal.assign(n, 0.0);
  if (n <= d + 1) {
    // No cut leaves two non-empty segments: the row is one segment (of no
    // positions, evidence 1, when it is no longer than max_depth).
    KtMixture whole(d, prior, Dirichlet(alphabet_size));
    for (std::size_t t = d; t < n; ++t) whole.add(row, t);
    out.log_evidence[0] = whole.log_evidence();
    out.posterior[0] = 1.0;
    out.map[0].emplace();
    return out;
  }
  // Points: 0 is the first counted position, 1 .. grid the grid, grid + 1
  // the row's end.
  const std::size_t grid = (n - 1 - d) / stride;
  const std::size_t points = grid + 2;
  auto at = [&](std::size_t p) { return p == grid + 1 ? n : d + p * stride; };
  // The segment from point i to point j (i < j), twice: by its end at
  // ends[offset(j) + i] and by its start at starts[from(i) + j - i - 1], so
  // that the forward and the backward sums both read them in order.
  if (grid + 1 > MAX_SEGMENT_EVIDENCES / (grid + 2)) throw std::bad_alloc();
  auto offset = [](std::size_t j) { return j * (j - 1) / 2; };
  auto start_offset = [&](std::size_t i) { return i * (points - 1) - i * (i - 1) / 2; };
  std::vector<double> ends(offset(points)), starts(offset(points));
  {
    KtMixture running(d, prior, Dirichlet(alphabet_size));
    for (std::size_t i = 0; i <= grid; ++i) {
      running.clear();
      std::size_t next = i + 1;
      double* row_of_i = starts.data() + start_offset(i);
      for (std::size_t t = at(i); t < n; ++t) {
        running.count(row, t);
        if (t + 1 == at(next)) {
          row_of_i[next - i - 1] = running.log_evidence();
          ++next;
        }
      }
    }
  }
  // By end from by start, in tiles that both fit in the cache.
  constexpr std::size_t TILE = 64;
  for (std::size_t ib = 0; ib < points; ib += TILE) {
    for (std::size_t jb = ib; jb < points; jb += TILE) {
      for (std::size_t j = std::max(jb, ib + 1); j < std::min(jb + TILE, points); ++j) {
        double* ending = ends.data() + offset(j);
        for (std::size_t i = ib; i < std::min(ib + TILE, j); ++i) {
          ending[i] = starts[start_offset(i) + j - i - 1];
        }
      }
    }
  }
  auto by_end = [&](std::size_t i, std::size_t j) { return ends[offset(j) + i]; };
  auto by_start = [&](std::size_t i, std::size_t j) { return starts[start_offset(i) + j - i - 1]; };

  const std::size_t most = std::min(max_changes, grid);
  // The sums' tables: four numbers per point and number of cuts.
  if (most + 1 > MAX_SEGMENT_EVIDENCES / (4 * points)) throw std::bad_alloc();
  // forward[k][j]: ln of the summed evidences of the segmentations of points
  // 0 .. j with k cuts; backward[k][i] likewise of points i .. grid + 1;
  // best[k][j] the largest such product and from[k][j] its last cut.
  std::vector<std::vector<double>> forward(most + 1, std::vector<double>(points, NEG_INF));
  std::vector<std::vector<double>> backward(most + 1, std::vector<double>(points, NEG_INF));
  std::vector<std::vector<double>> best(most + 1, std::vector<double>(points, NEG_INF));
  std::vector<std::vector<std::size_t>> from(most + 1, std::vector<std::size_t>(points, 0));
  // Each point's segments are read once for every number of cuts.
  for (std::size_t j = 1; j < points; ++j) {
    forward[0][j] = best[0][j] = by_end(0, j);
    const double* ending = ends.data() + offset(j);
    for (std::size_t k = 1; k <= most && k < j; ++k) {
      const double* sums = forward[k - 1].data();
      const double* bests = best[k - 1].data();
      double top = NEG_INF;
      std::size_t cut = 0;
      for (std::size_t i = k; i < j; ++i) {
        const double value = bests[i] + ending[i];
        if (value > top) {
          top = value;
          cut = i;
        }
      }
      best[k][j] = top;
      from[k][j] = cut;
      forward[k][j] = log_sum(k, j, [&](std::size_t i) { return sums[i] + ending[i]; });
    }
  }
  for (std::size_t i = grid + 1; i-- > 0;) {
    backward[0][i] = by_start(i, grid + 1);
    for (std::size_t k = 1; k <= most && i + k <= grid; ++k) {
      backward[k][i] = log_sum(i + 1, grid - k + 2,
                               [&](std::size_t j) { return by_start(i, j) + backward[k - 1][j]; });
    }
  }
  for (std::size_t k = 0; k <= most; ++k) {
    out.log_evidence[k] = forward[k][grid + 1] - log_choose(grid, k);
    std::vector<std::size_t> cuts(k);
    for (std::size_t c = k, j = grid + 1; c > 0; --c) {
      j = from[c][j];
      cuts[c - 1] = at(j);
    }
    out.map[k] = std::move(cuts);
  }
  const double total = log_sum(0, most + 1, [&](std::size_t k) { return out.log_evidence[k]; });
  for (std::size_t k = 0; k <= most; ++k) {
    out.posterior[k] = std::exp(out.log_evidence[k] - total);
  }
  // A cut at point g given k cuts: k1 cuts before it and k - 1 - k1 after.
  for (std::size_t g = 1; g <= grid; ++g) {
    double p = 0.0;
    for (std::size_t k = 1; k <= most; ++k) {
      double given = 0.0;
      for (std::size_t k1 = 0; k1 < k; ++k1) {
        given = given + std::exp(forward[k1][g] + backward[k - 1 - k1][g] - forward[k][grid + 1]);
      }
      p = p + out.posterior[k] * given;
    }
    out.marginal[at(g)] = p;
  }
  return out;
}

}  // namespace ostrel::bct
