#pragma once
// The one pattern every method, property and slot of OSTREL goes through:
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
#include "model.hpp"
#include "py_ref.hpp"

namespace ostrel::binding {

// The layout of an OSTREL instance: the interpreter's header, the native
// model state, then the borrow flag.
// The state is constructed in place when the object is made and destroyed in
// the deallocator; the storage keeps the struct standard-layout, so a pointer
// to the header is a pointer to the instance.
struct Instance {
  PyObject_HEAD alignas(OSTRELObject) unsigned char storage[sizeof(OSTRELObject)];
  // 0: free; n: n shared borrows; EXCLUSIVE: held by fit.
  std::uint64_t borrow;
  // Binding state of the object: constructed and destroyed with the model.
  alignas(ExporterCache) unsigned char exporter_storage[sizeof(ExporterCache)];

  OSTRELObject& state() noexcept { return *std::launder(reinterpret_cast<OSTRELObject*>(storage)); }
  ExporterCache& exporters() noexcept {
    return *std::launder(reinterpret_cast<ExporterCache*>(exporter_storage));
  }
};

inline constexpr std::uint64_t EXCLUSIVE = ~std::uint64_t{0};

enum class Access { Shared, Exclusive };

// The class object, created once per process; null with the interpreter's
// error set when it cannot be created.
PyTypeObject* ostrel_type();
// The exception type for internal faults (derived from BaseException).
PyObject* internal_fault_type();

// Raises the internal-fault exception with `message`.
void raise_internal_fault(const char* message);

// Raises the exception of a model error: ValueError, RuntimeError or KeyError.
void raise_model_error(const ModelError& error);

// Holds a borrow of one instance for the length of a call.
class BorrowGuard {
 public:
  BorrowGuard(Instance& instance, Access access) noexcept : flag_(instance.borrow) {
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
// bytes after the header's kind byte are the caller's to read): a new
// reference, or null with ValueError set when the state is not valid.
PyObject* restore_model(std::span<const std::uint8_t> state);

// The checked receiver, or null with TypeError set.
Instance* receiver(PyObject* self);

// Runs `body` (Instance& -> PyObject*) for the receiver `self` under the
// borrow `access`, guarded as above.
template <Access access, class Body>
PyObject* entry(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Instance* instance = receiver(self);
    if (instance == nullptr) return nullptr;
    BorrowGuard guard(*instance, access);
    if (!guard) return nullptr;
    return body(*instance);
  });
}

}  // namespace ostrel::binding
