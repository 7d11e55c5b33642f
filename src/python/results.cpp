// Building the interpreter objects of answers: ints, lists of ints and
// floats, lists of contexts and the summary's dict. Each gives a new
// reference, or null with the interpreter's error set.

#include "results.hpp"

#include <cstdint>
#include <limits>
#include <utility>
#include <variant>

#include "array.hpp"

namespace ostrel::binding {

namespace {

// A list of `size` references to `fill`; null with MemoryError when the
// interpreter cannot hold that many entries.
Ref filled_list(std::size_t size, PyObject* fill) {
  if (fill == nullptr) return Ref();
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
    PyErr_NoMemory();
    return Ref();
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return list;
  for (std::size_t i = 0; i < size; ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(fill));
  }
  return list;
}

// high * 2**64 + low as an int.
Ref from_halves(std::uint64_t high, std::uint64_t low) {
  Ref low_part(PyLong_FromUnsignedLongLong(low));
  if (high == 0 || !low_part) return low_part;
  Ref high_part(PyLong_FromUnsignedLongLong(high));
  Ref shift(PyLong_FromLong(64));
  if (!high_part || !shift) return Ref();
  Ref shifted(PyNumber_Lshift(high_part.get(), shift.get()));
  if (!shifted) return Ref();
  return Ref(PyNumber_Or(shifted.get(), low_part.get()));
}

// A ranked tree as the list of its contexts.
Ref from_tree_contexts(const bct::RankedTree& tree) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(tree.context_count())));
  if (!list) return list;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < tree.context_count(); ++i) {
    Ref context = from_symbols(std::span(tree.symbols).subspan(begin, tree.ends[i] - begin));
    if (!context) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), context.release());  // steals
    begin = tree.ends[i];
  }
  return list;
}

}  // namespace

Ref from_count(Count value) { return Ref(PyLong_FromUnsignedLongLong(value)); }

Ref from_symbols(std::span<const Symbol> symbols) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(symbols.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(symbols[i]);
    if (item == nullptr) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list;
}

Ref from_counts(const SparseCounts& counts, std::size_t alphabet_size) {
  Ref zero(PyLong_FromLong(0));
  Ref list = filled_list(alphabet_size, zero.get());
  if (!list) return list;
  for (const SymbolCount& record : counts) {
    PyObject* item = PyLong_FromUnsignedLongLong(record.count);
    if (item == nullptr) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(record.symbol), item);
  }
  return list;
}

Ref from_distribution(const SparseDistribution& distribution, std::size_t alphabet_size) {
  // Every unseen symbol shares one float object of the same value.
  Ref unseen(PyFloat_FromDouble(distribution.unseen));
  Ref list = filled_list(alphabet_size, unseen.get());
  if (!list) return list;
  for (const auto& [symbol, probability] : distribution.seen) {
    PyObject* item = PyFloat_FromDouble(probability);
    if (item == nullptr) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(symbol), item);
  }
  return list;
}

Ref from_contexts(const std::vector<std::vector<Symbol>>& contexts) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(contexts.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    Ref item = from_symbols(contexts[i]);
    if (!item) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref from_floats(std::span<const double> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list;
}

Ref from_summary(const ModelSummary& summary) {
  const std::pair<const char*, Ref> entries[] = {
      {"contexts", Ref(PyLong_FromSize_t(summary.contexts))},
      {"sample_size", from_count(summary.sample_size)},
      {"parameters", from_halves(summary.parameters_high, summary.parameters_low)},
      {"log_likelihood", Ref(PyFloat_FromDouble(summary.log_likelihood))},
      {"aic", Ref(PyFloat_FromDouble(summary.aic))},
      {"bic", Ref(PyFloat_FromDouble(summary.bic))},
  };
  Ref dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : entries) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return Ref();
  }
  return dict;
}

Ref from_tree_statistics(const bct::TreeStatistics& statistics) {
  const ModelSummary& summary = statistics.summary;
  const std::pair<const char*, Ref> entries[] = {
      {"log_prior", Ref(PyFloat_FromDouble(statistics.log_prior))},
      {"log_posterior", Ref(PyFloat_FromDouble(statistics.log_posterior))},
      {"log_likelihood", Ref(PyFloat_FromDouble(summary.log_likelihood))},
      {"parameters", from_halves(summary.parameters_high, summary.parameters_low)},
      {"aic", Ref(PyFloat_FromDouble(summary.aic))},
      {"bic", Ref(PyFloat_FromDouble(summary.bic))},
      {"contexts", Ref(PyLong_FromSize_t(summary.contexts))},
      {"depth", Ref(PyLong_FromSize_t(statistics.depth))},
  };
  Ref dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : entries) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return Ref();
  }
  return dict;
}

Ref from_ranked_trees(std::span<const bct::RankedTree> trees) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(trees.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    Ref contexts = from_tree_contexts(trees[i]);
    if (!contexts) return Ref();
    Ref posterior(PyFloat_FromDouble(trees[i].log_posterior));
    if (!posterior) return Ref();
    PyObject* pair = PyTuple_Pack(2, contexts.get(), posterior.get());
    if (pair == nullptr) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals
  }
  return list;
}

Ref from_top_symbols(TopSymbols&& top, std::size_t rows, std::size_t alphabet_size) {
  ArrayItems symbols = std::vector<std::int64_t>();
  if (alphabet_size - 1 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    symbols = std::vector<std::uint64_t>();
  }
  std::visit([&](auto& out) { out.assign(top.symbols.begin(), top.symbols.end()); }, symbols);
  std::vector<Symbol>().swap(top.symbols);
  Ref symbol_array = make_array(std::move(symbols), rows, top.columns);
  if (!symbol_array) return {};
  Ref probability_array = make_array(std::move(top.probabilities), rows, top.columns);
  if (!probability_array) return {};
  return Ref(PyTuple_Pack(2, symbol_array.get(), probability_array.get()));
}

Ref from_terms(std::vector<double>&& terms, const Rows& rows, std::size_t skip, bool offsets) {
  std::vector<std::int64_t> starts;
  if (offsets) {
    starts.reserve(rows.size() + 1);
    std::int64_t at = 0;
    starts.push_back(at);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const std::size_t length = rows.row_length(r);
      at += static_cast<std::int64_t>(length - std::min(length, skip));
      starts.push_back(at);
    }
  }
  Ref values = make_array(std::move(terms));
  if (!values || !offsets) return values;
  Ref where = make_array(std::move(starts));
  if (!where) return {};
  return Ref(PyTuple_Pack(2, values.get(), where.get()));
}

}  // namespace ostrel::binding
