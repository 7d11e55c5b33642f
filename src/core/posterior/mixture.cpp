// Building the mixture from counts, predicting along a path, and adding
// positions one path at a time, with a journal that undoes a failed or
// row-local run.

#include "posterior/mixture.hpp"

#include <algorithm>
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
// for term as log_add forms it, and the leaf's posterior weight e^(a - W).
struct Weighed {
  double W, w;
};
inline Weighed weigh(double a, double b) {
  const double hi = a < b ? b : a;
  const double lo = a < b ? a : b;
  const double t = std::exp(lo - hi);
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
        path_[d] = new_child(path_[d - 1], keys.context(i, d));
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
    score(static_cast<Slot>(x), depth_of[x] == depth_);
  }
}

void Mixture::clear() {
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

Count Mixture::outcome_count(const Node& node, Symbol a) const {
  const Outcome* begin = outcomes_.data() + node.out_at;
  const Outcome* end = begin + node.out_size;
  const Outcome* at =
      std::lower_bound(begin, end, a, [](const Outcome& o, Symbol s) { return o.symbol < s; });
  return at != end && at->symbol == a ? at->count : 0;
}

void Mixture::add_outcome(Slot x, Symbol a, Count count) {
  Node& node = nodes_[x];
  Outcome* block = outcomes_.data() + node.out_at;
  const std::uint32_t size = node.out_size;
  const std::size_t at = static_cast<std::size_t>(
      std::lower_bound(block, block + size, a,
                       [](const Outcome& o, Symbol s) { return o.symbol < s; }) -
      block);
  if (at < size && block[at].symbol == a) {
    block[at].count += count;
    return;
  }
  block = room_for_one(outcomes_, node.out_at, size);
  std::copy_backward(block + at, block + size, block + size + 1);
  block[at] = Outcome{a, count};
  ++node.out_size;
}

Mixture::Slot Mixture::new_child(Slot parent, Symbol symbol) {
  if (nodes_.size() >= std::numeric_limits<Slot>::max()) throw CapacityExhausted();
  const auto x = static_cast<Slot>(nodes_.size());
  // Room first (geometric, as push_back grows), so that nothing below fails.
  if (nodes_.size() == nodes_.capacity()) nodes_.reserve(2 * nodes_.size());
  if (stamp_.size() == stamp_.capacity()) stamp_.reserve(2 * stamp_.size());
  Node& node = nodes_[parent];
  Child* kids = room_for_one(children_, node.kid_at, node.kid_size);
  kids[node.kid_size++] = Child{symbol, 0.0, x};
  nodes_.push_back(Node{0, 0.0, 0.0, 1.0, 0, 0, 0, 0});
  stamp_.push_back(0);
  return x;
}

void Mixture::score(Slot x, bool deepest) {
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
  const Weighed weighed = weigh(prior_.lb + node.e, split);
  node.W = weighed.W;
  node.w = weighed.w;
}

// ---- prediction ----------------------------------------------------------------

std::size_t Mixture::walk(std::size_t length) const {
  std::size_t d = 0;
  path_[0] = 0;
  while (d < length) {
    const Node& node = nodes_[path_[d]];
    const Child* kids = children_.data() + node.kid_at;
    std::uint32_t k = 0;
    while (k < node.kid_size && kids[k].symbol != context_[d]) ++k;
    if (k == node.kid_size) break;
    ++d;
    path_[d] = kids[k].node;
    slot_[d] = k;
  }
  return d;
}

double Mixture::predict_one(std::size_t reached, std::size_t length, Symbol a) const {
  const double uniform = 1.0 / static_cast<double>(alphabet_size());
  if (nodes_[0].n == 0) return uniform;
  const double half = kt_.half();
  auto kt = [&](const Node& node) {
    return (static_cast<double>(outcome_count(node, a)) + 0.5) /
           (static_cast<double>(node.n) + half);
  };
  double p = uniform;
  std::size_t d = reached + 1;
  if (reached == length) {
    p = kt(nodes_[path_[reached]]);
    d = reached;
  }
  while (d-- > 0) {
    const Node& node = nodes_[path_[d]];
    p = mix(node.w, kt(node), p);
  }
  return p;
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
  const std::size_t reached = walk(depth_);
  double p;
  if (dist != nullptr) {
    predict_all(reached, depth_, std::span<double>(dist, alphabet_size()));
    p = dist[a];
  } else {
    p = predict_one(reached, depth_, a);
  }
  count_position(a, reached);
  return std::log(p);
}

void Mixture::count_position(Symbol a, std::size_t reached) {
  if (journal_) {
    for (std::size_t d = 0; d <= reached; ++d) touch(path_[d]);
  }
  for (std::size_t d = reached + 1; d <= depth_; ++d) {
    path_[d] = new_child(path_[d - 1], context_[d - 1]);
    slot_[d] = nodes_[path_[d - 1]].kid_size - 1;
  }
  for (std::size_t d = depth_ + 1; d-- > 0;) {
    const Slot x = path_[d];
    add_outcome(x, a, 1);
    ++nodes_[x].n;
    score(x, d == depth_);
    if (d > 0) children_[nodes_[path_[d - 1]].kid_at + slot_[d]].W = nodes_[x].W;
  }
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
  const Outcome* outs = outcomes_.data() + node.out_at;
  saved_outcomes_.insert(saved_outcomes_.end(), outs, outs + node.out_size);
  const Child* kids = children_.data() + node.kid_at;
  saved_children_.insert(saved_children_.end(), kids, kids + node.kid_size);
  saved_.push_back(Saved{x, node});
  stamp_[x] = epoch_;
}

void Mixture::rollback() {
  std::size_t o = 0, c = 0;
  for (const Saved& saved : saved_) {
    const Node& node = saved.value;
    nodes_[saved.node] = node;
    std::copy_n(saved_outcomes_.data() + o, node.out_size, outcomes_.data() + node.out_at);
    std::copy_n(saved_children_.data() + c, node.kid_size, children_.data() + node.kid_at);
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

}  // namespace ostrel::bct
