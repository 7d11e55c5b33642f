// Writing and reading the persistent state of a model. The writer checks that
// the model holds only what the layout can derive, so that every state it
// writes loads as the same model; the reader checks every field before the
// model exists.

#include "state/model_state.hpp"

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "fit/fit.hpp"
#include "model/scoring.hpp"
#include "representation/trie_writer.hpp"
#include "state/state.hpp"

namespace ostrel {

namespace {

// Layout 2 is layout 1 with the stored depth written out, for the models
// whose stored depth is not the one fit chooses (a given tree fitted under
// peres_shield stores to max_depth); every other model is written in layout 1.
constexpr std::uint8_t LAYOUT = 2;

// The bytes of every stored symbol: enough for alphabet_size - 1.
std::size_t symbol_bytes(std::uint64_t alphabet_size) {
  return std::max<std::size_t>(1, (std::bit_width(alphabet_size - 1) + 7) / 8);
}

std::string text(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

template <std::integral T>
std::string text(T value) {
  return std::to_string(value);
}

// Throws unless the fitted state is what the layout derives: every node kept,
// children listed in index order, a context exactly where a node has fewer
// children than symbols, the root's count the sample size, and the stored
// depth at most max_depth.
void check_derivable(const CountTrie& trie, const TreeMask& mask, const FitConfig& config) {
  const std::size_t n = trie.node_count();
  if (mask.kept.size() != n || mask.terminal.size() != n ||
      std::any_of(mask.kept.begin(), mask.kept.end(), [](std::uint8_t k) { return k != 1; })) {
    throw InternalFault("saving a model: its mask is not one of a fitted model");
  }
  if (trie.node(ROOT).count != trie.sample_size() || trie.storage_depth() > config.max_depth) {
    throw InternalFault("saving a model: its sample size or depth does not follow from its counts");
  }
  for (const NodeIndex node : trie.nodes().indices()) {
    std::size_t children = 0;
    NodeIndex previous = node;
    for (const ChildEdge& edge : trie.children(node)) {
      if (edge.child <= previous || trie.node(edge.child).parent != node) {
        throw InternalFault("saving a model: a child list is not in index order");
      }
      previous = edge.child;
      ++children;
    }
    if (mask.terminal[node.value()] != (children < trie.alphabet_size() ? 1 : 0)) {
      throw InternalFault("saving a model: a context flag does not follow from the children");
    }
  }
}

class ModelReader {
 public:
  explicit ModelReader(std::span<const std::uint8_t> state) : in_(state) {}

  std::expected<OSTRELObject, std::string> read() {
    if (in_.kind() != StateKind::Model && in_) in_.fail("it holds no model");
    layout_ = in_.version(LAYOUT);
    const std::uint8_t method = in_.byte();
    if (in_ && method > 2) {
      in_.fail("method " + text(method) + " is not 0 (bct), 1 (bic) or 2 (peres_shield)");
    }
    const std::uint64_t alphabet_size =
        in_.varint_at_most(std::numeric_limits<Symbol>::max(), "alphabet_size");
    const std::uint64_t max_depth =
        in_.varint_at_most(std::numeric_limits<std::size_t>::max(), "max_depth");
    const double beta = in_.float64();
    const double penalty = in_.float64();
    const std::uint8_t fitted = in_.byte();
    if (in_ && fitted > 1) in_.fail("the fitted flag " + text(fitted) + " is neither 0 nor 1");
    if (in_ && fitted == 0 && layout_ == 2) in_.fail("layout 2 holds only fitted models");
    std::optional<FitConfig> config;
    if (in_) {
      config = checked_config(static_cast<SelectionMethod>(method), alphabet_size, max_depth, beta,
                              penalty);
    }
    if (!in_) return std::unexpected(in_.error());
    OSTRELObject model(*config);
    if (fitted == 1) read_fit(model);
    in_.expect_end();
    if (!in_) return std::unexpected(in_.error());
    return model;
  }

 private:
  // The configuration the constructor makes of these values, which must be
  // exactly the ones stored.
  std::optional<FitConfig> checked_config(SelectionMethod method, std::uint64_t alphabet_size,
                                          std::uint64_t max_depth, double beta, double penalty) {
    const std::string_view name = canonical_name(method);
    const bool bct = method == SelectionMethod::Bct, bic = method == SelectionMethod::Bic;
    auto config = FitConfig::create(
        static_cast<std::size_t>(alphabet_size), static_cast<std::size_t>(max_depth),
        std::u32string(name.begin(), name.end()), bct ? std::optional(beta) : std::nullopt,
        bic ? std::optional(penalty) : std::nullopt, U"condition");
    if (!config) {
      in_.fail(config.error());
      return std::nullopt;
    }
    // A parameter the method does not use holds its default: penalty exactly
    // 1, beta 1 - 2^-(alphabet_size - 1), whose last bit is the saving
    // machine's exp, so only its range [0.5, 1] is checked, and it is kept.
    if (!bct) {
      if (!(beta >= 0.5 && beta <= 1.0)) {
        in_.fail("beta " + text(beta) + " is not a default beta");
        return std::nullopt;
      }
      config->beta = beta;
    }
    if (!bic && std::bit_cast<std::uint64_t>(penalty) != std::bit_cast<std::uint64_t>(1.0)) {
      in_.fail("penalty " + text(penalty) + " is not 1 under " + std::string(name));
      return std::nullopt;
    }
    return *config;
  }

  // A symbol of `bytes` bytes, of node `node`'s edge or of one of its outcomes.
  Symbol symbol(std::size_t bytes, std::size_t alphabet_size, std::size_t node, bool edge) {
    const std::uint64_t value = in_.word(bytes);
    if (in_ && value >= alphabet_size) {
      in_.fail("node " + text(node) + (edge ? " has edge symbol " : " counts symbol ") +
               text(value) + ", outside 0.." + text(alphabet_size));
    }
    return static_cast<Symbol>(value);
  }

  void read_fit(OSTRELObject& model) {
    const FitConfig& config = model.config;
    const std::size_t alphabet_size = config.alphabet_size;
    const std::size_t w = symbol_bytes(alphabet_size);
    // Layout 2 states the stored depth; it must differ from the one fit
    // chooses, which layout 1 derives.
    std::optional<std::size_t> stored_depth;
    if (layout_ == 2) {
      stored_depth =
          static_cast<std::size_t>(in_.varint_at_most(config.max_depth, "the stored depth"));
    }
    const std::uint64_t node_total = in_.varint_at_most(MAX_RECORDS, "the node count");
    const std::uint64_t record_total = in_.varint_at_most(MAX_RECORDS, "the outcome count");
    if (in_ && node_total == 0) in_.fail("a fitted model has no root");
    if (!in_) return;
    // The least that many nodes and records take: a gap, a symbol and an
    // outcome count per node but the root, a symbol and a count per record.
    // Below 2^37, as both totals are below 2^32.
    if (!in_.fits((node_total - 1) * (w + 2) + 1 + record_total * (w + 1), 1)) return;
    const auto n = static_cast<std::size_t>(node_total);
    const auto records = static_cast<std::size_t>(record_total);

    // The nodes as read, each with its outcome records in list order.
    struct Read {
      Count count;
      Symbol symbol;
      NodeIndex parent;
      Depth depth;
      std::size_t outcomes_end;
    };
    std::vector<Read> nodes;
    nodes.reserve(n);
    std::vector<SymbolCount> outcomes;
    outcomes.reserve(records);
    std::vector<std::uint32_t> children(n + 1, 0);  // counts, then where each node's begin
    std::size_t depth_limit = 0;
    for (std::size_t i = 0; i < n; ++i) {
      NodeIndex parent = NO_INDEX;
      Symbol edge_symbol = NO_SYMBOL;
      std::size_t depth = 0;
      if (i > 0) {
        const std::uint64_t gap = in_.varint();
        if (in_ && (gap == 0 || gap > i)) {
          in_.fail("node " + text(i) + " has parent gap " + text(gap) + ", outside 1.." + text(i));
        }
        edge_symbol = symbol(w, alphabet_size, i, true);
        if (!in_) return;
        parent = NodeIndex(i - gap);
        depth = nodes[parent.value()].depth + std::size_t{1};
        if (depth > depth_limit) {
          in_.fail("node " + text(i) + " lies at depth " + text(depth) + ", below the model's " +
                   text(depth_limit));
          return;
        }
        ++children[parent.value() + 1];
      }
      const std::uint64_t k = in_.varint_at_most(alphabet_size, "a node's number of outcomes");
      if (in_ && k > records - outcomes.size()) {
        in_.fail("the nodes hold more outcome records than counted");
      }
      if (!in_) return;
      Count sum = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const Symbol s = symbol(w, alphabet_size, i, false);
        const Count c = in_.varint();
        if (in_ && c == 0) in_.fail("node " + text(i) + " counts symbol " + text(s) + " 0 times");
        if (in_ && c > std::numeric_limits<Count>::max() - sum) {
          in_.fail("the counts of node " + text(i) + " overflow 64 bits");
        }
        if (!in_) return;
        sum += c;
        outcomes.push_back(SymbolCount{s, c});
      }
      nodes.push_back(Read{sum, edge_symbol, parent, static_cast<Depth>(depth), outcomes.size()});
      if (i == 0) {
        depth_limit = storage_depth_for(config, sum);
        if (stored_depth && *stored_depth == depth_limit) {
          in_.fail("layout 2 states the depth " + text(depth_limit) + " that layout 1 derives");
          return;
        }
        if (stored_depth) depth_limit = *stored_depth;
      }
    }
    if (outcomes.size() != records) {
      in_.fail("the nodes hold fewer outcome records than counted");
      return;
    }

    // A context is a node with fewer children than symbols. Each node's
    // children, in index order, are its list; written as compaction writes
    // lists, every record put at the front, newest first.
    std::vector<std::uint8_t> terminal(n);
    for (std::size_t p = 0; p < n; ++p) {
      terminal[p] = children[p + 1] < alphabet_size ? 1 : 0;
      children[p + 1] += children[p];
    }
    std::vector<NodeIndex> by_parent(n - 1);
    {
      std::vector<std::uint32_t> fill(children.begin(), children.end() - 1);
      for (std::size_t u = 1; u < n; ++u) {
        by_parent[fill[nodes[u].parent.value()]++] = NodeIndex(u);
      }
    }
    const Count sample_size = nodes[0].count;
    TrieWriter out(alphabet_size, depth_limit, sample_size, n);
    out.reserve(n - 1, records);
    for (std::size_t i = 0; i < n; ++i) {
      const NodeIndex node(i);
      out.node(node, nodes[i].count, nodes[i].symbol, nodes[i].depth);
      for (std::size_t c = children[i + 1]; c-- > children[i];) {
        out.push_child(node, nodes[by_parent[c].value()].symbol, by_parent[c]);
      }
      const std::size_t begin = i == 0 ? 0 : nodes[i - 1].outcomes_end;
      for (std::size_t o = nodes[i].outcomes_end; o-- > begin;) {
        out.push_outcome(node, outcomes[o].symbol, outcomes[o].count);
      }
      out.close(node, children[i + 1] - children[i], nodes[i].outcomes_end - begin);
    }
    nodes = {};
    outcomes = {};
    CountTrie trie = std::move(out).finish();
    if (!check_lists(trie)) return;
    if (auto charged = charged_counts(trie); !charged) {
      in_.fail(charged.error());
      return;
    }
    model.trie = std::move(trie);
    model.mask = TreeMask{std::vector<std::uint8_t>(n, 1), std::move(terminal)};
  }

  // No symbol twice among a node's children or among its outcome records:
  // a lookup finds every one of them where it is.
  bool check_lists(const CountTrie& trie) {
    for (const NodeIndex node : trie.nodes().indices()) {
      const TrieNode& record = trie.node(node);
      if (node != ROOT && trie.find_child(record.parent, record.symbol) != node) {
        in_.fail("node " + text(record.parent.value()) + " has two children for symbol " +
                 text(record.symbol));
        return false;
      }
      for (auto it = trie.outcomes(node).begin(); it != trie.outcomes(node).end(); ++it) {
        if (trie.find_outcome(node, it->symbol) != it.index()) {
          in_.fail("node " + text(node.value()) + " counts symbol " + text(it->symbol) + " twice");
          return false;
        }
      }
    }
    return true;
  }

  StateReader in_;
  std::uint8_t layout_ = 1;
};

}  // namespace

std::string save_model(const OSTRELObject& model) {
  const FitConfig& config = model.config;
  const bool derived = !model.fitted() || model.trie->storage_depth() ==
                                              storage_depth_for(config, model.trie->sample_size());
  StateWriter out(StateKind::Model, derived ? 1 : 2);
  out.byte(static_cast<std::uint8_t>(config.method));
  out.varint(config.alphabet_size);
  out.varint(config.max_depth);
  out.float64(config.beta);
  out.float64(config.penalty);
  out.byte(model.fitted() ? 1 : 0);
  if (!model.fitted()) return std::move(out).take();

  const CountTrie& trie = *model.trie;
  check_derivable(trie, *model.mask, config);
  if (!derived) out.varint(trie.storage_depth());
  const std::size_t w = symbol_bytes(config.alphabet_size);
  out.varint(trie.node_count());
  out.varint(trie.outcomes().size());
  for (const NodeIndex node : trie.nodes().indices()) {
    const TrieNode& record = trie.node(node);
    if (node != ROOT) {
      out.varint(node.value() - record.parent.value());
      out.word(record.symbol, w);
    }
    const auto list = trie.outcomes(node);
    out.varint(static_cast<std::uint64_t>(std::distance(list.begin(), list.end())));
    for (const OutcomeCount& outcome : list) {
      out.word(outcome.symbol, w);
      out.varint(outcome.count);
    }
  }
  return std::move(out).take();
}

std::expected<OSTRELObject, std::string> load_model(std::span<const std::uint8_t> state) {
  return ModelReader(state).read();
}

}  // namespace ostrel
