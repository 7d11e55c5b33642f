#pragma once
// The classes of the module, one ClassOf per native state (instance.hpp says
// what each supplies). A new class adds its entry here and its file, which
// defines the PyType_Spec and its tables, and is added in module.cpp.

#include <Python.h>

#include "array.hpp"
#include "counts/counts.hpp"
#include "instance.hpp"
#include "model/model.hpp"
#include "state/counts_state.hpp"
#include "state/model_state.hpp"

namespace ostrel::binding {

template <>
struct ClassOf<OSTRELObject> {
  static constexpr const char* name = "OSTREL";
  static PyType_Spec definition;  // ostrel_type.cpp
  static constexpr auto save = save_model;
  static constexpr auto load = load_model;
};

template <>
struct ClassOf<Counts> {
  static constexpr const char* name = "Counts";
  static PyType_Spec definition;  // counts_type.cpp
  static constexpr auto save = save_counts;
  static constexpr auto load = load_counts;
};

template <>
struct ClassOf<ResultArray> {
  static constexpr const char* name = "Array";
  static PyType_Spec definition;  // array.cpp
  static constexpr auto save = save_array;
  static constexpr auto load = load_array;
};

}  // namespace ostrel::binding
