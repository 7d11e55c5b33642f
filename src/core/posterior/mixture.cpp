// Building the mixture from counts, predicting along a path, and adding
// positions one path at a time, with a journal that undoes a failed or
// row-local run.

#include "posterior/mixture.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <unordered_map>
#include <utility>

#include "fit/count.hpp"
#include "posterior/odds.hpp"
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
template <class Pool>
auto* room_for_one(Pool& pool, std::uint64_t& at, std::uint32_t size) {
  if (size != 0 && (size & (size - 1)) != 0) return pool.data() + at;
  if (size == std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const std::size_t capacity = size == 0 ? 1 : std::size_t{2} * size;
  const std::size_t moved = pool.size();
  if (pool.capacity() < moved + capacity)
    pool.reserve(std::max(2 * pool.capacity(), moved + capacity));
  pool.resize(moved + capacity);
  // Most blocks that move are small: a loop, not a call of memmove.
  auto* from = pool.data() + at;
  auto* to = pool.data() + moved;
  for (std::uint32_t i = 0; i < size; ++i) to[i] = from[i];
  at = moved;
  return to;
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
template <class Pool, class T>
void append(Pool& to, const T* from, std::size_t size) {
  if (size == 1) {
    to.push_back(*from);
  } else {
    to.insert(to.end(), from, from + size);
  }
}

// The place of the first of `size` records (ascending symbols) whose symbol
// is not below `a`, as lower_bound finds it, by halves without branches.
template <class Record>
std::size_t first_not_below(const Record* block, std::size_t size, Symbol a) {
  std::size_t at = 0, left = size;
  while (left > 1) {
    const std::size_t half = left / 2;
    at = block[at + half - 1].symbol < a ? at + half : at;
    left -= half;
  }
  if (left == 1 && block[at].symbol < a) ++at;
  return at;
}

}  // namespace

// ---- making ------------------------------------------------------------------

template <class Estimator>
typename MixtureOf<Estimator>::Node MixtureOf<Estimator>::fresh_node() const {
  Node node{0, 0, 0, 0, 0, 0, 0, {}};
  if constexpr (SEQUENTIAL) {
    // Before data a node stops with its prior probability beta: odds
    // beta / (1 - beta), at most 2^53 for the betas a prior holds.
    node.state.r = prior_.beta / (1.0 - prior_.beta);
    node.state.w = prior_.beta;
    node.state.v = 1.0 - prior_.beta;
  } else {
    node.state = DirichletState{0.0, 0.0, 1.0};
  }
  return node;
}

template <class Estimator>
MixtureOf<Estimator>::MixtureOf(std::size_t max_depth, const BctPrior& prior, Estimator estimator,
                                bool starts)
    : depth_(max_depth), starts_(starts), prior_(prior), estimator_(std::move(estimator)) {
  length_ = depth_;
  context_.assign(depth_, 0);
  path_.assign(depth_ + 1, 0);
  last_record_.assign(depth_, NO_RECORD);
  last_node_.assign(depth_, 0);
  if constexpr (SEQUENTIAL) {
    q_.assign(depth_ + 1, 0.0);
    records_.assign(depth_ + 1, NO_RECORD);
  } else {
    remembered_.resize(REMEMBERED);
  }
  fresh_ = fresh_node();
  nodes_.push_back(fresh_);
  stamp_.push_back(0);
}

template <class Estimator>
MixtureOf<Estimator>::MixtureOf(const Counts& counts, const BctPrior& prior, Estimator estimator)
  requires(!SEQUENTIAL)
    : MixtureOf(counts.max_depth(), prior, std::move(estimator), counts.starts()) {
  const detail::KeyedLeaves& keyed = counts.keyed();
  const std::size_t leaves = keyed.size();
  if (leaves == 0) return;
  // Per node: the ordinal of its earliest position (which orders siblings)
  // and whether it is a leaf of every tree (at depth D, or a start node).
  std::vector<std::uint64_t> first(1, std::numeric_limits<std::uint64_t>::max());
  std::vector<std::uint8_t> ends(1, depth_ == 0);
  detail::with_front_keys(keyed, [&](const auto& keys) {
    // The depth at which the path of key i ends, given the previous key's
    // (`length`): D, or that of its context's first START, at which a key
    // stops. A START among the symbols it shares with the previous key is
    // that key's.
    auto path_length = [&](std::size_t i, std::size_t shared, std::size_t length) {
      if (!starts_ || length <= shared) return starts_ ? length : depth_;
      for (std::size_t d = shared + 1; d <= depth_; ++d) {
        if (keys.context(i, d) == start()) return d;
      }
      return depth_;
    };
    // Every node is made by the first leaf below it: the nodes below the
    // context symbols a leaf shares with the one before.
    std::size_t nodes = 1;
    for (std::size_t i = 0, length = depth_; i < leaves; ++i) {
      const std::size_t shared = std::min<std::size_t>(keyed.leaves.shared[i], depth_);
      length = path_length(i, shared, length);
      nodes += length - std::min(shared, length);
    }
    nodes_.reserve(nodes);
    stamp_.reserve(nodes);
    children_.reserve(2 * nodes);
    outcomes_.reserve(2 * nodes + leaves);
    first.reserve(nodes);
    ends.reserve(nodes);
    // The leaves below a node are consecutive keys, so a node's outcomes are
    // complete once the path leaves it. Over small alphabets they are summed
    // in a table a depth and written out as one block then; otherwise each is
    // inserted in its node's block as it comes.
    const std::size_t m = alphabet_size();
    const bool tabled = m <= (std::size_t{1} << 16) / (depth_ + 1);
    std::vector<Count> table(tabled ? (depth_ + 1) * m : 0, 0);
    std::vector<std::vector<Symbol>> met(tabled ? depth_ + 1 : 0);
    std::size_t open = 0;  // path_[0 .. open - 1] are summing
    auto finish = [&](std::size_t d) {
      Count* sums = table.data() + d * m;
      std::vector<Symbol>& symbols = met[d];
      std::sort(symbols.begin(), symbols.end());
      Node& node = nodes_[path_[d]];
      const auto size = static_cast<std::uint32_t>(symbols.size());
      node.out_at = outcomes_.size();
      node.out_size = size;
      // A block's room is its size rounded up to a power of 2, as
      // outcome_for grows it.
      outcomes_.resize(outcomes_.size() + std::bit_ceil(std::max<std::uint32_t>(size, 1)));
      Outcome* block = outcomes_.data() + node.out_at;
      for (std::uint32_t k = 0; k < size; ++k) {
        block[k] = Outcome{symbols[k], sums[symbols[k]], NO_SLOT, 0};
        sums[symbols[k]] = 0;
      }
      symbols.clear();
    };
    for (std::size_t i = 0, length = depth_; i < leaves; ++i) {
      // The nodes of the context symbols this key shares with the last stay.
      const std::size_t shared = std::min<std::size_t>(keyed.leaves.shared[i], depth_);
      length = path_length(i, shared, length);
      if (tabled) {
        const std::size_t stays = std::min(shared, length) + 1;
        while (open > stays) finish(--open);
      }
      for (std::size_t d = shared + 1; d <= length; ++d) {
        new_child(d, keys.context(i, d));
        first.push_back(std::numeric_limits<std::uint64_t>::max());
        ends.push_back(d == length);
      }
      const Count count = keyed.leaves.count[i];
      const std::uint64_t at = keyed.leaves.first[i];
      const Symbol own = keys.own(i);
      for (std::size_t d = 0; d <= length; ++d) {
        const Slot node = path_[d];
        if (tabled) {
          Count& sum = table[d * m + own];
          if (sum == 0) met[d].push_back(own);
          sum += count;
        } else {
          outcomes_[outcome_for(node, own)].count += count;
        }
        nodes_[node].n += count;
        first[node] = std::min(first[node], at);
      }
      if (tabled) open = length + 1;
    }
    while (open > 0) finish(--open);
  });
  for (const Node& node : nodes_) {
    Child* kids = children_.data() + node.kid_at;
    std::sort(kids, kids + node.kid_size,
              [&](const Child& a, const Child& b) { return first[a.node] < first[b.node]; });
    // No record links to them.
    const_cast<Node&>(node).unlinked = node.kid_size;
    for (std::uint32_t k = 0; k < node.kid_size; ++k) nodes_[kids[k].node].slot = k;
  }
  // Children come after their parents: scored first.
  for (std::size_t x = nodes_.size(); x-- > 0;) {
    const Node& node = nodes_[x];
    Child* kids = children_.data() + node.kid_at;
    for (std::uint32_t k = 0; k < node.kid_size; ++k) kids[k].W = nodes_[kids[k].node].state.W;
    score(static_cast<Slot>(x), ends[x] != 0, true);
  }
}

template <class Estimator>
void MixtureOf<Estimator>::clear() {
  weights_ = true;
  linked_ = false;
  log_evidence_ = 0.0;
  nodes_.clear();
  stamp_.clear();
  outcomes_.clear();
  children_.clear();
  nodes_.push_back(fresh_);
  stamp_.push_back(0);
}

// ---- the arena ---------------------------------------------------------------

template <class Estimator>
std::uint64_t MixtureOf<Estimator>::find_outcome(Slot x, Symbol a) const {
  const Node& node = nodes_[x];
  const Outcome* block = outcomes_.data() + node.out_at;
  const std::size_t at = first_not_below(block, node.out_size, a);
  return at < node.out_size && block[at].symbol == a ? node.out_at + at : NO_RECORD;
}

template <class Estimator>
inline std::uint64_t MixtureOf<Estimator>::outcome_for(Slot x, Symbol a) {
  const Node& node = nodes_[x];
  const Outcome* block = outcomes_.data() + node.out_at;
  const std::size_t at = first_not_below(block, node.out_size, a);
  if (at < node.out_size && block[at].symbol == a) return node.out_at + at;
  return new_outcome(x, at, a);
}

template <class Estimator>
std::uint64_t MixtureOf<Estimator>::new_outcome(Slot x, std::size_t at, Symbol a) {
  Node& node = nodes_[x];
  const std::uint32_t size = node.out_size;
  Outcome* block = room_for_one(outcomes_, node.out_at, size);
  // The records from `at` on shift one place; a block that moved is new.
  if (row_journal_ && node.out_at < mark_outcomes_) {
    for (std::size_t i = at; i <= size; ++i) note_outcome(node.out_at + i);
  }
  for (std::size_t i = size; i > at; --i) block[i] = block[i - 1];
  block[at] = Outcome{a, 0, NO_SLOT, 0};
  ++node.out_size;
  return node.out_at + at;
}

template <class Estimator>
void MixtureOf<Estimator>::new_child(std::size_t d, Symbol symbol) {
  if (nodes_.size() >= std::numeric_limits<Slot>::max()) throw CapacityExhausted();
  const auto x = static_cast<Slot>(nodes_.size());
  // Room first (geometric, as push_back grows), so that nothing below fails.
  if (nodes_.size() == nodes_.capacity()) nodes_.reserve(2 * nodes_.size());
  if (stamp_.size() == stamp_.capacity()) stamp_.reserve(2 * stamp_.size());
  Node& node = nodes_[path_[d - 1]];
  Child* kids = room_for_one(children_, node.kid_at, node.kid_size);
  note_child(node.kid_at + node.kid_size);
  kids[node.kid_size] = Child{0.0, 0, symbol, x, 0};
  const std::uint32_t slot = node.kid_size++;
  path_[d] = x;
  if (d >= 2) {
    // The parent's record of it follows its block.
    note_child(nodes_[path_[d - 2]].kid_at + node.slot);
    Child& record = children_[nodes_[path_[d - 2]].kid_at + node.slot];
    record.kid_at = node.kid_at;
    record.kid_size = node.kid_size;
  }
  nodes_.push_back(fresh_);
  nodes_.back().slot = slot;
  stamp_.push_back(0);
}

template <class Estimator>
void MixtureOf<Estimator>::score(Slot x, bool deepest, bool weights)
  requires(!SEQUENTIAL)
{
  Node& node = nodes_[x];
  DirichletState& state = node.state;
  state.e = estimator_.estimate(
      node.n, std::span<const Outcome>(outcomes_.data() + node.out_at, node.out_size));
  if (deepest) {
    state.W = state.e;
    state.w = 1.0;
    return;
  }
  // The children newest first, as the evidence pass sums them.
  const Child* kids = children_.data() + node.kid_at;
  double split = prior_.l1b;
  for (std::uint32_t k = node.kid_size; k-- > 0;) split = split + kids[k].W;
  const double leaf = prior_.lb + state.e;
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
    state.W = slot.W;
    state.w = slot.w;
    return;
  }
  const Weighed weighed = weights ? weigh<true>(leaf, split) : weigh<false>(leaf, split);
  state.W = weighed.W;
  state.w = weighed.w;
}

template <class Estimator>
inline void MixtureOf<Estimator>::set_weights(KneserNeyState& state) {
  while (state.r > ODDS_STEP) {
    state.r *= ODDS_STEP_DOWN;
    ++state.scale;
  }
  while (state.r < ODDS_STEP_DOWN) {
    state.r *= ODDS_STEP;
    --state.scale;
  }
  if (state.scale == 0) {
    state.v = 1.0 / (1.0 + state.r);
    state.w = state.r * state.v;
  } else if (state.scale > 0) {
    // 1 / R, exact as a power of two (0 once below the subnormals).
    const double inverse = inverse_odds_step(state.scale);
    const double total = state.r + inverse;
    state.v = inverse / total;
    state.w = state.r / total;
  } else {
    const double odds = times_odds_step(state.r, state.scale);
    state.v = 1.0 / (1.0 + odds);
    state.w = odds * state.v;
  }
}

// ---- prediction ----------------------------------------------------------------

template <class Estimator>
std::size_t MixtureOf<Estimator>::walk(std::size_t length) const {
  path_[0] = 0;
  return descend(0, nodes_[0].kid_at, nodes_[0].kid_size, length);
}

template <class Estimator>
std::size_t MixtureOf<Estimator>::descend(std::size_t d, std::uint64_t at, std::uint32_t size,
                                          std::size_t length) const {
  // Each child's record tells where its own block is: one block read per
  // level, not a node and its block.
  while (d < length) {
    const Child* kids = children_.data() + at;
    std::uint32_t k = 0;
    while (k < size && kids[k].symbol != context_[d]) ++k;
    if (k == size) break;
    ++d;
    path_[d] = kids[k].node;
    at = kids[k].kid_at;
    size = kids[k].kid_size;
  }
  return d;
}

template <class Estimator>
bool MixtureOf<Estimator>::step(std::size_t d) const {
  const Node& parent = nodes_[path_[d - 1]];
  const Child* kids = children_.data() + parent.kid_at;
  for (std::uint32_t k = 0; k < parent.kid_size; ++k) {
    if (kids[k].symbol == context_[d - 1]) {
      path_[d] = kids[k].node;
      return true;
    }
  }
  return false;
}

template <class Estimator>
std::size_t MixtureOf<Estimator>::follow_links() {
  // The last position's record of its symbol at depth d - 1 links to this
  // position's node at depth d. A child that exists without a link is one
  // made by a walk; it is looked for only where there are such children, and
  // linked once found.
  path_[0] = 0;
  for (std::size_t d = 1; d <= length_; ++d) {
    Outcome& record = outcomes_[last_record_[d - 1]];
    if (record.next != NO_SLOT) {
      path_[d] = record.next;
      continue;
    }
    if (nodes_[path_[d - 1]].unlinked == 0 || !step(d)) return d - 1;
    if (journal_) {
      touch(path_[d - 1]);
      note_outcome(last_record_[d - 1]);
      // Only between nodes that outlive the rollback: a node made by this
      // row can have a child that was there before.
      if (row_journal_ && path_[d] < mark_nodes_ && last_node_[d - 1] < mark_nodes_) {
        links_.push_back(Link{last_node_[d - 1], record.symbol, path_[d], path_[d - 1]});
      }
    }
    --nodes_[path_[d - 1]].unlinked;
    record.next = path_[d];
  }
  return length_;
}

template <class Estimator>
template <class RecordAt>
double MixtureOf<Estimator>::estimates_down(std::size_t reached, RecordAt&& record_at) const
  requires SEQUENTIAL
{
  double back = 1.0 / static_cast<double>(alphabet_size());
  for (std::size_t d = 0; d <= reached; ++d) {
    const Node& node = nodes_[path_[d]];
    const Outcome& record = record_at(d);
    q_[d] = estimator_.predict(d, record.count, node.n, node.state.classes, back);
    if (d < depth_) {
      back =
          estimator_.predict(d, record.tables, node.state.tables, node.state.table_classes, back);
    }
  }
  return back;
}

template <class Estimator>
double MixtureOf<Estimator>::predict_symbol(std::size_t reached, std::size_t length, Symbol a) const
  requires SEQUENTIAL
{
  // Top-down, each node's estimate and backing-off distribution from its
  // parent's; then bottom-up, each node with data mixing its estimate with
  // its child's prediction. A node without data predicts what its parent
  // backs off to, as every node below it does, so it mixes nothing.
  const double back = estimates_down(reached, [&](std::size_t d) -> const Outcome& {
    const std::uint64_t at = find_outcome(path_[d], a);
    return at == NO_RECORD ? NO_OUTCOME : outcomes_[at];
  });
  double p = back;
  std::size_t d = reached + 1;
  if (reached == length) {
    p = q_[length];
    d = length;
  }
  while (d-- > 0) {
    const Node& node = nodes_[path_[d]];
    if (node.n != 0) p = node.state.w * q_[d] + node.state.v * p;
  }
  return p;
}

template <class Estimator>
void MixtureOf<Estimator>::prefetch_path(std::size_t reached) const {
  for (std::size_t d = 0; d <= reached; ++d) {
    const char* node = reinterpret_cast<const char*>(nodes_.data() + path_[d]);
    __builtin_prefetch(node);
    __builtin_prefetch(node + sizeof(Node) - 1);
    if (journal_) __builtin_prefetch(stamp_.data() + path_[d]);
  }
  // Adding the position reads each node's blocks whole.
  for (std::size_t d = 0; d <= reached; ++d) {
    const Node& node = nodes_[path_[d]];
    const char* outcomes = reinterpret_cast<const char*>(outcomes_.data() + node.out_at);
    const std::size_t outcome_bytes = std::min<std::size_t>(node.out_size, 64) * sizeof(Outcome);
    for (std::size_t b = 0; b < outcome_bytes; b += 64) __builtin_prefetch(outcomes + b);
    const char* kids = reinterpret_cast<const char*>(children_.data() + node.kid_at);
    const std::size_t kid_bytes = std::min<std::size_t>(node.kid_size, 64) * sizeof(Child);
    for (std::size_t b = 0; b < kid_bytes; b += 64) __builtin_prefetch(kids + b);
  }
}

template <class Estimator>
void MixtureOf<Estimator>::predict_all(std::size_t reached, std::size_t length,
                                       std::span<double> out, OwnEstimates* known) const {
  const std::size_t m = alphabet_size();
  if constexpr (SEQUENTIAL) {
    // Every symbol the root has not seen has no count anywhere and is
    // predicted alike; the others one by one.
    const Symbol unseen = [&] {
      const Node& root = nodes_[0];
      const Outcome* o = outcomes_.data() + root.out_at;
      Symbol s = 0;
      for (std::uint32_t k = 0; k < root.out_size && o[k].symbol == s; ++k) ++s;
      return s;
    }();
    if (unseen < m) std::fill(out.begin(), out.end(), predict_symbol(reached, length, unseen));
    const Node& root = nodes_[0];
    for (std::uint32_t k = 0; k < root.out_size; ++k) {
      const Symbol s = outcomes_[root.out_at + k].symbol;
      out[s] = predict_symbol(reached, length, s);
    }
  } else {
    const double uniform = 1.0 / static_cast<double>(m);
    std::fill(out.begin(), out.end(), uniform);
    if (nodes_[0].n == 0) return;
    // p[s] = mix(w, q(s), p[s]) for every s: the node's outcomes from the
    // entries below them, then every entry as an absent symbol's (a count of
    // 0 adds +0.0 to alpha), then the outcomes' entries put back. The absent
    // symbols' loop is the same arithmetic with w q hoisted, in one sweep.
    auto level = [&](Slot x, bool leaf) {
      const Node& node = nodes_[x];
      const Outcome* o = outcomes_.data() + node.out_at;
      const double total = static_cast<double>(node.n) + estimator_.total();
      const double w = node.state.w;
      auto estimate = [&](std::uint32_t k) {
        return (static_cast<double>(o[k].count) + estimator_.alpha()) / total;
      };
      const double* q = nullptr;
      if (known != nullptr && node.out_size >= OwnEstimates::FROM) {
        const auto [at, fresh] = known->at.try_emplace(x, known->q.size());
        if (fresh) {
          for (std::uint32_t k = 0; k < node.out_size; ++k) known->q.push_back(estimate(k));
        }
        q = known->q.data() + at->second;
      }
      own_.resize(node.out_size);
      for (std::uint32_t k = 0; k < node.out_size; ++k) {
        const double qk = q != nullptr ? q[k] : estimate(k);
        own_[k] = leaf ? qk : mix(w, qk, out[o[k].symbol]);
      }
      const double absent = estimator_.alpha() / total;
      double* p = out.data();
      if (leaf) {
        std::fill(p, p + m, absent);
      } else {
        const double lead = w * absent, keep = 1.0 - w;
        for (std::size_t s = 0; s < m; ++s) p[s] = lead + keep * p[s];
      }
      for (std::uint32_t k = 0; k < node.out_size; ++k) p[o[k].symbol] = own_[k];
    };
    std::size_t d = reached + 1;
    if (reached == length) {
      level(path_[reached], true);
      d = reached;
    }
    while (d-- > 0) level(path_[d], false);
  }
}

template <class Estimator>
void MixtureOf<Estimator>::predict(std::span<const Symbol> history, std::span<double> out) const {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  std::size_t length = std::min(history.size(), depth_);
  for (std::size_t q = 0; q < length; ++q) context_[q] = history[history.size() - 1 - q];
  // Counted from their start, a shorter history is the beginning of a row.
  if (starts_ && length < depth_) context_[length++] = start();
  predict_all(walk(length), length, out);
}

template <class Estimator>
template <class CountAt>
double MixtureOf<Estimator>::predict_one(std::size_t reached, std::size_t length,
                                         CountAt&& count) const
  requires(!SEQUENTIAL)
{
  // predict_all's steps for one symbol, in its order.
  double p = 1.0 / static_cast<double>(alphabet_size());
  if (nodes_[0].n == 0) return p;
  auto level = [&](std::size_t d, bool leaf) {
    const Node& node = nodes_[path_[d]];
    const double total = static_cast<double>(node.n) + estimator_.total();
    const double q = (static_cast<double>(count(d)) + estimator_.alpha()) / total;
    p = leaf ? q : mix(node.state.w, q, p);
  };
  std::size_t d = reached + 1;
  if (reached == length) {
    level(reached, true);
    d = reached;
  }
  while (d-- > 0) level(d, false);
  return p;
}

template <class Estimator>
template <class T>
double MixtureOf<Estimator>::predict_early(std::span<const T> row, std::size_t t) const {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  for (std::size_t q = 0; q < t; ++q) context_[q] = static_cast<Symbol>(row[t - 1 - q]);
  const std::size_t reached = walk(t);
  const auto a = static_cast<Symbol>(row[t]);
  if constexpr (SEQUENTIAL) {
    return predict_symbol(reached, t, a);
  } else {
    return predict_one(reached, t, [&](std::size_t d) -> Count {
      const std::uint64_t at = find_outcome(path_[d], a);
      return at == NO_RECORD ? 0 : outcomes_[at].count;
    });
  }
}

template <class Estimator>
TopSymbols MixtureOf<Estimator>::top_k(const Rows& histories, std::size_t k) const {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  if (k == 0) throw InternalFault("mixture top_k: k below 1");
  const std::size_t m = alphabet_size();
  const std::size_t columns = std::min(k, m);
  TopSymbols out{columns, {}, {}};
  out.symbols.resize(histories.size() * columns);
  out.probabilities.resize(histories.size() * columns);
  struct Entry {
    double p;
    Symbol symbol;
  };
  const auto before = [](const Entry& a, const Entry& b) {
    return a.p != b.p ? a.p > b.p : a.symbol < b.symbol;
  };
  const Node& root = nodes_[0];
  const Outcome* root_outcomes = outcomes_.data() + root.out_at;
  // The symbols the root has seen, by count (most first), then symbol.
  std::vector<std::uint32_t> by_count(root.out_size);
  for (std::uint32_t i = 0; i < root.out_size; ++i) by_count[i] = i;
  std::stable_sort(by_count.begin(), by_count.end(), [&](std::uint32_t a, std::uint32_t b) {
    return root_outcomes[a].count > root_outcomes[b].count;
  });
  std::vector<Entry> candidates;
  std::vector<Symbol> seen;
  // Every symbol not in `seen` (ascending) nor among the root's records is
  // predicted `p`: the first of them after the candidates, as wanted.
  auto add_unseen = [&](double p, std::size_t wanted) {
    std::size_t i = 0, j = 0;
    for (Symbol s = 0; wanted > 0 && s < m; ++s) {
      while (i < seen.size() && seen[i] < s) ++i;
      while (j < root.out_size && root_outcomes[j].symbol < s) ++j;
      if ((i < seen.size() && seen[i] == s) ||
          (j < root.out_size && root_outcomes[j].symbol == s)) {
        continue;
      }
      candidates.push_back(Entry{p, s});
      --wanted;
    }
  };
  // Tables by symbol, for alphabets up to DENSE: the root's children (a
  // walk's widest step becomes a read) and, under Dirichlet, the root's
  // records with their estimates, and a mark of the symbols seen below it.
  constexpr std::size_t DENSE = std::size_t{1} << 20;
  constexpr std::uint32_t NONE = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint32_t NOT_YET = NONE;
  const bool dense = m <= DENSE;
  std::vector<std::uint32_t> root_child, root_at, mark;
  std::vector<double> root_q;
  std::uint32_t stamp = 0;
  if (dense) {
    root_child.assign(m + 1, NONE);
    const Child* kids = children_.data() + root.kid_at;
    for (std::uint32_t c = 0; c < root.kid_size; ++c) root_child[kids[c].symbol] = c;
  }
  if constexpr (!SEQUENTIAL) {
    const double total = static_cast<double>(root.n) + estimator_.total();
    root_q.resize(root.out_size);
    for (std::uint32_t i = 0; i < root.out_size; ++i) {
      root_q[i] = (static_cast<double>(root_outcomes[i].count) + estimator_.alpha()) / total;
    }
    if (dense) {
      root_at.assign(m, NONE);
      mark.assign(m, 0);
      for (std::uint32_t i = 0; i < root.out_size; ++i) root_at[root_outcomes[i].symbol] = i;
    }
  }

  // Under Dirichlet, a path whose nodes below the root have seen few of the
  // symbols: its predictions bottom-up over the symbols seen (`level`,
  // ascending), every other symbol sharing one value (`common`), each level
  // the same arithmetic predict_all does a symbol. At the root the seen ones
  // are predicted in full, and the others differ in their root counts alone,
  // a larger count never predicting less: taken by count until `columns` are
  // taken and the next predicts less than the last taken.
  std::vector<Entry> level, next;
  // The symbols seen at the path's nodes of depth `from` to `reached`, with repeats.
  auto seen_from = [&](std::size_t from, std::size_t reached) {
    std::size_t seen = 0;
    for (std::size_t d = from; d <= reached; ++d) seen += nodes_[path_[d]].out_size;
    return seen;
  };
  // The levels from the path's deepest up to `lowest` (at least 1), merged
  // into `level`; `common` is what every symbol not among them is predicted.
  double common = 0.0;
  auto merge_levels = [&](std::size_t reached, std::size_t length, std::size_t lowest) {
    if constexpr (!SEQUENTIAL) {
      const double alpha = estimator_.alpha();
      level.clear();
      common = 1.0 / static_cast<double>(m);
      std::size_t top = reached + 1;
      if (reached == length && reached > 0) {
        const Node& node = nodes_[path_[reached]];
        const Outcome* o = outcomes_.data() + node.out_at;
        const double total = static_cast<double>(node.n) + estimator_.total();
        for (std::uint32_t i = 0; i < node.out_size; ++i) {
          level.push_back(Entry{(static_cast<double>(o[i].count) + alpha) / total, o[i].symbol});
        }
        common = alpha / total;
        top = reached;
      }
      for (std::size_t d = top; d-- > lowest;) {
        const Node& node = nodes_[path_[d]];
        const Outcome* o = outcomes_.data() + node.out_at;
        const double total = static_cast<double>(node.n) + estimator_.total();
        const double w = node.state.w;
        const double lead = w * (alpha / total), keep = 1.0 - w;
        auto own = [&](std::uint32_t i, double below) {
          return mix(w, (static_cast<double>(o[i].count) + alpha) / total, below);
        };
        next.clear();
        std::size_t j = 0;
        std::uint32_t i = 0;
        while (j < level.size() && i < node.out_size) {
          if (level[j].symbol < o[i].symbol) {
            next.push_back(Entry{lead + keep * level[j].p, level[j].symbol});
            ++j;
          } else if (o[i].symbol < level[j].symbol) {
            next.push_back(Entry{own(i, common), o[i].symbol});
            ++i;
          } else {
            next.push_back(Entry{own(i, level[j].p), o[i].symbol});
            ++i;
            ++j;
          }
        }
        for (; j < level.size(); ++j) {
          next.push_back(Entry{lead + keep * level[j].p, level[j].symbol});
        }
        for (; i < node.out_size; ++i) next.push_back(Entry{own(i, common), o[i].symbol});
        common = lead + keep * common;
        std::swap(level, next);
      }
    }
  };
  auto rank_levels = [&](std::size_t reached, std::size_t length) {
    if constexpr (!SEQUENTIAL) {
      const double alpha = estimator_.alpha();
      if (root.n == 0) {
        // Uniform: the first symbols.
        for (Symbol s = 0; s < columns; ++s) {
          candidates.push_back(Entry{1.0 / static_cast<double>(m), s});
        }
        return;
      }
      merge_levels(reached, length, 1);
      // The root, a leaf when the context is empty.
      const bool leaf = reached == length && reached == 0;
      const double w = root.state.w;
      const double total = static_cast<double>(root.n) + estimator_.total();
      const double absent_q = alpha / total;
      const double lead = w * absent_q, keep = 1.0 - w;
      auto seen_value = [&](std::uint32_t i, double below) {
        return leaf ? root_q[i] : mix(w, root_q[i], below);
      };
      auto absent_value = [&](double below) { return leaf ? absent_q : lead + keep * below; };
      if (dense && ++stamp == 0) {
        std::fill(mark.begin(), mark.end(), 0);
        stamp = 1;
      }
      for (const Entry& e : level) {
        std::uint32_t i = NONE;
        if (dense) {
          i = root_at[e.symbol];
          mark[e.symbol] = stamp;
        } else if (const std::uint64_t at = find_outcome(0, e.symbol); at != NO_RECORD) {
          i = static_cast<std::uint32_t>(at - root.out_at);
        }
        candidates.push_back(Entry{i == NONE ? absent_value(e.p) : seen_value(i, e.p), e.symbol});
        seen.push_back(e.symbol);
      }
      auto marked = [&](Symbol s) {
        return dense ? mark[s] == stamp : std::binary_search(seen.begin(), seen.end(), s);
      };
      std::size_t taken = 0;
      double last = 0.0;
      for (const std::uint32_t i : by_count) {
        const Symbol s = root_outcomes[i].symbol;
        if (marked(s)) continue;
        const double p = seen_value(i, common);
        if (taken >= columns && p != last) break;
        candidates.push_back(Entry{p, s});
        last = p;
        ++taken;
      }
      const double absent = absent_value(common);
      if (taken < columns || last == absent) add_unseen(absent, columns);
    }
  };
  // Under Dirichlet, a path of depth 2 or more through a depth-1 node that
  // has seen many symbols, while the nodes below it have seen few: every
  // symbol not seen below depth 1 is predicted t0 + keep0 (t1 + keep1 c), t_d
  // being the node's own term (w q, or w times the absent estimate), keep_d
  // = 1 - w and c the one value below. In exact arithmetic that is key +
  // keep0 keep1 c, key = t0 + keep0 t1, the same shift for every symbol; so
  // the depth-1 node's symbols are put in order of key once, and a path
  // predicts them in that order until a key, with room for rounding, cannot
  // reach the `columns`-th value found. Each value is predict's, bit for bit.
  struct Keyed {
    double key, t0, t1;
    Symbol symbol;  // NONE: the symbols the root has not seen.
  };
  struct KeyTable {
    std::vector<double> t1;          // by symbol
    std::vector<std::uint32_t> kid;  // the child for each symbol
    std::vector<Keyed> order;
    bool no_kid = false, no_order = false;  // no room was left for it
  };
  // Every value, key and shift here is at most 1 (up to an ulp) and formed
  // from the same terms in at most six roundings of at most 2^-53 each, so a
  // value and its key plus shift differ by far less than this margin.
  constexpr double ROUNDING = 0x1p-40;
  constexpr std::size_t KEY_TABLE_BYTES = std::size_t{16} << 20;
  std::vector<std::uint32_t> key_table_of;
  std::vector<KeyTable> key_tables;
  std::size_t key_table_bytes = 0;
  if (dense) key_table_of.assign(root.kid_size, NOT_YET);
  double alpha = 0.0, w0 = 0.0, keep0 = 0.0, lead0 = 0.0;
  if constexpr (!SEQUENTIAL) {
    alpha = estimator_.alpha();
    w0 = root.state.w;
    keep0 = 1.0 - w0;
    lead0 = w0 * (alpha / (static_cast<double>(root.n) + estimator_.total()));
  }
  // A depth-1 node's tables, each made on its first use while their room
  // lasts: its children by symbol (when it has many), and its symbols in
  // order of key (not when it has seen a symbol the root has not).
  auto room_for = [&](std::size_t bytes) {
    if (key_table_bytes + bytes > KEY_TABLE_BYTES) return false;
    key_table_bytes += bytes;
    return true;
  };
  auto table_of = [&](std::uint32_t child) -> KeyTable& {
    std::uint32_t& at = key_table_of[child];
    if (at == NOT_YET) {
      at = static_cast<std::uint32_t>(key_tables.size());
      key_tables.emplace_back();
    }
    return key_tables[at];
  };
  constexpr std::uint32_t MANY_CHILDREN = 16;
  auto kid_table = [&](std::uint32_t child) -> const std::vector<std::uint32_t>* {
    const Child& record = children_[root.kid_at + child];
    if (record.kid_size < MANY_CHILDREN) return nullptr;
    KeyTable& table = table_of(child);
    if (table.kid.empty()) {
      if (table.no_kid || !room_for((m + 1) * sizeof(std::uint32_t))) {
        table.no_kid = true;
        return nullptr;
      }
      // A context may hold the start of a row, symbol m.
      table.kid.assign(m + 1, NONE);
      const Child* kids = children_.data() + record.kid_at;
      for (std::uint32_t c = 0; c < record.kid_size; ++c) table.kid[kids[c].symbol] = c;
    }
    return &table.kid;
  };
  auto key_table = [&](std::uint32_t child) -> const KeyTable* {
    if constexpr (SEQUENTIAL) {
      return nullptr;
    } else {
      KeyTable& table = table_of(child);
      if (!table.order.empty()) return &table;
      if (table.no_order) return nullptr;
      const Node& node = nodes_[children_[root.kid_at + child].node];
      const Outcome* o = outcomes_.data() + node.out_at;
      bool within = true;
      for (std::uint32_t i = 0; within && i < node.out_size; ++i) {
        within = root_at[o[i].symbol] != NONE;
      }
      if (!within || !room_for(m * sizeof(double) + (root.out_size + 1) * sizeof(Keyed))) {
        table.no_order = true;
        return nullptr;
      }
      const double total = static_cast<double>(node.n) + estimator_.total();
      const double w1 = node.state.w;
      const double lead1 = w1 * (alpha / total);
      table.t1.assign(m, lead1);
      for (std::uint32_t i = 0; i < node.out_size; ++i) {
        table.t1[o[i].symbol] = w1 * ((static_cast<double>(o[i].count) + alpha) / total);
      }
      table.order.reserve(root.out_size + 1);
      for (std::uint32_t i = 0; i < root.out_size; ++i) {
        const Symbol s = root_outcomes[i].symbol;
        const double t0 = w0 * root_q[i], t1 = table.t1[s];
        table.order.push_back(Keyed{t0 + keep0 * t1, t0, t1, s});
      }
      if (root.out_size < m)
        table.order.push_back(Keyed{lead0 + keep0 * lead1, lead0, lead1, NONE});
      std::sort(table.order.begin(), table.order.end(),
                [](const Keyed& a, const Keyed& b) { return a.key > b.key; });
      return &table;
    }
  };
  // The walk's first step is a read from a table by symbol, and so is its
  // second where the depth-1 node has many children.
  auto walk_path = [&](std::size_t length) -> std::size_t {
    if (!dense || length == 0) return walk(length);
    path_[0] = 0;
    const std::uint32_t first = root_child[context_[0]];
    if (first == NONE) return 0;
    const Child& child = children_[root.kid_at + first];
    path_[1] = child.node;
    if (length >= 2) {
      if (const auto* kid = kid_table(first); kid != nullptr) {
        const std::uint32_t second = (*kid)[context_[1]];
        if (second == NONE) return 1;
        const Child& grandchild = children_[child.kid_at + second];
        path_[2] = grandchild.node;
        return descend(2, grandchild.kid_at, grandchild.kid_size, length);
      }
    }
    return descend(1, child.kid_at, child.kid_size, length);
  };
  // Deeper, a path through a depth-2 node that has seen many symbols: those
  // it has seen (and those below it not) are predicted t0 + keep0 (t1 +
  // keep1 (t2 + keep2 c)), c the one value below depth 2, the same shift of
  // key2 = t0 + keep0 (t1 + keep1 t2) for each; the others of the depth-1
  // order the same shift of its key. So the depth-2 node's symbols are put in
  // order of key2 once for the paths through it (the histories come in order
  // of their last symbols), and the two orders are read as one.
  struct Keyed2 {
    double key, t0, t1, t2;
    Symbol symbol;
  };
  constexpr std::uint32_t MANY_SEEN = 16;
  Slot deep_node = NO_SLOT;
  bool deep_usable = false;
  bool by_two = false;  // the histories come in order of their last two symbols
  std::vector<Keyed2> deep;
  std::vector<std::uint32_t> deep_mark;
  std::uint32_t deep_stamp = 0;
  auto deep_table = [&](const KeyTable& table) {
    if constexpr (!SEQUENTIAL) {
      const Slot x = path_[2];
      if (x == deep_node) return deep_usable;
      deep_node = x;
      deep_usable = false;
      const Node& node = nodes_[x];
      if (node.out_size < MANY_SEEN) return false;
      const Outcome* o = outcomes_.data() + node.out_at;
      for (std::uint32_t i = 0; i < node.out_size; ++i) {
        if (root_at[o[i].symbol] == NONE) return false;
      }
      if (deep_mark.empty()) deep_mark.assign(m, 0);
      if (++deep_stamp == 0) {
        std::fill(deep_mark.begin(), deep_mark.end(), 0);
        deep_stamp = 1;
      }
      const double total = static_cast<double>(node.n) + estimator_.total();
      const double w2 = node.state.w;
      const double keep1 = 1.0 - nodes_[path_[1]].state.w;
      deep.clear();
      for (std::uint32_t i = 0; i < node.out_size; ++i) {
        const Symbol s = o[i].symbol;
        const double t0 = w0 * root_q[root_at[s]], t1 = table.t1[s];
        const double t2 = w2 * ((static_cast<double>(o[i].count) + alpha) / total);
        deep.push_back(Keyed2{t0 + keep0 * (t1 + keep1 * t2), t0, t1, t2, s});
        deep_mark[s] = deep_stamp;
      }
      std::sort(deep.begin(), deep.end(),
                [](const Keyed2& a, const Keyed2& b) { return a.key > b.key; });
      deep_usable = true;
    }
    return deep_usable;
  };
  std::vector<double> kept;  // a min-heap of the best values found
  auto rank_by_key = [&](std::size_t reached, std::size_t length, const KeyTable& table) {
    if constexpr (!SEQUENTIAL) {
      const Node& node = nodes_[path_[1]];
      const double keep1 = 1.0 - node.state.w;
      if (++stamp == 0) {
        std::fill(mark.begin(), mark.end(), 0);
        stamp = 1;
      }
      const auto lower = [](double a, double b) { return a > b; };
      kept.clear();
      // A value below the `columns`-th kept cannot be among the best.
      auto keep = [&](double p) {
        if (kept.size() < columns) {
          kept.push_back(p);
          std::push_heap(kept.begin(), kept.end(), lower);
        } else if (p > kept.front()) {
          std::pop_heap(kept.begin(), kept.end(), lower);
          kept.back() = p;
          std::push_heap(kept.begin(), kept.end(), lower);
        } else {
          return p == kept.front();
        }
        return true;
      };
      // A symbol predicted in full from its value at depth 2.
      auto in_full = [&](double p2, Symbol s) {
        const double v1 = table.t1[s] + keep1 * p2;
        const std::uint32_t i = root_at[s];
        const double t0 = i == NONE ? lead0 : w0 * root_q[i];
        const double p = t0 + keep0 * v1;
        if (keep(p)) candidates.push_back(Entry{p, s});
        mark[s] = stamp;
        seen.push_back(s);
      };
      const bool two = by_two && reached >= 3 && deep_table(table);
      double below2 = 0.0;
      if (two) {
        // The symbols seen below depth 2 in full; the depth-2 node's others
        // by key2.
        merge_levels(reached, length, 3);
        const Node& middle = nodes_[path_[2]];
        const Outcome* o = outcomes_.data() + middle.out_at;
        const double total = static_cast<double>(middle.n) + estimator_.total();
        const double w = middle.state.w;
        const double lead = w * (alpha / total), keep2 = 1.0 - w;
        for (const Entry& e : level) {
          const std::size_t i = first_not_below(o, middle.out_size, e.symbol);
          const bool has = i < middle.out_size && o[i].symbol == e.symbol;
          in_full(has ? mix(w, (static_cast<double>(o[i].count) + alpha) / total, e.p)
                      : lead + keep2 * e.p,
                  e.symbol);
        }
        below2 = keep2 * common;
        common = lead + below2;
      } else {
        merge_levels(reached, length, 2);
        for (const Entry& e : level) in_full(e.p, e.symbol);
      }
      const double below = keep1 * common;
      const double shift = keep0 * below;
      const double shift2 = keep0 * (keep1 * below2);
      constexpr double NO_BOUND = -std::numeric_limits<double>::infinity();
      std::size_t i1 = 0, i2 = 0;
      const std::size_t n2 = two ? deep.size() : 0;
      while (true) {
        // The depth-1 order skips the depth-2 node's symbols, read by key2.
        while (i1 < table.order.size() && two && table.order[i1].symbol != NONE &&
               deep_mark[table.order[i1].symbol] == deep_stamp) {
          ++i1;
        }
        const double bound1 =
            i1 < table.order.size() ? table.order[i1].key + shift + ROUNDING : NO_BOUND;
        const double bound2 = i2 < n2 ? deep[i2].key + shift2 + ROUNDING : NO_BOUND;
        if (i1 == table.order.size() && i2 == n2) break;
        if (kept.size() == columns && bound1 < kept.front() && bound2 < kept.front()) break;
        if (bound2 > bound1) {
          const Keyed2& e = deep[i2++];
          const double p = e.t0 + keep0 * (e.t1 + keep1 * (e.t2 + below2));
          if (mark[e.symbol] != stamp && keep(p)) candidates.push_back(Entry{p, e.symbol});
          continue;
        }
        const Keyed& e = table.order[i1++];
        const double p = e.t0 + keep0 * (e.t1 + below);
        if (e.symbol == NONE) {
          const std::size_t from = candidates.size();
          add_unseen(p, columns);
          for (std::size_t c = from; c < candidates.size(); ++c) keep(p);
        } else if (mark[e.symbol] != stamp && keep(p)) {
          candidates.push_back(Entry{p, e.symbol});
        }
      }
    }
  };
  // The best `columns` of a whole distribution, written out: a run kept in
  // order while few are wanted, a partial sort otherwise.
  auto select = [&](const double* p) {
    candidates.clear();
    if (columns <= 16) {
      for (Symbol s = 0; s < m; ++s) {
        // Symbols come ascending: an equal probability never goes before.
        if (candidates.size() == columns && !(p[s] > candidates.back().p)) continue;
        std::size_t at = candidates.size();
        while (at > 0 && candidates[at - 1].p < p[s]) --at;
        candidates.insert(candidates.begin() + static_cast<std::ptrdiff_t>(at), Entry{p[s], s});
        if (candidates.size() > columns) candidates.pop_back();
      }
    } else {
      for (Symbol s = 0; s < m; ++s) candidates.push_back(Entry{p[s], s});
      std::partial_sort(candidates.begin(),
                        candidates.begin() + static_cast<std::ptrdiff_t>(columns), candidates.end(),
                        before);
    }
  };
  // When the histories are many next to the nodes, each answer is worked
  // out once: the cache never holds more entries than the result.
  const bool cache = nodes_.size() <= 4 * histories.size();
  std::vector<std::uint32_t> cached_at(cache ? 2 * nodes_.size() : 0, NOT_YET);
  std::vector<Entry> pool;
  OwnEstimates known;
  auto write = [&](std::size_t r, const Entry* entries) {
    for (std::size_t c = 0; c < columns; ++c) {
      out.symbols[r * columns + c] = entries[c].symbol;
      out.probabilities[r * columns + c] = entries[c].p;
    }
  };
  histories.visit([&](auto symbols) {
    // The histories in order of their last two symbols (or the last, over
    // wide alphabets), so that those that share nodes come together; the
    // answers go to their own rows.
    struct Place {
      std::size_t begin, length, row;
    };
    std::vector<Place> order;
    const std::size_t few = 4 * histories.size() + 1024;
    const std::size_t wide = (m + 2) * (m + 2) <= few ? m + 2 : 1;
    if (dense && (m + 2) * wide <= few) {
      by_two = wide != 1;
      const std::size_t buckets = (m + 2) * wide;
      std::vector<std::size_t> start(buckets + 1, 0), of(histories.size());
      for (std::size_t r = 0; r < histories.size(); ++r) {
        const std::size_t n = histories.row_length(r);
        const auto* last = symbols.data() + histories.row_begin(r) + n;
        auto at = [&](std::size_t back) {
          return n >= back ? std::min<std::size_t>(last[-static_cast<std::ptrdiff_t>(back)], m)
                           : m + 1;
        };
        of[r] = wide == 1 ? at(1) : at(1) * wide + at(2);
        ++start[of[r] + 1];
      }
      for (std::size_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
      order.resize(histories.size());
      for (std::size_t r = 0; r < histories.size(); ++r) {
        order[start[of[r]]++] = Place{histories.row_begin(r), histories.row_length(r), r};
      }
    }
    // A history's symbols are read some rows ahead of their turn.
    constexpr std::size_t AHEAD = 8;
    for (std::size_t i = 0; i < histories.size(); ++i) {
      std::size_t r = i;
      auto history = symbols.subspan(histories.row_begin(r), histories.row_length(r));
      if (!order.empty()) {
        if (i + AHEAD < order.size() && order[i + AHEAD].length > 0) {
          const Place& later = order[i + AHEAD];
          __builtin_prefetch(symbols.data() + later.begin + later.length - 1);
        }
        r = order[i].row;
        history = symbols.subspan(order[i].begin, order[i].length);
      }
      std::size_t length = std::min(history.size(), depth_);
      for (std::size_t q = 0; q < length; ++q) {
        context_[q] = static_cast<Symbol>(history[history.size() - 1 - q]);
      }
      // Counted from their start, a shorter history is the beginning of a row.
      if (starts_ && length < depth_) context_[length++] = start();
      const std::size_t reached = walk_path(length);
      // The answer depends on the path's last node and whether the history
      // ends there.
      const std::size_t key = 2 * std::size_t{path_[reached]} + (reached == length ? 1 : 0);
      if (cache && cached_at[key] != NOT_YET) {
        write(r, pool.data() + std::size_t{cached_at[key]} * columns);
        continue;
      }
      candidates.clear();
      seen.clear();
      bool ranked = false;
      if constexpr (SEQUENTIAL) {
        // Every symbol the root has not seen is predicted alike.
        for (std::uint32_t i = 0; i < root.out_size; ++i) {
          const Symbol s = root_outcomes[i].symbol;
          candidates.push_back(Entry{predict_symbol(reached, length, s), s});
        }
        if (candidates.size() < m) {
          Symbol unseen = 0;
          while (unseen < root.out_size && root_outcomes[unseen].symbol == unseen) ++unseen;
          add_unseen(predict_symbol(reached, length, unseen), columns);
        }
      } else if (seen_from(1, reached) * 4 < m) {
        rank_levels(reached, length);
      } else if (const KeyTable* table = reached >= 2 && dense && seen_from(2, reached) < m
                                             ? key_table(root_child[context_[0]])
                                             : nullptr;
                 table != nullptr) {
        rank_by_key(reached, length, *table);
      } else {
        // Many symbols are seen on the path: the whole distribution in one
        // sweep a level, then the best.
        row_.resize(m);
        predict_all(reached, length, std::span<double>(row_), &known);
        select(row_.data());
        ranked = true;
      }
      if (!ranked) {
        // Symbols differ, so `before` orders any two candidates alike.
        if (candidates.size() <= 4 * columns) {
          std::sort(candidates.begin(), candidates.end(), before);
        } else {
          std::partial_sort(candidates.begin(),
                            candidates.begin() + static_cast<std::ptrdiff_t>(columns),
                            candidates.end(), before);
        }
      }
      if (cache) {
        if (pool.size() / columns >= NOT_YET) throw CapacityExhausted();
        cached_at[key] = static_cast<std::uint32_t>(pool.size() / columns);
        pool.insert(pool.end(), candidates.begin(),
                    candidates.begin() + static_cast<std::ptrdiff_t>(columns));
      }
      write(r, candidates.data());
    }
  });
  return out;
}

// ---- adding positions ------------------------------------------------------------

template <class Estimator>
template <class F>
void MixtureOf<Estimator>::with_journal(F&& f) {
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

template <class Estimator>
double MixtureOf<Estimator>::add_position(Symbol a, double* dist) {
  if (!weights_) throw InternalFault("mixture: predicting after evidence-only counting");
  const std::size_t reached = linked_ ? follow_links() : walk(length_);
  prefetch_path(reached);
  if (dist != nullptr) predict_all(reached, length_, std::span<double>(dist, alphabet_size()));
  if constexpr (SEQUENTIAL) {
    const double log_p = std::log(count_position<true>(a, reached));
    log_evidence_ = log_evidence_ + log_p;
    return log_p;
  } else {
    if (dist == nullptr) return std::log(count_position<true>(a, reached));
    const double p = dist[a];
    count_position<false>(a, reached);
    return std::log(p);
  }
}

template <class Estimator>
template <bool Predict>
double MixtureOf<Estimator>::count_position(Symbol a, std::size_t reached) {
  if (journal_) {
    for (std::size_t d = 0; d <= reached; ++d) touch(path_[d]);
  }
  for (std::size_t d = reached + 1; d <= length_; ++d) new_child(d, context_[d - 1]);
  // The last position's records link to the nodes just made, before any
  // record of this position can move their blocks; with no last position,
  // their parents count them unlinked.
  for (std::size_t d = reached + 1; d <= length_; ++d) {
    if (linked_) {
      note_outcome(last_record_[d - 1]);
      outcomes_[last_record_[d - 1]].next = path_[d];
    } else {
      ++nodes_[path_[d - 1]].unlinked;
    }
  }
  linked_ = false;
  if constexpr (SEQUENTIAL) {
    // The nodes as they are predict `a` (those just made have no data and
    // predict their parent's backing off, so it is the one made before they
    // were), as predict_symbol does: top-down each node's estimate, its
    // record of `a` made if it has none; then bottom-up each node's mixture,
    // then its odds by the ratio of its estimate to its child's prediction,
    // then its counts, a node's continuation count of `a` rising when its
    // child sees `a` for the first time.
    estimates_down(length_, [&](std::size_t d) -> const Outcome& {
      return outcomes_[records_[d] = outcome_for(path_[d], a)];
    });
    double p = q_[length_];
    bool first_below = false;
    for (std::size_t d = length_ + 1; d-- > 0;) {
      const std::uint64_t at = records_[d];
      Outcome& record = outcomes_[at];
      Node& node = nodes_[path_[d]];
      if (d < length_ && node.n != 0) {
        const double below = p;
        p = node.state.w * q_[d] + node.state.v * p;
        node.state.r = node.state.r * (q_[d] / below);
        set_weights(node.state);
      }
      note_outcome(at);
      const Count before = record.count;
      node.state.classes.count_up(before);
      ++record.count;
      ++node.n;
      if (d < depth_) {
        if (first_below) {
          node.state.table_classes.count_up(record.tables);
          ++record.tables;
          ++node.state.tables;
        }
        last_record_[d] = at;
        last_node_[d] = path_[d];
      }
      first_below = before == 0;
      // The node of the next position at depth d + 1, when it is known.
      if (d < depth_ && record.next != NO_SLOT) __builtin_prefetch(nodes_.data() + record.next);
    }
    return p;
  } else {
    // With Predict, the path's prediction of `a` from each node's state just
    // before its update: its estimate at the path's end (depth D or a start
    // node) when the path reaches it,
    // 1/m below the deepest node seen otherwise, mixed upwards with each
    // node's estimate (1/m throughout while the mixture holds no position).
    const bool empty = nodes_[0].n == 0;
    double p = 1.0 / static_cast<double>(alphabet_size());
    for (std::size_t d = length_ + 1; d-- > 0;) {
      const Slot x = path_[d];
      const std::uint64_t at = outcome_for(x, a);
      note_outcome(at);
      const Count before = outcomes_[at].count++;
      Node& node = nodes_[x];
      if constexpr (Predict) {
        if (!empty && d <= reached) {
          const double q = estimator_.predict(before, node.n);
          p = d == length_ ? q : mix(node.state.w, q, p);
        }
      }
      ++node.n;
      score(x, d == length_, weights_);
      if (d > 0) {
        const std::uint64_t kid = nodes_[path_[d - 1]].kid_at + node.slot;
        note_child(kid);
        children_[kid].W = node.state.W;
      }
      if (d < depth_) {
        last_record_[d] = at;
        last_node_[d] = x;
      }
    }
    return p;
  }
}

template <class Estimator>
void MixtureOf<Estimator>::update(const Rows& rows, std::span<double> log_probabilities,
                                  std::span<double> distributions) {
  const std::size_t m = alphabet_size();
  const bool want = !distributions.empty();
  rows.visit([&](auto symbols) {
    with_journal([&] {
      std::size_t i = 0;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
        linked_ = false;
        for (std::size_t t = first_counted(); t < row.size(); ++t, ++i) {
          set_context(row, t);
          log_probabilities[i] = add_position(static_cast<Symbol>(row[t]),
                                              want ? distributions.data() + i * m : nullptr);
          linked_ = true;
        }
        linked_ = false;
      }
    });
  });
}

template <class Estimator>
template <class Term>
void MixtureOf<Estimator>::score_rows(const Rows& rows, std::size_t skip, Term&& term) {
  rows.visit([&](auto symbols) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const auto row = symbols.subspan(rows.row_begin(r), rows.row_length(r));
      if (row.size() <= skip) continue;
      // Positions before the first counted one are predicted from the
      // mixture as it is; they come first in their row. Counted positions
      // before `skip` are added unscored.
      const std::size_t first = first_counted();
      for (std::size_t t = skip; t < std::min(first, row.size()); ++t) {
        term(r, std::log(predict_early(row, t)));
      }
      if (row.size() <= first) continue;
      begin(true);
      try {
        for (std::size_t t = first; t < row.size(); ++t) {
          set_context(row, t);
          const double log_p = add_position(static_cast<Symbol>(row[t]), nullptr);
          if (t >= skip) term(r, log_p);
          linked_ = true;
        }
      } catch (...) {
        rollback();
        throw;
      }
      rollback();
    }
  });
}

template <class Estimator>
std::vector<double> MixtureOf<Estimator>::log_likelihood(const Rows& rows, std::size_t skip) {
  std::vector<double> out(rows.size(), 0.0);
  score_rows(rows, skip, [&](std::size_t r, double log_p) { out[r] = out[r] + log_p; });
  return out;
}

template <class Estimator>
std::vector<double> MixtureOf<Estimator>::pointwise_log_likelihood(const Rows& rows,
                                                                   std::size_t skip) {
  std::vector<double> out;
  std::size_t terms = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    terms += rows.row_length(r) - std::min(rows.row_length(r), skip);
  }
  out.reserve(terms);
  score_rows(rows, skip, [&](std::size_t, double log_p) { out.push_back(log_p); });
  return out;
}

// ---- the journal ----------------------------------------------------------------

template <class Estimator>
void MixtureOf<Estimator>::begin(bool row) {
  journal_ = true;
  row_journal_ = row;
  linked_ = false;
  if (++epoch_ == 0) {
    std::fill(stamp_.begin(), stamp_.end(), 0);
    epoch_ = 1;
  }
  saved_.clear();
  saved_outcomes_.clear();
  saved_children_.clear();
  outcome_log_.clear();
  child_log_.clear();
  links_.clear();
  mark_nodes_ = nodes_.size();
  mark_outcomes_ = outcomes_.size();
  mark_children_ = children_.size();
  mark_evidence_ = log_evidence_;
}

template <class Estimator>
void MixtureOf<Estimator>::save(Slot x) {
  const Node& node = nodes_[x];
  // The blocks first and the record last: rollback reads blocks in the order
  // of the records, so blocks left by a failed save are never read.
  if (!row_journal_) {
    append(saved_outcomes_, outcomes_.data() + node.out_at, node.out_size);
    append(saved_children_, children_.data() + node.kid_at, node.kid_size);
  }
  saved_.push_back(Saved{x, node});
  stamp_[x] = epoch_;
}

template <class Estimator>
void MixtureOf<Estimator>::rollback() {
  if (row_journal_) {
    // Each record as it was before its first change: the log read backwards.
    for (std::size_t i = outcome_log_.size(); i-- > 0;) {
      outcomes_[outcome_log_[i].at] = outcome_log_[i].value;
    }
    for (std::size_t i = child_log_.size(); i-- > 0;) {
      children_[child_log_[i].at] = child_log_[i].value;
    }
    for (const Saved& saved : saved_) nodes_[saved.node] = saved.value;
  } else {
    std::size_t o = 0, c = 0;
    for (const Saved& saved : saved_) {
      const Node& node = saved.value;
      nodes_[saved.node] = node;
      copy_small(saved_outcomes_.data() + o, node.out_size, outcomes_.data() + node.out_at);
      copy_small(saved_children_.data() + c, node.kid_size, children_.data() + node.kid_at);
      o += node.out_size;
      c += node.kid_size;
    }
  }
  nodes_.resize(mark_nodes_);
  stamp_.resize(mark_nodes_);
  outcomes_.resize(mark_outcomes_);
  children_.resize(mark_children_);
  saved_.clear();
  saved_outcomes_.clear();
  saved_children_.clear();
  outcome_log_.clear();
  child_log_.clear();
  // The links between the nodes that stay, made again on the records as
  // they are now.
  for (const Link& link : links_) {
    const std::uint64_t at = find_outcome(link.from, link.symbol);
    if (at == NO_RECORD || outcomes_[at].next != NO_SLOT || nodes_[link.parent].unlinked == 0) {
      continue;
    }
    outcomes_[at].next = link.to;
    --nodes_[link.parent].unlinked;
  }
  links_.clear();
  journal_ = false;
  row_journal_ = false;
  linked_ = false;
  log_evidence_ = mark_evidence_;
}

template class MixtureOf<Dirichlet>;
template class MixtureOf<KneserNey>;
template double MixtureOf<Dirichlet>::count_position<false>(Symbol, std::size_t);

// ---- the mixture as the binding holds it -------------------------------------------

namespace {

std::variant<MixtureOf<Dirichlet>, MixtureOf<KneserNey>> empty_tree(
    std::size_t alphabet_size, std::size_t max_depth, const BctPrior& prior,
    const EstimatorChoice& estimator, bool starts) {
  if (const auto* dirichlet = std::get_if<DirichletChoice>(&estimator)) {
    return MixtureOf<Dirichlet>(max_depth, prior, Dirichlet(alphabet_size, dirichlet->alpha),
                                starts);
  }
  const KneserNey& kneser_ney = std::get<KneserNey>(estimator);
  if (kneser_ney.alphabet_size() != alphabet_size || kneser_ney.max_depth() != max_depth) {
    throw InternalFault("mixture: an estimator of another alphabet or depth");
  }
  return MixtureOf<KneserNey>(max_depth, prior, kneser_ney, starts);
}

std::variant<MixtureOf<Dirichlet>, MixtureOf<KneserNey>> counts_tree(
    const Counts& counts, const BctPrior& prior, const EstimatorChoice& estimator) {
  const auto* dirichlet = std::get_if<DirichletChoice>(&estimator);
  if (dirichlet == nullptr) {
    if (counts.sample_size() != 0)
      throw InternalFault("mixture: counts for a sequential estimator");
    return empty_tree(counts.alphabet_size(), counts.max_depth(), prior, estimator,
                      counts.starts());
  }
  return MixtureOf<Dirichlet>(counts, prior, Dirichlet(counts.alphabet_size(), dirichlet->alpha));
}

}  // namespace

Mixture::Mixture(std::size_t alphabet_size, std::size_t max_depth, const BctPrior& prior,
                 const EstimatorChoice& estimator, bool starts)
    : tree_(empty_tree(alphabet_size, max_depth, prior, estimator, starts)) {}

Mixture::Mixture(const Counts& counts, const BctPrior& prior, const EstimatorChoice& estimator)
    : tree_(counts_tree(counts, prior, estimator)) {
  if (!sequential()) base_.emplace(counts);
}

std::size_t Mixture::alphabet_size() const noexcept {
  return visit([](const auto& tree) { return tree.alphabet_size(); });
}
std::size_t Mixture::max_depth() const noexcept {
  return visit([](const auto& tree) { return tree.max_depth(); });
}
bool Mixture::starts() const noexcept {
  return visit([](const auto& tree) { return tree.starts(); });
}
const BctPrior& Mixture::prior() const noexcept {
  return visit([](const auto& tree) -> const BctPrior& { return tree.prior(); });
}
Count Mixture::sample_size() const noexcept {
  return visit([](const auto& tree) { return tree.sample_size(); });
}
double Mixture::log_evidence() const noexcept {
  return visit([](const auto& tree) { return tree.log_evidence(); });
}
std::size_t Mixture::nodes() const noexcept {
  return visit([](const auto& tree) { return tree.nodes(); });
}

EstimatorChoice Mixture::estimator() const {
  if (const auto* tree = std::get_if<MixtureOf<Dirichlet>>(&tree_)) {
    return DirichletChoice{tree->estimator().alpha()};
  }
  return std::get<MixtureOf<KneserNey>>(tree_).estimator();
}

Counts Mixture::counts() const {
  if (!base_) throw InternalFault("mixture: no counts to give");
  Counts out = *base_;
  if (pending_.size() != 0) {
    if (auto added = out.add(pending_); !added) throw InternalFault("mixture: " + added.error());
  }
  return out;
}

void Mixture::predict(std::span<const Symbol> history, std::span<double> out) const {
  visit([&](const auto& tree) { tree.predict(history, out); });
}

Count Mixture::positions(const Rows& rows) const {
  return starts() ? rows.symbol_count() : counted_positions(rows, max_depth());
}

std::expected<void, std::string> Mixture::update(const Rows& rows,
                                                 std::span<double> log_probabilities,
                                                 std::span<double> distributions) {
  const std::size_t m = alphabet_size();
  if (auto valid = check_symbols(rows, m); !valid) return std::unexpected(std::move(valid.error()));
  if (log_probabilities.size() != positions(rows) ||
      (!distributions.empty() && distributions.size() != log_probabilities.size() * m)) {
    throw InternalFault("mixture update: answer sizes do not match the rows");
  }
  const std::size_t pending = pending_.size();
  try {
    rows.visit([&](auto symbols) {
      using Stored = typename decltype(symbols)::value_type;
      if constexpr (sizeof(Stored) <= sizeof(Symbol)) {  // rows never store wider than a word
        for (std::size_t r = 0; r < rows.size(); ++r) {
          pending_.append(symbols.subspan(rows.row_begin(r), rows.row_length(r)));
          pending_.end_row();
        }
      } else {
        throw InternalFault("mixture update: rows wider than a symbol");
      }
    });
    visit([&](auto& tree) { tree.update(rows, log_probabilities, distributions); });
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

std::expected<std::vector<double>, std::string> Mixture::log_likelihood(const Rows& rows,
                                                                        std::size_t skip) {
  if (auto valid = check_symbols(rows, alphabet_size()); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return visit([&](auto& tree) { return tree.log_likelihood(rows, skip); });
}

std::expected<std::vector<double>, std::string> Mixture::pointwise_log_likelihood(
    const Rows& rows, std::size_t skip) {
  if (auto valid = check_symbols(rows, alphabet_size()); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return visit([&](auto& tree) { return tree.pointwise_log_likelihood(rows, skip); });
}

std::expected<TopSymbols, std::string> Mixture::top_k(const Rows& histories, std::size_t k) const {
  if (auto valid = check_symbols(histories, alphabet_size(), "histories"); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  // Refused before anything is allocated when no array could hold it.
  const std::size_t columns = std::min(k, alphabet_size());
  const auto most = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
                    (sizeof(Symbol) + sizeof(double));
  if (columns > most || histories.size() > most / columns) throw std::bad_alloc();
  return visit([&](const auto& tree) { return tree.top_k(histories, k); });
}

}  // namespace ostrel::bct
