#pragma once
// An owned reference to an interpreter object, released when the holder goes
// out of scope. Every new reference the binding receives lives in one of these
// from the moment it is created, so no path can leak it.

#include <Python.h>

#include <utility>

namespace ostrel::binding {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over `owned`, a new reference or null.
  explicit Ref(PyObject* owned) noexcept : object_(owned) {}
  // A new reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(object_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace ostrel::binding
