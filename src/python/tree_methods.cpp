// Counts by context and given trees: each entry point converts its arguments,
// calls the core and converts the answer; the pattern around it is entry.hpp's.

#include "tree_methods.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "arguments.hpp"
#include "array.hpp"
#include "classes.hpp"
#include "counts/context_counts.hpp"
#include "counts/max_likelihood.hpp"
#include "entry.hpp"
#include "posterior/tree_statistics.hpp"
#include "representation/context_tree.hpp"
#include "results.hpp"
#include "symbols.hpp"

namespace ostrel::binding {

namespace {

using CountsInstance = InstanceOf<Counts>;

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// `depth` given, or the counts' max_depth for None or absent.
bool depth_argument(PyObject* given, const Counts& counts, std::size_t& depth) {
  depth = counts.max_depth();
  if (given == nullptr || given == Py_None) return true;
  return to_size(given, "depth", depth);
}

constexpr const char* DEPTH[] = {"depth"};
constexpr const char* OPTIONAL_DEPTH[] = {"depth"};

}  // namespace

bool symbol_contexts(const Counts& counts, std::string_view reader) {
  auto tree = require_symbol_contexts(counts, reader);
  if (!tree) raise_value_error(tree.error());
  return tree.has_value();
}

PyObject* counts_context_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref given[1];
    if (!parse_arguments("Counts.context_counts()", DEPTH, 1, args, kwargs, given)) return nullptr;
    if (!symbol_contexts(instance.state(), "Counts.context_counts()")) return nullptr;
    std::size_t depth = 0;
    if (!to_size(given[0].get(), "depth", depth)) return nullptr;
    const Counts& counts = instance.state();
    auto read = context_counts(counts, depth);
    if (!read) return raise_value_error(read.error());
    // Symbols in the narrowest unsigned width that holds alphabet_size - 1.
    ArrayItems symbols = narrowest_unsigned(counts.alphabet_size() - 1);
    std::visit([&](auto& items) { items.assign(read->symbols.begin(), read->symbols.end()); },
               symbols);
    read->symbols = {};
    Ref contexts = make_array(std::move(symbols), read->contexts, depth);
    if (!contexts) return nullptr;
    Ref table = make_array(std::move(read->counts), read->contexts, counts.alphabet_size());
    if (!table) return nullptr;
    return PyTuple_Pack(2, contexts.get(), table.get());
  });
}

PyObject* counts_max_log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref given[1];
    if (!parse_arguments("Counts.max_log_likelihood()", OPTIONAL_DEPTH, 0, args, kwargs, given)) {
      return nullptr;
    }
    if (!symbol_contexts(instance.state(), "Counts.max_log_likelihood()")) return nullptr;
    const Counts& counts = instance.state();
    std::size_t depth = 0;
    if (!depth_argument(given[0].get(), counts, depth)) return nullptr;
    auto value = max_log_likelihood(counts, depth);
    if (!value) return raise_value_error(value.error());
    return PyFloat_FromDouble(*value);
  });
}

constexpr const char* TREE_STATISTICS_PARAMETERS[] = {"contexts", "beta"};

PyObject* counts_tree_statistics(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Shared, Counts>(self, [&](CountsInstance& instance) -> PyObject* {
    Ref given[2];
    if (!parse_arguments("Counts.tree_statistics()", TREE_STATISTICS_PARAMETERS, 1, args, kwargs,
                         given)) {
      return nullptr;
    }
    if (!symbol_contexts(instance.state(), "Counts.tree_statistics()")) return nullptr;
    Rows contexts;
    if (!to_rows(given[0].get(), "contexts", contexts, instance.exporters())) return nullptr;
    std::optional<double> beta;
    if (!to_optional_float(given[1].get(), "beta", beta)) return nullptr;
    const Counts& counts = instance.state();
    auto prior = bct::BctPrior::checked(counts.alphabet_size(), beta);
    if (!prior) return raise_value_error(prior.error());
    auto tree = ContextTree::build(contexts, counts.alphabet_size(), counts.max_depth());
    if (!tree) return raise_value_error(tree.error());
    return from_tree_statistics(bct::tree_statistics(counts, *tree, *prior)).release();
  });
}

constexpr const char* FIT_TREE_PARAMETERS[] = {"data", "contexts"};

PyObject* ostrel_fit_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return entry<Access::Exclusive, OSTRELObject>(
      self, [&](InstanceOf<OSTRELObject>& instance) -> PyObject* {
        Ref given[2];
        if (!parse_arguments("OSTREL.fit_tree()", FIT_TREE_PARAMETERS, 2, args, kwargs, given)) {
          return nullptr;
        }
        PyTypeObject* counts_type = type_of<Counts>();
        if (counts_type == nullptr) return nullptr;
        const bool from_counts = PyObject_TypeCheck(given[0].get(), counts_type) != 0;
        Rows rows;
        if (!from_counts && !to_rows(given[0].get(), "data", rows, instance.exporters())) {
          return nullptr;
        }
        Rows contexts;
        if (!to_rows(given[1].get(), "contexts", contexts, instance.exporters())) return nullptr;
        std::expected<void, std::string> fitted;
        if (from_counts) {
          auto& from = *reinterpret_cast<InstanceOf<Counts>*>(given[0].get());
          BorrowGuard guard(from, Access::Shared);
          if (!guard) return nullptr;
          fitted = instance.state().fit_tree(from.state(), contexts);
        } else {
          fitted = instance.state().fit_tree(rows, contexts);
        }
        if (!fitted) return raise_value_error(fitted.error());
        Py_RETURN_NONE;
      });
}

}  // namespace ostrel::binding
