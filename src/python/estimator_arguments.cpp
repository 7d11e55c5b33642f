// The estimator keywords: tables of hyperparameters read from numbers or
// iterables of them, and the estimator chosen.

#include "estimator_arguments.hpp"

#include <string>
#include <utility>
#include <variant>

#include "arguments.hpp"
#include "array.hpp"

namespace ostrel::binding {

namespace {

using bct::KneserNey;

bool raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// A number, as float() reads it; a TypeError names the argument.
bool read_number(PyObject* object, const char* name, double& out) {
  out = PyFloat_AsDouble(object);
  if (out == -1.0 && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  return true;
}

// An iterator over `object`, or a null Ref without an error when it is not
// iterable (a number, say).
Ref iterator_of(PyObject* object) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %s",
                 PyUnicode_Check(object) ? "str" : "bytes");
    return Ref();
  }
  Ref iterator(PyObject_GetIter(object));
  if (!iterator && PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();
  return iterator;
}

// Reads `depths` rows of `columns` numbers into `out`: a number fills every
// row and column, an iterable gives each row, which is a number (filling its
// columns) or, when columns > 1, an iterable of `columns` numbers. Never
// reads more than one entry past the rows it needs.
bool read_table(PyObject* object, const char* name, std::size_t depths, std::size_t columns,
                std::vector<double>& out) {
  out.assign(depths * columns, 0.0);
  Ref rows = iterator_of(object);
  if (!rows) {
    if (PyErr_Occurred()) {
      prefix_type_error(name);
      return false;
    }
    double value = 0.0;
    if (!read_number(object, name, value)) return false;
    out.assign(depths * columns, value);
    return true;
  }
  const std::string shape = std::string(name) +
                            " must be a number or have max_depth + 1 = " + std::to_string(depths) +
                            " entries, one per depth";
  for (std::size_t d = 0;; ++d) {
    Ref row(PyIter_Next(rows.get()));
    if (!row) {
      if (PyErr_Occurred()) return false;
      if (d != depths) return raise_value_error(shape);
      return true;
    }
    if (d == depths) return raise_value_error(shape);
    Ref items = columns > 1 ? iterator_of(row.get()) : Ref();
    if (!items) {
      if (PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
      }
      double value = 0.0;
      if (!read_number(row.get(), name, value)) return false;
      for (std::size_t c = 0; c < columns; ++c) out[d * columns + c] = value;
      continue;
    }
    const std::string entry = std::string(name) + "'s entry for depth " + std::to_string(d) +
                              " must be a number or " + std::to_string(columns) +
                              " numbers, for counts 1, 2, and 3 or more";
    for (std::size_t c = 0;; ++c) {
      Ref item(PyIter_Next(items.get()));
      if (!item) {
        if (PyErr_Occurred()) return false;
        if (c != columns) return raise_value_error(entry);
        break;
      }
      if (c == columns) return raise_value_error(entry);
      if (!read_number(item.get(), name, out[d * columns + c])) return false;
    }
  }
}

}  // namespace

bool read_estimator_arguments(PyObject* alpha, PyObject* discount, PyObject* concentration,
                              std::size_t max_depth, EstimatorArguments& out) {
  if (!to_optional_float(alpha, "alpha", out.alpha)) return false;
  const std::size_t depths = max_depth + 1;
  if (discount != nullptr && discount != Py_None) {
    out.discounts.emplace();
    if (!read_table(discount, "discount", depths, KneserNey::CLASSES, *out.discounts)) {
      return false;
    }
  }
  if (concentration != nullptr && concentration != Py_None) {
    out.concentrations.emplace();
    if (!read_table(concentration, "concentration", depths, 1, *out.concentrations)) return false;
  }
  return true;
}

std::optional<bct::EstimatorChoice> choose_estimator(const EstimatorArguments& arguments,
                                                     std::size_t alphabet_size,
                                                     std::size_t max_depth) {
  const bool kneser_ney = arguments.discounts || arguments.concentrations;
  if (kneser_ney && arguments.alpha) {
    raise_value_error(
        "alpha chooses the Dirichlet estimator and discount and concentration the Kneser-Ney "
        "estimator; give one or the other");
    return std::nullopt;
  }
  if (!kneser_ney) {
    auto alpha = bct::Dirichlet::checked(arguments.alpha);
    if (!alpha) {
      raise_value_error(alpha.error());
      return std::nullopt;
    }
    return bct::DirichletChoice{*alpha};
  }
  const std::size_t depths = max_depth + 1;
  std::vector<double> discounts =
      arguments.discounts
          ? *arguments.discounts
          : std::vector<double>(depths * KneserNey::CLASSES, bct::KNESER_NEY_DISCOUNT);
  std::vector<double> concentrations =
      arguments.concentrations ? *arguments.concentrations : std::vector<double>(depths, 0.0);
  auto estimator =
      KneserNey::checked(alphabet_size, std::move(discounts), std::move(concentrations));
  if (!estimator) {
    raise_value_error(estimator.error());
    return std::nullopt;
  }
  return bct::EstimatorChoice(std::move(*estimator));
}

Ref from_hyperparameters(double beta, const bct::EstimatorChoice& estimator) {
  Ref dict(PyDict_New());
  if (!dict) return dict;
  Ref beta_value(PyFloat_FromDouble(beta));
  if (!beta_value || PyDict_SetItemString(dict.get(), "beta", beta_value.get()) < 0) return Ref();
  if (const auto* dirichlet = std::get_if<bct::DirichletChoice>(&estimator)) {
    Ref alpha(PyFloat_FromDouble(dirichlet->alpha));
    if (!alpha || PyDict_SetItemString(dict.get(), "alpha", alpha.get()) < 0) return Ref();
    return dict;
  }
  const KneserNey& kneser_ney = std::get<KneserNey>(estimator);
  const std::span<const double> discounts = kneser_ney.discounts();
  const std::span<const double> concentrations = kneser_ney.concentrations();
  Ref discount = make_array(std::vector<double>(discounts.begin(), discounts.end()),
                            concentrations.size(), KneserNey::CLASSES);
  if (!discount || PyDict_SetItemString(dict.get(), "discount", discount.get()) < 0) return Ref();
  Ref concentration = make_array(std::vector<double>(concentrations.begin(), concentrations.end()));
  if (!concentration ||
      PyDict_SetItemString(dict.get(), "concentration", concentration.get()) < 0) {
    return Ref();
  }
  return dict;
}

const char* estimator_name(const bct::EstimatorChoice& estimator) {
  return std::holds_alternative<bct::DirichletChoice>(estimator) ? "dirichlet" : "kneser_ney";
}

}  // namespace ostrel::binding
