// An owning handle for one Python reference.
//
// Every reference that the module takes is held by a PyRef, so that each
// return path, including an unwinding C++ exception, gives it back. A handle
// is made from a new reference with `steal` or from a borrowed one with
// `borrow` (which takes a reference of its own); `release` hands the
// reference over to the caller, for example as a function's return value.
// Destroying a non-empty handle requires the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick::python {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference; `object` may be null (an empty handle).
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a reference of its own to a borrowed object; `object` may be null.
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives the reference to the caller and leaves the handle empty.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace tarnwick::python
