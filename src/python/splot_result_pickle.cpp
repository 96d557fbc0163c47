// SPlotResult's pickle support: __reduce__ and the classmethod _rebuild.
#include "splot_result_object.hpp"

#include <cstdint>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "numpy_api.hpp"

namespace tarnwick::python {
namespace {

// ---- pickling ----
//
// A result pickles as a call of the private classmethod _rebuild with its
// fields in the order of kRebuildFields. _rebuild copies every array into a
// new C-ordered float64 array, so a rebuilt result owns its arrays as one
// made by splot does, and it checks the dimensions, the dict types and that
// the fields agree with each other, so that a tampered pickle raises instead
// of making a result that breaks later.

constexpr const char* kRebuildFields[] = {
    "yields",
    "yield_errors",
    "covariance",
    "sweights",
    "fit_covariance",
    "shape_parameters",
    "shape_errors",
    "minimum_nll",
    "success",
    "message",
    "objective_evaluations",
    "gradient_evaluations",
    "hessian_evaluations",
};
constexpr std::size_t kRebuildFieldCount = std::size(kRebuildFields);

// The array fields, first in pickle order, with their dimensions.
struct ArrayField {
  const char* name;
  int ndim;
};
constexpr ArrayField kArrayFields[] = {
    {"yields", 1}, {"yield_errors", 1}, {"covariance", 2}, {"sweights", 2}, {"fit_covariance", 2},
};

// A new C-ordered float64 copy of `object` (anything NumPy converts), which
// must have `ndim` dimensions. Empty with ValueError (or NumPy's error) set
// otherwise.
PyRef copy_float64_array(PyObject* object, const ArrayField& field) {
  PyRef array = numpy::copy_to_float64_array(object);
  if (array && numpy::ndim(array.get()) != field.ndim) {
    PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s)", field.name, field.ndim);
    return {};
  }
  return array;
}

// Fills `map` from a dict of str to float; TypeError (or the conversion's
// error) otherwise.
bool dict_to_map(PyObject* dict, const char* name, std::map<std::string, double>& map) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "%s must be a dict", name);
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s keys must be str", name);
      return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    const double number = PyFloat_AsDouble(value);
    if (text == nullptr || (number == -1.0 && PyErr_Occurred())) {
      return false;
    }
    map.insert_or_assign(std::string(text, static_cast<std::size_t>(length)), number);
  }
  return true;
}

// Checks that the shapes agree as in a result made by splot, with n the
// length of the yields and p the number of shape parameters: yield_errors
// n, covariance n × n, sweights n columns, shape_errors the names of
// shape_parameters, fit_covariance (n + p) × (n + p). ValueError naming
// the first field that disagrees otherwise.
bool check_consistency(const PyRef (&arrays)[std::size(kArrayFields)],
                       const ResultFields& fields) {
  const std::size_t n = fields.n_components;
  const std::size_t n_errors = numpy::vector_view(arrays[1].get()).length;
  if (n_errors != n) {
    PyErr_Format(PyExc_ValueError, "yield_errors has %zu entries, expected %zu (one per yield)",
                 n_errors, n);
    return false;
  }
  const numpy::MatrixView covariance = numpy::matrix_view(arrays[2].get());
  if (covariance.rows != n || covariance.cols != n) {
    PyErr_Format(PyExc_ValueError,
                 "covariance has shape (%zu, %zu), expected (%zu, %zu) for %zu yields",
                 covariance.rows, covariance.cols, n, n, n);
    return false;
  }
  const numpy::MatrixView sweights = numpy::matrix_view(arrays[3].get());
  if (sweights.cols != n) {
    PyErr_Format(PyExc_ValueError, "sweights has %zu columns, expected %zu (one per yield)",
                 sweights.cols, n);
    return false;
  }
  const auto& shape = fields.shape_parameters;
  const auto& errors = fields.shape_errors;
  if (errors.size() != shape.size()) {
    PyErr_Format(PyExc_ValueError,
                 "shape_errors has %zu entries, expected %zu (one per shape parameter)",
                 errors.size(), shape.size());
    return false;
  }
  for (const auto& [name, error] : errors) {
    if (!shape.contains(name)) {
      PyErr_Format(PyExc_ValueError, "shape_errors names '%s', which is not a shape parameter",
                   name.c_str());
      return false;
    }
  }
  const std::size_t n_fit = n + shape.size();
  const numpy::MatrixView fit_covariance = numpy::matrix_view(arrays[4].get());
  if (fit_covariance.rows != n_fit || fit_covariance.cols != n_fit) {
    PyErr_Format(PyExc_ValueError,
                 "fit_covariance has shape (%zu, %zu), expected (%zu, %zu) for %zu yields and "
                 "%zu shape parameter(s)",
                 fit_covariance.rows, fit_covariance.cols, n_fit, n_fit, n, shape.size());
    return false;
  }
  return true;
}

bool to_count(PyObject* object, std::uint64_t& count) noexcept {
  count = PyLong_AsUnsignedLongLong(object);
  return !(count == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

PyRef rebuild_result(PyTypeObject* type, PyObject* const* args) {
  PyRef arrays[std::size(kArrayFields)];
  for (std::size_t i = 0; i < std::size(kArrayFields); ++i) {
    arrays[i] = copy_float64_array(args[i], kArrayFields[i]);
    if (!arrays[i]) {
      return {};
    }
  }
  ResultFields fields;
  fields.n_components = numpy::vector_view(arrays[0].get()).length;
  if (!dict_to_map(args[5], "shape_parameters", fields.shape_parameters) ||
      !dict_to_map(args[6], "shape_errors", fields.shape_errors) ||
      !check_consistency(arrays, fields)) {
    return {};
  }
  fields.minimum_nll = PyFloat_AsDouble(args[7]);
  if (fields.minimum_nll == -1.0 && PyErr_Occurred()) {
    return {};
  }
  const int success = PyObject_IsTrue(args[8]);
  if (success < 0) {
    return {};
  }
  fields.success = success == 1;
  if (!PyUnicode_Check(args[9])) {
    PyErr_SetString(PyExc_TypeError, "message must be a str");
    return {};
  }
  Py_ssize_t length = 0;
  const char* message = PyUnicode_AsUTF8AndSize(args[9], &length);
  if (message == nullptr || !to_count(args[10], fields.objective_evaluations) ||
      !to_count(args[11], fields.gradient_evaluations) ||
      !to_count(args[12], fields.hessian_evaluations)) {
    return {};
  }
  fields.message.assign(message, static_cast<std::size_t>(length));
  return make_result(type, std::move(fields),
                     {arrays[0].release(), arrays[1].release(), arrays[2].release(),
                      arrays[3].release(), arrays[4].release()});
}

}  // namespace

PyObject* splot_result_reduce(PyObject* self, PyObject*) noexcept {
  PyRef rebuild = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild"));
  PyRef state = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kRebuildFieldCount)));
  if (!rebuild || !state) {
    return nullptr;
  }
  for (std::size_t i = 0; i < kRebuildFieldCount; ++i) {
    PyObject* value = PyObject_GetAttrString(self, kRebuildFields[i]);
    if (value == nullptr) {
      return nullptr;
    }
    PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), value);
  }
  return PyTuple_Pack(2, rebuild.get(), state.get());
}

PyObject* splot_result_rebuild(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != static_cast<Py_ssize_t>(kRebuildFieldCount)) {
    PyErr_Format(PyExc_TypeError, "_rebuild takes %zu arguments (%zd given)",
                 kRebuildFieldCount, nargs);
    return nullptr;
  }
  try {
    return rebuild_result(reinterpret_cast<PyTypeObject*>(cls), args).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tarnwick::python
