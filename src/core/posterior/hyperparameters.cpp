// The evidence searches: the Kneser-Ney mixture's evidence with its gradient
// in seven numbers, the Dirichlet evidence of counts, and the quasi-Newton
// search both share.

#include "posterior/hyperparameters.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

#include "fit/count.hpp"
#include "posterior/dirichlet.hpp"
#include "posterior/kneser_ney.hpp"
#include "posterior/posterior.hpp"
#include "posterior/prior.hpp"

namespace ostrel::bct {

namespace {

constexpr std::size_t K = 7;  // z, a1, a2, a3, b, c, e
using Tangent = std::array<double, K>;

double logistic(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// The hyperparameters at the seven numbers, and their derivatives.
struct Family {
  double beta, dbeta;                       // d beta / dz
  std::vector<double> discount, ddiscount;  // per depth and class: value, d/da_k (d/db = d * that)
  std::vector<double> concentration;        // per depth (d/dc = value, d/de = d * value)

  Family(const double* u, std::size_t depth) {
    const double s = logistic(u[0]);
    beta = 0.5 + 0.5 * s;
    dbeta = 0.5 * s * (1.0 - s);
    for (std::size_t d = 0; d <= depth; ++d) {
      for (std::size_t k = 0; k < KneserNey::CLASSES; ++k) {
        const double v = logistic(u[1 + k] + u[4] * static_cast<double>(d));
        // Inside (0, 1) as the estimator takes it, however far the search goes.
        discount.push_back(std::clamp(v, 0x1p-40, 1.0 - 0x1p-53));
        ddiscount.push_back(v * (1.0 - v));
      }
      concentration.push_back(std::min(std::exp(u[5] + u[6] * static_cast<double>(d)), 1e12));
    }
  }
};

// An open-addressing map from (owner, symbol) to a 32-bit value.
class PairMap {
 public:
  static constexpr std::uint32_t NONE = ~std::uint32_t{0};
  std::uint32_t find(std::uint32_t owner, Symbol symbol) const {
    if (entries_.empty()) return NONE;
    for (std::size_t i = slot(owner, symbol);; i = (i + 1) & mask_) {
      const Entry& e = entries_[i];
      if (e.value == NONE) return NONE;
      if (e.owner == owner && e.symbol == symbol) return e.value;
    }
  }
  void insert(std::uint32_t owner, Symbol symbol, std::uint32_t value) {
    if (2 * (size_ + 1) > entries_.size()) grow();
    place(Entry{symbol, owner, value});
    ++size_;
  }

 private:
  struct Entry {
    Symbol symbol;
    std::uint32_t owner, value;
  };
  std::size_t slot(std::uint32_t owner, Symbol symbol) const {
    std::uint64_t h =
        (static_cast<std::uint64_t>(owner) << 32) ^ static_cast<std::uint64_t>(symbol);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h) & mask_;
  }
  void place(const Entry& entry) {
    std::size_t i = slot(entry.owner, entry.symbol);
    while (entries_[i].value != NONE) i = (i + 1) & mask_;
    entries_[i] = entry;
  }
  void grow() {
    std::vector<Entry> old = std::move(entries_);
    entries_.assign(old.empty() ? 1024 : 2 * old.size(), Entry{0, 0, NONE});
    mask_ = entries_.size() - 1;
    for (const Entry& e : old) {
      if (e.value != NONE) place(e);
    }
  }
  std::vector<Entry> entries_;
  std::size_t mask_ = 0, size_ = 0;
};

// The Kneser-Ney mixture of mixture.hpp, a node's stopping odds held as
// their logarithm L with its tangent, every estimate with its tangent.
class GradientPass {
 public:
  GradientPass(std::size_t alphabet_size, std::size_t depth, const double* u)
      : m_(alphabet_size), depth_(depth), family_(u, depth) {
    const double b = family_.beta;
    fresh_L_ = std::log(b / (1.0 - b));
    fresh_dL_.fill(0.0);
    fresh_dL_[0] = (1.0 / b + 1.0 / (1.0 - b)) * family_.dbeta;
    nodes_.push_back(fresh());
    path_.resize(depth + 1);
    last_records_.resize(depth);
    found_.resize(depth + 1);
    q_.resize(depth + 1);
    dq_.resize(depth + 1);
  }

  // A new row starts: its first position walks from the root.
  void new_row() { linked_ = false; }
  // Adds position t of `row`; returns its log predictive probability, its
  // tangent added to `gradient`.
  template <class T>
  double add(std::span<const T> row, std::size_t t, Tangent& gradient) {
    const Symbol a = static_cast<Symbol>(row[t]);
    // The path: through the last position's records' links when this one
    // follows it in its row (as the mixture walks), else from the root.
    const bool linked = linked_ && t == last_t_ + 1;
    path_[0] = 0;
    for (std::size_t d = 1; d <= depth_; ++d) {
      std::uint32_t* link = linked ? &records_[last_records_[d - 1]].next : nullptr;
      if (link != nullptr && *link != PairMap::NONE) {
        path_[d] = *link;
        continue;
      }
      const Symbol s = static_cast<Symbol>(row[t - d]);
      std::uint32_t child = children_.find(path_[d - 1], s);
      if (child == PairMap::NONE) {
        child = static_cast<std::uint32_t>(nodes_.size());
        nodes_.push_back(fresh());
        children_.insert(path_[d - 1], s, child);
      }
      path_[d] = child;
      if (link != nullptr) *link = child;
    }
    // Top-down: estimates and backing off.
    double back = 1.0 / static_cast<double>(m_);
    Tangent dback{};
    for (std::size_t d = 0; d <= depth_; ++d) found_[d] = record_index_.find(path_[d], a);
    for (std::size_t d = 0; d <= depth_; ++d) {
      const Node& node = nodes_[path_[d]];
      const std::uint32_t at = found_[d];
      const Record record = at == PairMap::NONE ? Record{} : records_[at];
      estimate(d, record.count, node.n, node.classes, back, dback, q_[d], dq_[d]);
      if (d < depth_) {
        double next = 0.0;
        Tangent dnext{};
        estimate(d, record.tables, node.tables, node.table_classes, back, dback, next, dnext);
        back = next;
        dback = dnext;
      }
    }
    // Bottom-up: mixing, and each node's odds.
    double p = q_[depth_];
    Tangent dp = dq_[depth_];
    for (std::size_t d = depth_; d-- > 0;) {
      Node& node = nodes_[path_[d]];
      if (node.n == 0) continue;
      const double w = logistic(node.L);
      const double mixed = w * q_[d] + (1.0 - w) * p;
      Tangent dmixed;
      for (std::size_t j = 0; j < K; ++j) {
        const double dw = w * (1.0 - w) * node.dL[j];
        dmixed[j] = w * dq_[d][j] + (1.0 - w) * dp[j] + (q_[d] - p) * dw;
      }
      node.L += std::log(q_[d]) - std::log(p);
      for (std::size_t j = 0; j < K; ++j) node.dL[j] += dq_[d][j] / q_[d] - dp[j] / p;
      p = mixed;
      dp = dmixed;
    }
    for (std::size_t j = 0; j < K; ++j) gradient[j] += dp[j] / p;
    // The counts.
    bool first_below = false;
    for (std::size_t d = depth_ + 1; d-- > 0;) {
      std::uint32_t at = found_[d];
      if (at == PairMap::NONE) {
        at = static_cast<std::uint32_t>(records_.size());
        records_.push_back(Record{});
        record_index_.insert(path_[d], a, at);
      }
      Record& record = records_[at];
      Node& node = nodes_[path_[d]];
      const Count before = record.count;
      node.classes.count_up(before);
      ++record.count;
      ++node.n;
      if (d < depth_ && first_below) {
        node.table_classes.count_up(record.tables);
        ++record.tables;
        ++node.tables;
      }
      first_below = before == 0;
      if (d < depth_) last_records_[d] = at;
    }
    linked_ = true;
    last_t_ = t;
    return std::log(p);
  }

 private:
  struct Node {
    Count n, tables;
    KneserNey::Classes classes, table_classes;
    double L;
    Tangent dL;
  };
  struct Record {
    Count count = 0, tables = 0;
    std::uint32_t next = PairMap::NONE;  // the node of this symbol followed by the owner's context
  };
  Node fresh() const { return Node{0, 0, {}, {}, fresh_L_, fresh_dL_}; }

  // KneserNey::predict with its tangent.
  void estimate(std::size_t d, Count count, Count total, const KneserNey::Classes& classes,
                double parent, const Tangent& dparent, double& q, Tangent& dq) const {
    if (total == 0) {
      q = parent;
      dq = dparent;
      return;
    }
    const double* delta = family_.discount.data() + d * KneserNey::CLASSES;
    const double* ddelta = family_.ddiscount.data() + d * KneserNey::CLASSES;
    const double theta = family_.concentration[d];
    const double depth = static_cast<double>(d);
    double discounted = 0.0;
    for (std::size_t k = 0; k < KneserNey::CLASSES; ++k) {
      discounted += delta[k] * static_cast<double>(classes.size[k]);
    }
    const std::size_t own = count == 0 ? KneserNey::CLASSES : std::min<Count>(count, 3) - 1;
    const double Z = static_cast<double>(total) + theta;
    const double B = theta + discounted;
    const double A = static_cast<double>(count) - (count == 0 ? 0.0 : delta[own]);
    q = (A + B * parent) / Z;
    for (std::size_t j = 0; j < K; ++j) {
      double dA = 0.0, dB = 0.0, dZ = 0.0;
      if (j >= 1 && j <= 3) {
        const std::size_t k = j - 1;
        if (own == k) dA = -ddelta[k];
        dB = ddelta[k] * static_cast<double>(classes.size[k]);
      } else if (j == 4) {
        if (own < KneserNey::CLASSES) dA = -ddelta[own] * depth;
        for (std::size_t k = 0; k < KneserNey::CLASSES; ++k) {
          dB += ddelta[k] * depth * static_cast<double>(classes.size[k]);
        }
      } else if (j == 5) {
        dB = dZ = theta;
      } else if (j == 6) {
        dB = dZ = theta * depth;
      }
      dq[j] = (dA + dB * parent + B * dparent[j] - q * dZ) / Z;
    }
  }

  std::size_t m_, depth_;
  Family family_;
  double fresh_L_;
  Tangent fresh_dL_;
  std::vector<Node> nodes_;
  PairMap children_, record_index_;
  std::vector<Record> records_;
  std::vector<std::uint32_t> path_;
  std::vector<std::uint32_t> last_records_;
  std::vector<std::uint32_t> found_;  // the position's records by depth
  bool linked_ = false;
  std::size_t last_t_ = 0;
  std::vector<double> q_;
  std::vector<Tangent> dq_;
};

// A quasi-Newton (BFGS) descent of f from x, with backtracking steps; f
// returns the value and writes the gradient. At most `passes` calls of f.
template <std::size_t N>
double minimise(const std::function<double(const double*, double*)>& f, std::array<double, N>& x,
                std::size_t passes, std::size_t& used) {
  std::array<double, N> g{}, x_new{}, g_new{}, step{};
  std::array<std::array<double, N>, N> H{};  // inverse Hessian estimate
  for (std::size_t i = 0; i < N; ++i) H[i][i] = 1.0;
  double fx = f(x.data(), g.data());
  used = 1;
  // The first step is of unit length whatever the gradient's scale (an
  // evidence per position can be flat to 1e-3 at the start); later ones take
  // the curvature met.
  double norm = 0.0;
  for (std::size_t i = 0; i < N; ++i) norm += g[i] * g[i];
  norm = std::sqrt(norm);
  if (norm > 0.0 && std::isfinite(norm)) {
    for (std::size_t i = 0; i < N; ++i) H[i][i] = 1.0 / norm;
  }
  bool updated = false;
  while (used < passes) {
    for (std::size_t i = 0; i < N; ++i) {
      step[i] = 0.0;
      for (std::size_t j = 0; j < N; ++j) step[i] -= H[i][j] * g[j];
    }
    double slope = 0.0;
    for (std::size_t i = 0; i < N; ++i) slope += step[i] * g[i];
    if (!(slope < 0.0)) {  // not a descent direction: start again from the gradient
      for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) H[i][j] = i == j ? 1.0 : 0.0;
        step[i] = -g[i];
      }
      slope = 0.0;
      for (std::size_t i = 0; i < N; ++i) slope -= g[i] * g[i];
      if (!(slope < 0.0)) break;
    }
    double t = 1.0, f_new = 0.0;
    bool moved = false;
    while (used < passes) {
      for (std::size_t i = 0; i < N; ++i) x_new[i] = x[i] + t * step[i];
      f_new = f(x_new.data(), g_new.data());
      ++used;
      if (std::isfinite(f_new) && f_new <= fx + 1e-4 * t * slope) {
        moved = true;
        break;
      }
      t *= 0.3;
    }
    if (!moved) break;
    std::array<double, N> s{}, y{};
    double sy = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
      s[i] = x_new[i] - x[i];
      y[i] = g_new[i] - g[i];
      sy += s[i] * y[i];
    }
    const double gain = fx - f_new;
    x = x_new;
    g = g_new;
    fx = f_new;
    if (sy > 1e-12) {
      if (!updated) {
        // Before the first update, the inverse Hessian's scale from this step.
        double yy = 0.0;
        for (std::size_t i = 0; i < N; ++i) yy += y[i] * y[i];
        for (std::size_t i = 0; i < N; ++i) {
          for (std::size_t j = 0; j < N; ++j) H[i][j] = i == j ? sy / yy : 0.0;
        }
        updated = true;
      }
      std::array<double, N> Hy{};
      double yHy = 0.0;
      for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) Hy[i] += H[i][j] * y[j];
        yHy += y[i] * Hy[i];
      }
      for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
          H[i][j] += ((sy + yHy) * s[i] * s[j]) / (sy * sy) - (Hy[i] * s[j] + s[i] * Hy[j]) / sy;
        }
      }
    }
    if (gain < 1e-7 * std::max(1.0, std::fabs(fx))) break;
  }
  return fx;
}

// Counted positions of `rows` up to `most`, as a pass visits them.
template <class Row, class F>
void each_position(const Rows& rows, std::size_t depth, std::size_t most, Row&& new_row, F&& f) {
  rows.visit([&](auto symbols) {
    std::size_t seen = 0;
    for (std::size_t r = 0; r < rows.size() && seen < most; ++r) {
      const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
      new_row();
      for (std::size_t t = depth; t < row.size() && seen < most; ++t, ++seen) f(row, t);
    }
  });
}

}  // namespace

double kneser_ney_evidence(const Rows& rows, std::size_t alphabet_size, std::size_t max_depth,
                           std::size_t max_positions, const double* at, double* gradient) {
  GradientPass pass(alphabet_size, max_depth, at);
  Tangent g{};
  double total = 0.0;
  each_position(
      rows, max_depth, max_positions, [&] { pass.new_row(); },
      [&](auto row, std::size_t t) { total += pass.add(row, t, g); });
  if (gradient != nullptr) std::copy(g.begin(), g.end(), gradient);
  return total;
}

ChosenKneserNey kneser_ney_from(const double* at, std::size_t max_depth) {
  const Family family(at, max_depth);
  return ChosenKneserNey{family.beta, family.discount, family.concentration, 0.0, 0};
}

ChosenKneserNey choose_kneser_ney(const Rows& rows, std::size_t alphabet_size,
                                  std::size_t max_depth, std::size_t max_positions,
                                  std::size_t passes) {
  const Count positions = std::min<Count>(counted_positions(rows, max_depth), max_positions);
  // Discounts of about 0.55, 0.75 and 0.85 rising with depth, concentration
  // 1/2 and beta just above 1/2: where text, event logs and DNA start alike.
  std::array<double, K> x{-3.0, 0.2, 1.1, 1.7, 0.1, std::log(0.5), 0.0};
  const double scale = positions == 0 ? 1.0 : static_cast<double>(positions);
  std::size_t used = 0;
  const double best = minimise<K>(
      [&](const double* u, double* g) {
        const double value =
            kneser_ney_evidence(rows, alphabet_size, max_depth, max_positions, u, g);
        for (std::size_t j = 0; j < K; ++j) g[j] = -g[j] / scale;
        return -value / scale;
      },
      x, passes, used);
  ChosenKneserNey out = kneser_ney_from(x.data(), max_depth);
  out.log_evidence = -best * scale;
  out.passes = used;
  return out;
}

ChosenDirichlet choose_dirichlet(const Counts& counts, std::size_t passes) {
  // x = (z, ln alpha), beta = 1/2 + 1/2 s(z); the gradient by central
  // differences, three scans a step.
  const double scale = counts.sample_size() == 0 ? 1.0 : static_cast<double>(counts.sample_size());
  auto evidence = [&](double z, double log_alpha) {
    const double beta = std::min(0.5 + 0.5 * logistic(z), std::nextafter(1.0, 0.0));
    const double alpha = std::exp(log_alpha);
    if (!Dirichlet::checked(alpha)) {
      return -std::numeric_limits<double>::infinity();
    }
    return posterior(counts, BctPrior(beta), 0, alpha).log_evidence;
  };
  std::array<double, 2> x{0.0, std::log(0.5)};
  std::size_t used = 0;
  const double h = 1e-4;
  const double best = minimise<2>(
      [&](const double* u, double* g) {
        const double value = evidence(u[0], u[1]);
        g[0] = -(evidence(u[0] + h, u[1]) - evidence(u[0] - h, u[1])) / (2 * h) / scale;
        g[1] = -(evidence(u[0], u[1] + h) - evidence(u[0], u[1] - h)) / (2 * h) / scale;
        return -value / scale;
      },
      x, passes, used);
  return ChosenDirichlet{std::min(0.5 + 0.5 * logistic(x[0]), std::nextafter(1.0, 0.0)),
                         std::exp(x[1]), -best * scale, used};
}

}  // namespace ostrel::bct
