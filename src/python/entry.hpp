#pragma once
// The one pattern every method, property and slot of the module's classes
// goes through:
// receiver check, the object's borrow flag, the operation, and the mapping of
// every failure to an interpreter exception. No C++ exception leaves it:
// memory exhaustion becomes MemoryError and any other fault the module's
// internal-fault exception.

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "counts/counts.hpp"
#include "model/model.hpp"
#include "ref.hpp"

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

using Instance = InstanceOf<OSTRELObject>;
using CountsInstance = InstanceOf<Counts>;

inline constexpr std::uint64_t EXCLUSIVE = ~std::uint64_t{0};

enum class Access { Shared, Exclusive };

// The class objects, created once per process; null with the interpreter's
// error set when they cannot be created.
PyTypeObject* ostrel_type();
PyTypeObject* counts_type();

// The class of each native state, and its name in receiver errors.
template <class Native>
struct ClassOf;
template <>
struct ClassOf<OSTRELObject> {
  static PyTypeObject* type() { return ostrel_type(); }
  static constexpr const char* name = "OSTREL";
};
template <>
struct ClassOf<Counts> {
  static PyTypeObject* type() { return counts_type(); }
  static constexpr const char* name = "Counts";
};
// The exception type for internal faults (derived from BaseException).
PyObject* internal_fault_type();

// Raises the internal-fault exception with `message`.
void raise_internal_fault(const char* message);

// Raises the exception of a model error: ValueError, RuntimeError or KeyError.
void raise_model_error(const ModelError& error);

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

// Runs `body` (-> PyObject* new reference, or null with an exception set) and
// turns every C++ exception it throws into an interpreter exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (const CapacityExhausted& full) {
    PyErr_SetString(PyExc_MemoryError, full.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("unknown internal fault");
  }
  return nullptr;
}

// Rebuild an object from the persistent state that its __reduce__ gave (the
// whole state, header included): a new reference, or null with ValueError set
// when the state is not valid.
PyObject* restore_model(std::span<const std::uint8_t> state);
PyObject* restore_counts(std::span<const std::uint8_t> state);

// The checked receiver, or null with TypeError set.
template <class Native>
InstanceOf<Native>* receiver(PyObject* self) {
  PyTypeObject* type = ClassOf<Native>::type();
  if (type == nullptr) {
    PyErr_Print();
    raise_internal_fault(
        (std::string("failed to create type object for ") + ClassOf<Native>::name).c_str());
    return nullptr;
  }
  if (self == nullptr) {
    raise_internal_fault("a method was called without a receiver");
    return nullptr;
  }
  if (!PyType_IsSubtype(Py_TYPE(self), type)) {
    Ref name(PyType_GetName(Py_TYPE(self)));
    if (name) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                   ClassOf<Native>::name);
    }
    return nullptr;
  }
  return reinterpret_cast<InstanceOf<Native>*>(self);
}

// Runs `body` (InstanceOf<Native>& -> PyObject*) for the receiver `self`
// under the borrow `access`, guarded as above.
template <Access access, class Native = OSTRELObject, class Body>
PyObject* entry(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    InstanceOf<Native>* instance = receiver<Native>(self);
    if (instance == nullptr) return nullptr;
    BorrowGuard guard(*instance, access);
    if (!guard) return nullptr;
    return body(*instance);
  });
}

// The state of an object for pickling: (ostrel._restore, (state,)).
PyObject* reduce_to_state(const std::string& state);

}  // namespace ostrel::binding
