#pragma once
// What an instance of a class of the module is: the interpreter's header, the
// native state, the borrow flag and the binding's per-object state; how one
// is made and released; and the class objects, created once per process from
// the PyType_Spec that each class's file supplies.

#include <Python.h>

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "symbols.hpp"

namespace ostrel::binding {

// The layout of an instance of a class of the module: the interpreter's
// header, the native state, then the borrow flag.
// The state is constructed in place when the object is made and destroyed in
// the deallocator; the storage keeps the struct standard-layout, so a pointer
// to the header is a pointer to the instance.
template <class Native>
struct InstanceOf {
  PyObject_HEAD alignas(Native) unsigned char storage[sizeof(Native)];
  // 0: free; n: n shared borrows; EXCLUSIVE: held by a call that changes it.
  std::uint64_t borrow;
  // Binding state of the object: constructed and destroyed with the native one.
  alignas(ExporterCache) unsigned char exporter_storage[sizeof(ExporterCache)];

  Native& state() noexcept { return *std::launder(reinterpret_cast<Native*>(storage)); }
  ExporterCache& exporters() noexcept {
    return *std::launder(reinterpret_cast<ExporterCache*>(exporter_storage));
  }
};

inline constexpr std::uint64_t EXCLUSIVE = ~std::uint64_t{0};

enum class Access { Shared, Exclusive };

// Holds a borrow of one instance for the length of a call.
class BorrowGuard {
 public:
  template <class Native>
  BorrowGuard(InstanceOf<Native>& instance, Access access) noexcept : flag_(instance.borrow) {
    if (access == Access::Exclusive) {
      if (flag_ != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag_ = EXCLUSIVE;
    } else {
      if (flag_ >= EXCLUSIVE - 1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag_;
    }
    held_ = true;
    access_ = access;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!held_) return;
    if (access_ == Access::Exclusive) {
      flag_ = 0;
    } else {
      --flag_;
    }
  }
  explicit operator bool() const noexcept { return held_; }

 private:
  std::uint64_t& flag_;
  bool held_ = false;
  Access access_ = Access::Shared;
};

// What the class of a native state supplies (classes.hpp specialises it):
//   static constexpr const char* name;  // its name in receiver errors
//   static PyType_Spec definition;      // defined in the class's own file
// and, for a class that pickles, `save` (const Native& -> std::string) and
// `load` (bytes -> std::expected<Native, std::string>), its state's writer
// and reader.
template <class Native>
struct ClassOf;

// The class object of `Native`, created from its PyType_Spec the first
// time it is asked for and kept for the life of the process; null with the
// interpreter's error set when it cannot be created (asked again next time).
template <class Native>
PyTypeObject* type_of() {
  static PyTypeObject* created = nullptr;
  if (created == nullptr) {
    created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&ClassOf<Native>::definition));
  }
  return created;
}

// A new instance of `type` that takes over `state`, or null with the
// interpreter's error (and `state` left to its owner).
template <class Native>
  requires(!std::is_reference_v<Native>)
PyObject* new_instance(PyTypeObject* type, Native&& state) {
  // Nothing can fail once the object is allocated, so it never exists half made.
  static_assert(std::is_nothrow_move_constructible_v<Native>);
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* instance = reinterpret_cast<InstanceOf<Native>*>(object);
  new (instance->storage) Native(std::move(state));
  new (instance->exporter_storage) ExporterCache();
  instance->borrow = 0;
  return object;
}

// The deallocation slot: destroys the native state (its fields in reverse
// order of declaration) and the binding's, then frees the object through the
// type's own free slot.
template <class Native>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<InstanceOf<Native>*>(self);
  instance->state().~Native();
  instance->exporters().~ExporterCache();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

}  // namespace ostrel::binding
