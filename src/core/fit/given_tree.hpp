#pragma once
// Fitting a given tree: the fit's phases with selection replaced by the
// caller's complete tree (context_tree.hpp). Counting is the fit's, and so is
// storing (store.hpp): the tree's nodes with data are kept as the expansion
// keeps a selected tree's, and its nodes without data are created as the
// expansion creates them, split where the given tree splits them. So the
// fitted trie of the tree a selector chooses is, record for record, the one
// that fitting with that selector stores.

#include <expected>
#include <string>

#include "config/config.hpp"
#include "counts/counts.hpp"
#include "fit/store.hpp"
#include "representation/context_tree.hpp"
#include "representation/rows.hpp"

namespace ostrel {

// The tree of depth at most config.max_depth fitted to `rows`, counted with
// config.max_depth symbols of context as fit counts them; the trie stores to
// depth max_depth. Fails with fit's message when a symbol is outside the
// alphabet.
std::expected<detail::FittedTrie, std::string> fit_given_rows(const Rows& rows,
                                                              const ContextTree& tree,
                                                              const FitConfig& config);

// The same from counts of the configuration's alphabet size and depth.
detail::FittedTrie fit_given_counts(const Counts& counts, const ContextTree& tree,
                                    const FitConfig& config);

}  // namespace ostrel
