// Building the mixture from counts, predicting along a path, and adding
// positions one path at a time, with a journal that undoes a failed or
// row-local run.

#include "posterior/mixture.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "fit/count.hpp"
#include "representation/leaves.hpp"

namespace ostrel::bct {

namespace {

// A node's predictive probability from its own estimate and its child's.
inline double mix(double w, double kt, double below) { return w * kt + (1.0 - w) * below; }

// W = log_add(a, b) for a node's leaf term a = lb + E and split term b, term
// for term as log_add forms it, and the leaf's posterior weight e^(a - W)
// (left 0 when `Weights` is false). Where the smaller term is too small to
// move the larger, W is the larger without evaluating log1p, and where
// 1 + t is 1, the weight is t or 1 without the division (and without exp
// when it is 1): the same values, bit for bit.
struct Weighed {
  double W, w;
};
template <bool Weights>
inline Weighed weigh(double a, double b) {
  const double hi = a < b ? b : a;
  const double lo = a < b ? a : b;
  const double x = lo - hi;
  if constexpr (Weights) {
    // t <= e^-37.5 (1 + 2^-52) < 2^-53: 1 + t rounds to 1.
    if (x < -37.5 && vanishes_beside(x, hi)) return {hi, a < b ? std::exp(x) : 1.0};
  } else {
    if (vanishes_beside(x, hi)) return {hi, 0.0};
  }
  const double t = std::exp(x);
  return {hi + std::log1p(t), a < b ? t / (1.0 + t) : 1.0 / (1.0 + t)};
}

// Room for one more entry in the block of `size` entries at `at`: a full
// block (its capacity is the power of two at or above its size) moves to the
// pool's end with twice the room. Nothing changes if the pool cannot grow.
template <class T>
T* room_for_one(std::vector<T>& pool, std::uint64_t& at, std::uint32_t size) {
  if (size != 0 && (size & (size - 1)) != 0) return pool.data() + at;
  if (size == std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const std::size_t capacity = size == 0 ? 1 : std::size_t{2} * size;
  const std::size_t moved = pool.size();
  if (pool.capacity() < moved + capacity)
    pool.reserve(std::max(2 * pool.capacity(), moved + capacity));
  pool.resize(moved + capacity);
  std::copy_n(pool.data() + at, size, pool.data() + moved);
  at = moved;
  return pool.data() + at;
}

// Copies `size` entries; most blocks the journal saves and restores hold one.
template <class T>
void copy_small(const T* from, std::size_t size, T* to) {
  if (size == 1) {
    *to = *from;
  } else {
    std::copy_n(from, size, to);
  }
}
template <class T>
void append(std::vector<T>& to, const T* from, std::size_t size) {
  if (size == 1) {
    to.push_back(*from);
  } else {
    to.insert(to.end(), from, from + size);
  }
}

}  // namespace

Mixture::Mixture(std::size_t alphabet_size, std::size_t max_depth, const BctPrior& prior)
    : depth_(max_depth), prior_(prior), kt_(alphabet_size) {
  init();
}

void Mixture::init() {
  context_.assign(depth_, 0);
  path_.assign(depth_ + 1, 0);
  slot_.assign(depth_ + 1, 0);
  nodes_.push_back(Node{0, 0.0, 0.0, 1.0, 0, 0, 0, 0});
  stamp_.push_back(0);
}

Mixture::Mixture(const Counts& counts, const BctPrior& prior)
    : Mixture(counts.alphabet_size(), counts.max_depth(), prior) {
  base_.emplace(counts);
  const detail::KeyedLeaves& keyed = counts.keyed();
  const std::size_t leaves = keyed.size();
  if (leaves == 0) return;
  // Per node: the ordinal of its earliest position (which orders siblings)
  // and its depth.
  // Every node is made by the first leaf below it: the nodes below the
  // context symbols a leaf shares with the one before.
  std::size_t nodes = 1;
  for (std::size_t i = 0; i < leaves; ++i) {
    nodes += depth_ - std::min<std::size_t>(keyed.leaves.shared[i], depth_);
  }
  nodes_.reserve(nodes);
  stamp_.reserve(nodes);
  children_.reserve(2 * nodes);
  outcomes_.reserve(2 * nodes + leaves);
  std::vector<std::uint64_t> first(1, std::numeric_limits<std::uint64_t>::max());
  std::vector<Depth> depth_of(1, 0);
  first.reserve(nodes);
  depth_of.reserve(nodes);
  detail::with_front_keys(keyed, [&](const auto& keys) {
    for (std::size_t i = 0; i < leaves; ++i) {
      // The nodes of the context symbols this key shares with the last stay.
      const std::size_t shared = std::min<std::size_t>(keyed.leaves.shared[i], depth_);
      for (std::size_t d = shared + 1; d <= depth_; ++d) {
        new_child(d, keys.context(i, d));
        first.push_back(std::numeric_limits<std::uint64_t>::max());
        depth_of.push_back(static_cast<Depth>(d));
      }
      const Count count = keyed.leaves.count[i];
      const std::uint64_t at = keyed.leaves.first[i];
      const Symbol own = keys.own(i);
      for (std::size_t d = 0; d <= depth_; ++d) {
        const Slot node = path_[d];
        add_outcome(node, own, count);
        nodes_[node].n += count;
        first[node] = std::min(first[node], at);
      }
    }
  });
  for (const Node& node : nodes_) {
    Child* kids = children_.data() + node.kid_at;
    std::sort(kids, kids + node.kid_size,
              [&](const Child& a, const Child& b) { return first[a.node] < first[b.node]; });
  }
  // Children come after their parents: scored first.
  for (std::size_t x = nodes_.size(); x-- > 0;) {
    const Node& node = nodes_[x];
    Child* kids = children_.data() + node.kid_at;
    for (std::uint32_t k = 0; k < node.kid_size; ++k) kids[k].W = nodes_[kids[k].node].W;
    score(static_cast<Slot>(x), depth_of[x] == depth_, true);
  }
}

void Mixture::clear() {
  weights_ = true;
  nodes_.clear();
  stamp_.clear();
  outcomes_.clear();
  children_.clear();
  base_.reset();
  pending_ = Rows();
  nodes_.push_back(Node{0, 0.0, 0.0, 1.0, 0, 0, 0, 0});
  stamp_.push_back(0);
}

Counts Mixture::counts() const {
  if (!base_) throw InternalFault("mixture: no counts to give");
  Counts out = *base_;
  if (pending_.size() != 0) {
    if (auto added = out.add(pending_); !added) throw InternalFault("mixture: " + added.error());
  }
  return out;
}

// ---- the arena ---------------------------------------------------------------

Count Mixture::add_outcome(Slot x, Symbol a, Count count) {
  Node& node = nodes_[x];
  Outcome* block = outcomes_.data() + node.out_at;
  const std::uint32_t size = node.out_size;
  const std::size_t at = static_cast<std::size_t>(
      std::lower_bound(block, block + size, a,
                       [](const Outcome& o, Symbol s) { return o.symbol < s; }) -
      block);
  if (at < size && block[at].symbol == a) {
    const Count before = block[at].count;
    block[at].count += count;
    return before;
  }
  block = room_for_one(outcomes_, node.out_at, size);
  std::copy_backward(block + at, block + size, block + size + 1);
  block[at] = Outcome{a, count};
  ++node.out_size;
  return 0;
}

void Mixture::new_child(std::size_t d, Symbol symbol) {
  if (nodes_.size() >= std::numeric_limits<Slot>::max()) throw CapacityExhausted();
  const auto x = static_cast<Slot>(nodes_.size());
  // Room first (geometric, as push_back grows), so that nothing below fails.
  if (nodes_.size() == nodes_.capacity()) nodes_.reserve(2 * nodes_.size());
  if (stamp_.size() == stamp_.capacity()) stamp_.reserve(2 * stamp_.size());
  Node& node = nodes_[path_[d - 1]];
  Child* kids = room_for_one(children_, node.kid_at, node.kid_size);
  kids[node.kid_size] = Child{0.0, 0, symbol, x, 0};
  slot_[d] = node.kid_size++;
  path_[d] = x;
  if (d >= 2) {
    // The parent's record of it follows its block.
    Child& record = children_[nodes_[path_[d - 2]].kid_at + slot_[d - 1]];
    record.kid_at = node.kid_at;
    record.kid_size = node.kid_size;
  }
  nodes_.push_back(Node{0, 0.0, 0.0, 1.0, 0, 0, 0, 0});
  stamp_.push_back(0);
}

void Mixture::score(Slot x, bool deepest, bool weights) {
  Node& node = nodes_[x];
  node.e =
      kt_.estimate(node.n, std::span<const Outcome>(outcomes_.data() + node.out_at, node.out_size));
  if (deepest) {
    node.W = node.e;
    node.w = 1.0;
    return;
  }
  // The children newest first, as the evidence pass sums them.
  const Child* kids = children_.data() + node.kid_at;
  double split = prior_.l1b;
  for (std::uint32_t k = node.kid_size; k-- > 0;) split = split + kids[k].W;
  const double leaf = prior_.lb + node.e;
  if (node.kid_size == 1 && node.out_size == 1) {
    // A node of a chain (one context below it): chains of equal counts
    // repeat the same pairs of terms depth by depth, so their results are
    // remembered.
    Remembered& slot = remembered_[remembered_slot(split)];
    if (std::bit_cast<std::uint64_t>(leaf) != slot.leaf ||
        std::bit_cast<std::uint64_t>(split) != slot.split) {
      const Weighed weighed = weigh<true>(leaf, split);
      slot = {std::bit_cast<std::uint64_t>(leaf), std::bit_cast<std::uint64_t>(split), weighed.W,
              weighed.w};
    }
    node.W = slot.W;
    node.w = slot.w;
    return;
  }
  const Weighed weighed = weights ? weigh<true>(leaf, split) : weigh<false>(leaf, split);
  node.W = weighed.W;
  node.w = weighed.w;
}

// ---- prediction ----------------------------------------------------------------

std::size_t Mixture::walk(std::size_t length) const {
  // Each child's record tells where its own block is: one block read per
  // level, not a node and its block.
  std::size_t d = 0;
  path_[0] = 0;
  std::uint64_t at = nodes_[0].kid_at;
  std::uint32_t size = nodes_[0].kid_size;
  while (d < length) {
    const Child* kids = children_.data() + at;
    std::uint32_t k = 0;
    while (k < size && kids[k].symbol != context_[d]) ++k;
    if (k == size) break;
    ++d;
    path_[d] = kids[k].node;
    slot_[d] = k;
    at = kids[k].kid_at;
    size = kids[k].kid_size;
  }
  return d;
}

void Mixture::predict_all(std::size_t reached, std::size_t length, std::span<double> out) const {
  const std::size_t m = alphabet_size();
  const double uniform = 1.0 / static_cast<double>(m);
  std::fill(out.begin(), out.end(), uniform);
  if (nodes_[0].n == 0) return;
  const double half = kt_.half();
  // p[s] = mix(w, kt(s), p[s]) for every s, the node's outcomes met in order.
  auto level = [&](const Node& node, bool leaf) {
    const Outcome* o = outcomes_.data() + node.out_at;
    const Outcome* end = o + node.out_size;
    const double total = static_cast<double>(node.n) + half;
    for (std::size_t s = 0; s < m; ++s) {
      Count c = 0;
      if (o != end && o->symbol == s) c = (o++)->count;
      const double kt = (static_cast<double>(c) + 0.5) / total;
      out[s] = leaf ? kt : mix(node.w, kt, out[s]);
    }
  };
  std::size_t d = reached + 1;
  if (reached == length) {
    level(nodes_[path_[reached]], true);
    d = reached;
  }
  while (d-- > 0) level(nodes_[path_[d]], false);
}

void Mixture::predict(std::span<const Symbol> history, std::span<double> out) const {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  const std::size_t length = std::min(history.size(), depth_);
  for (std::size_t q = 0; q < length; ++q) context_[q] = history[history.size() - 1 - q];
  predict_all(walk(length), length, out);
}

// ---- adding positions ------------------------------------------------------------

template <class F>
void Mixture::with_journal(F&& f) {
  begin();
  try {
    f();
  } catch (...) {
    rollback();
    throw;
  }
  journal_ = false;
  saved_.clear();
  saved_outcomes_.clear();
  saved_children_.clear();
}

double Mixture::add_position(Symbol a, double* dist) {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  const std::size_t reached = walk(depth_);
  if (dist == nullptr) return std::log(count_position<true>(a, reached));
  predict_all(reached, depth_, std::span<double>(dist, alphabet_size()));
  const double p = dist[a];
  count_position<false>(a, reached);
  return std::log(p);
}

template <bool Predict>
double Mixture::count_position(Symbol a, std::size_t reached) {
  if (journal_) {
    for (std::size_t d = 0; d <= reached; ++d) touch(path_[d]);
  }
  for (std::size_t d = reached + 1; d <= depth_; ++d) new_child(d, context_[d - 1]);
  // With Predict, the path's prediction of `a` from each node's state just
  // before its update: kt(a) at depth D when the path reaches it, 1/m below
  // the deepest node seen otherwise, mixed upwards with each node's kt(a)
  // (1/m throughout while the mixture holds no position).
  const bool empty = nodes_[0].n == 0;
  const double half = kt_.half();
  double p = 1.0 / static_cast<double>(alphabet_size());
  for (std::size_t d = depth_ + 1; d-- > 0;) {
    const Slot x = path_[d];
    const Count before = add_outcome(x, a, 1);
    Node& node = nodes_[x];
    if constexpr (Predict) {
      if (!empty && d <= reached) {
        const double kt =
            (static_cast<double>(before) + 0.5) / (static_cast<double>(node.n) + half);
        p = d == depth_ ? kt : mix(node.w, kt, p);
      }
    }
    ++node.n;
    score(x, d == depth_, weights_);
    if (d > 0) children_[nodes_[path_[d - 1]].kid_at + slot_[d]].W = nodes_[x].W;
  }
  return p;
}

Count Mixture::positions(const Rows& rows) const { return counted_positions(rows, depth_); }

std::expected<void, std::string> Mixture::update(const Rows& rows,
                                                 std::span<double> log_probabilities,
                                                 std::span<double> distributions) {
  const std::size_t m = alphabet_size();
  if (auto valid = check_symbols(rows, m); !valid) return std::unexpected(std::move(valid.error()));
  if (log_probabilities.size() != positions(rows) ||
      (!distributions.empty() && distributions.size() != log_probabilities.size() * m)) {
    throw InternalFault("mixture update: answer sizes do not match the rows");
  }
  const bool want = !distributions.empty();
  const std::size_t pending = pending_.size();
  try {
    rows.visit([&](auto symbols) {
      using Stored = typename decltype(symbols)::value_type;
      if constexpr (sizeof(Stored) <= sizeof(Symbol)) {  // rows never store wider than a word
        if (base_) {
          for (std::size_t r = 0; r < rows.size(); ++r) {
            pending_.append(symbols.subspan(rows.row_begin(r), rows.row_length(r)));
            pending_.end_row();
          }
        }
      } else {
        throw InternalFault("mixture update: rows wider than a symbol");
      }
      with_journal([&] {
        std::size_t i = 0;
        for (std::size_t r = 0; r < rows.size(); ++r) {
          const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
          for (std::size_t t = depth_; t < row.size(); ++t, ++i) {
            for (std::size_t q = 0; q < depth_; ++q) {
              context_[q] = static_cast<Symbol>(row[t - 1 - q]);
            }
            log_probabilities[i] = add_position(static_cast<Symbol>(row[t]),
                                                want ? distributions.data() + i * m : nullptr);
          }
        }
      });
    });
  } catch (...) {
    pending_.discard_from(pending);
    throw;
  }
  return {};
}

std::expected<Mixture::Updated, std::string> Mixture::update(const Rows& rows, bool distributions) {
  const std::size_t m = alphabet_size();
  const Count n = positions(rows);
  if (n > std::numeric_limits<std::size_t>::max() / sizeof(double) / m) throw std::bad_alloc();
  Updated out;
  out.log_probabilities.resize(n);
  if (distributions) out.distributions.resize(n * m);
  auto done = update(rows, out.log_probabilities, out.distributions);
  if (!done) return std::unexpected(std::move(done.error()));
  return out;
}

std::expected<std::vector<double>, std::string> Mixture::log_likelihood(const Rows& rows) {
  if (auto valid = check_symbols(rows, alphabet_size()); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  std::vector<double> out(rows.size(), 0.0);
  rows.visit([&](auto symbols) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
      if (row.size() <= depth_) continue;
      begin();
      try {
        double total = 0.0;
        for (std::size_t t = depth_; t < row.size(); ++t) total = total + add(row, t);
        out[r] = total;
      } catch (...) {
        rollback();
        throw;
      }
      rollback();
    }
  });
  return out;
}

// ---- the journal ----------------------------------------------------------------

void Mixture::begin() {
  journal_ = true;
  if (++epoch_ == 0) {
    std::fill(stamp_.begin(), stamp_.end(), 0);
    epoch_ = 1;
  }
  saved_.clear();
  saved_outcomes_.clear();
  saved_children_.clear();
  mark_nodes_ = nodes_.size();
  mark_outcomes_ = outcomes_.size();
  mark_children_ = children_.size();
}

void Mixture::touch(Slot x) {
  if (x >= mark_nodes_ || stamp_[x] == epoch_) return;
  const Node& node = nodes_[x];
  // The blocks first and the record last: rollback reads blocks in the order
  // of the records, so blocks left by a failed save are never read.
  append(saved_outcomes_, outcomes_.data() + node.out_at, node.out_size);
  append(saved_children_, children_.data() + node.kid_at, node.kid_size);
  saved_.push_back(Saved{x, node});
  stamp_[x] = epoch_;
}

void Mixture::rollback() {
  std::size_t o = 0, c = 0;
  for (const Saved& saved : saved_) {
    const Node& node = saved.value;
    nodes_[saved.node] = node;
    copy_small(saved_outcomes_.data() + o, node.out_size, outcomes_.data() + node.out_at);
    copy_small(saved_children_.data() + c, node.kid_size, children_.data() + node.kid_at);
    o += node.out_size;
    c += node.kid_size;
  }
  nodes_.resize(mark_nodes_);
  stamp_.resize(mark_nodes_);
  outcomes_.resize(mark_outcomes_);
  children_.resize(mark_children_);
  saved_.clear();
  saved_outcomes_.clear();
  saved_children_.clear();
  journal_ = false;
}

template double Mixture::count_position<false>(Symbol, std::size_t);

}  // namespace ostrel::bct
