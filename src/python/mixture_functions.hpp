#pragma once
// The entry points of the mixture over every tree that other tables name:
// Counts.mixture (in the Counts class's method table) and the module's
// change-point functions.

#include <Python.h>

#include "instance.hpp"
#include "posterior/mixture.hpp"
#include "state/mixture_state.hpp"

namespace ostrel::binding {

template <>
struct ClassOf<bct::Mixture> {
  static constexpr const char* name = "Mixture";
  static PyType_Spec definition;  // mixture_type.cpp
  // The state of a mixture grown in order; one of counts alone pickles as
  // its counts (mixture_type.cpp).
  static constexpr auto save = save_mixture;
  static constexpr auto load = load_mixture;
};

// Counts.mixture(beta=None, *, alpha=None, discount=None, concentration=None).
PyObject* counts_mixture(PyObject* self, PyObject* args, PyObject* kwargs);

// ostrel.change_point_posterior and ostrel.segment (change_points.cpp).
PyObject* change_point_posterior(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* segment(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char* const CHANGE_POINT_POSTERIOR_DOC;
// ostrel.choose_hyperparameters (hyperparameters.cpp).
PyObject* choose_hyperparameters(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char* const CHOOSE_HYPERPARAMETERS_DOC;
extern const char* const SEGMENT_DOC;

}  // namespace ostrel::binding
