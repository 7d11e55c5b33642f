// One scan of the counts' keys: the evidence alone, or the scored tree with
// the evidence, then the ranking.

#include "posterior/posterior.hpp"

#include <cstdint>

#include "posterior/evidence.hpp"
#include "posterior/ranking.hpp"
#include "posterior/scored_tree.hpp"

namespace ostrel::bct {

Posterior posterior(const Counts& counts, const BctPrior& prior, std::size_t k, double alpha) {
  if (counts.starts()) throw InternalFault("posterior: counts from their rows' start");
  const detail::KeyedLeaves& keyed = counts.keyed();
  const std::size_t alphabet_size = counts.alphabet_size(), depth = keyed.depth;
  return detail::with_front_keys(keyed, [&](const auto& keys) {
    Posterior out{0.0, {}};  // without data the evidence is exactly log 1
    const detail::SymbolCodes codes(keys, keyed.size());
    if (k == 0) {
      if (keyed.size() == 0) return out;
      EvidenceScan<std::uint64_t> scan(alphabet_size, depth, prior, alpha);
      detail::scan_bottom_up(keyed.leaves, codes, depth + 1, scan);
      out.log_evidence = scan.root();
      return out;
    }
    ScoredTrie scored;
    if (keyed.size() > 0) {
      ScoreScan<std::uint64_t> scan(alphabet_size, depth, prior, alpha, scored);
      detail::scan_bottom_up(keyed.leaves, codes, depth + 1, scan);
    }
    out.log_evidence = scored.log_evidence;
    const KeySymbol key_symbol = [&](std::uint64_t leaf, std::size_t d) {
      return keys.context(static_cast<std::size_t>(leaf), d);
    };
    out.top_trees = best_trees(scored, key_symbol, alphabet_size, depth, prior, k);
    for (RankedTree& tree : out.top_trees) tree.log_posterior = tree.log_value - out.log_evidence;
    return out;
  });
}

}  // namespace ostrel::bct
