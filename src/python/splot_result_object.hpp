// The object behind tarnwick.SPlotResult, shared by the type and its pickle
// support: its layout, its construction, and the pickle methods.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <string>

#include "py_ref.hpp"

namespace tarnwick::python {

// The plain C++ part of a result, kept in raw storage inside the object so
// that the object struct stays standard-layout (its array fields are read
// through member descriptors, which need their offsets).
struct ResultFields {
  std::string message;
  std::map<std::string, double> shape_parameters;
  std::map<std::string, double> shape_errors;
  double minimum_nll = 0.0;
  std::uint64_t objective_evaluations = 0;
  std::uint64_t gradient_evaluations = 0;
  std::uint64_t hessian_evaluations = 0;
  std::size_t n_components = 0;
  bool success = false;
};

struct PySPlotResult {
  PyObject_HEAD
  PyObject* yields;
  PyObject* yield_errors;
  PyObject* covariance;
  PyObject* sweights;
  PyObject* fit_covariance;
  // A ResultFields, built by placement new when the object is made and
  // destroyed in dealloc.
  alignas(ResultFields) unsigned char fields[sizeof(ResultFields)];
};

inline PySPlotResult* as_result(PyObject* self) noexcept {
  return reinterpret_cast<PySPlotResult*>(self);
}

inline ResultFields& fields_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<ResultFields*>(as_result(self)->fields));
}

// The five array fields in declaration order, as new references.
struct ResultArrays {
  PyObject* yields;
  PyObject* yield_errors;
  PyObject* covariance;
  PyObject* sweights;
  PyObject* fit_covariance;
};

// A new result of `type` holding `fields` and taking over the references in
// `arrays` (also on failure). Empty with an exception set on failure.
[[nodiscard]] PyRef make_result(PyTypeObject* type, ResultFields&& fields,
                                ResultArrays arrays) noexcept;

// __reduce__: the result as a call of the classmethod _rebuild with its
// fields in pickle order.
PyObject* splot_result_reduce(PyObject* self, PyObject*) noexcept;
// _rebuild(*fields): a new result with copies of the pickled fields; the
// dimensions and the dict types are checked, so that a tampered pickle
// raises instead of making a result that breaks later.
PyObject* splot_result_rebuild(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace tarnwick::python
