// Writing a fitted tree as DOT text.
//
// The layout, which readers of the text rely on:
//   digraph ostrel {
//     node [shape=ellipse];
//     n0 [label="[]\ncount 5"];
//     n1 [shape=box, label="[1]\ncount 3\np 0.125 0.875"];
//     n0 -> n1 [label="1"];
//   }
// Contexts are boxes; the edge from a node to its child carries the child's
// symbol, the one a step further back in time.

#include "model/dot.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <new>
#include <system_error>
#include <vector>

namespace ostrel {

namespace {

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, written.ptr);
}

// The shortest text that reads back to `value`.
void append_number(std::string& out, double value) {
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (written.ec != std::errc()) throw InternalFault("a probability did not fit its buffer");
  out.append(buffer, written.ptr);
}

void append_node(std::string& out, std::size_t index) {
  out += 'n';
  append_number(out, static_cast<std::uint64_t>(index));
}

}  // namespace

std::string dot_text(const CountTrie& trie, std::span<const std::uint8_t> terminal) {
  const std::size_t alphabet = trie.alphabet_size();
  // Every context writes at least two characters per symbol; a text that no
  // string could hold is refused before anything is written.
  const auto contexts = static_cast<std::size_t>(std::count(terminal.begin(), terminal.end(), 1));
  if (alphabet != 0 && contexts > static_cast<std::size_t>(PTRDIFF_MAX) / 2 / alphabet) {
    throw std::bad_alloc();
  }
  std::string out = "digraph ostrel {\n  node [shape=ellipse];\n";
  std::vector<double> probabilities;
  std::vector<Symbol> symbols;
  for (const NodeIndex index : trie.nodes().indices()) {
    const std::size_t i = index.value();
    const TrieNode& node = trie.node(index);
    // The context, oldest symbol first: the node's own edge symbol, then its
    // ancestors' up to the root's child.
    symbols.clear();
    for (NodeIndex at = index; at != ROOT; at = trie.node(at).parent) {
      symbols.push_back(trie.node(at).symbol);
    }
    const bool is_context = i < terminal.size() && terminal[i] == 1;
    out += "  ";
    append_node(out, i);
    out += is_context ? " [shape=box, label=\"[" : " [label=\"[";
    for (std::size_t k = 0; k < symbols.size(); ++k) {
      if (k != 0) out += ", ";
      append_number(out, static_cast<std::uint64_t>(symbols[k]));
    }
    out += "]\\ncount ";
    append_number(out, node.count);
    if (is_context) {
      // As the model's distribution computes them.
      const double denominator =
          static_cast<double>(node.count) + static_cast<double>(alphabet) * 0.5;
      probabilities.assign(alphabet, 0.5 / denominator);
      for (const OutcomeCount& outcome : trie.outcomes(index)) {
        probabilities[outcome.symbol] = (static_cast<double>(outcome.count) + 0.5) / denominator;
      }
      out += "\\np";
      for (const double p : probabilities) {
        out += ' ';
        append_number(out, p);
      }
    }
    out += "\"];\n";
  }
  for (const NodeIndex index : trie.nodes().indices()) {
    for (const ChildEdge& edge : trie.children(index)) {
      out += "  ";
      append_node(out, index.value());
      out += " -> ";
      append_node(out, edge.child.value());
      out += " [label=\"";
      append_number(out, static_cast<std::uint64_t>(edge.symbol));
      out += "\"];\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace ostrel
