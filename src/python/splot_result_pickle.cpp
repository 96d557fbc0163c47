// SPlotResult's pickle support: __reduce__ and the classmethod _rebuild.
#include "splot_result_object.hpp"

#include <cstdint>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "numpy_api.hpp"

namespace tarnwick::python {
namespace {

// ---- pickling ----
//
// A result pickles as a call of the private classmethod _rebuild with its
// fields in the order of kResultFields. _rebuild copies every array into a
// new C-ordered float64 array, so a rebuilt result owns its arrays as one
// made by splot does, and it checks the dimensions, the dict types and that
// the fields agree with each other, so that a tampered pickle raises instead
// of making a result that breaks later.

// A new C-ordered float64 copy of `object` (anything NumPy converts), which
// must have `ndim` dimensions. Empty with ValueError (or NumPy's error) set
// otherwise.
PyRef copy_float64_array(PyObject* object, const char* name, int ndim) {
  PyRef array = numpy::copy_to_float64_array(object);
  if (array && numpy::ndim(array.get()) != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s)", name, ndim);
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
bool check_consistency(const ResultArrays& arrays, const ResultFields& fields) {
  const std::size_t n = fields.n_components;
  const std::size_t n_errors = numpy::vector_view(array_of(arrays, ArrayField::YieldErrors)).length;
  if (n_errors != n) {
    PyErr_Format(PyExc_ValueError, "yield_errors has %zu entries, expected %zu (one per yield)",
                 n_errors, n);
    return false;
  }
  const numpy::MatrixView covariance = numpy::matrix_view(array_of(arrays, ArrayField::Covariance));
  if (covariance.rows != n || covariance.cols != n) {
    PyErr_Format(PyExc_ValueError,
                 "covariance has shape (%zu, %zu), expected (%zu, %zu) for %zu yields",
                 covariance.rows, covariance.cols, n, n, n);
    return false;
  }
  const numpy::MatrixView sweights = numpy::matrix_view(array_of(arrays, ArrayField::Sweights));
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
  const numpy::MatrixView fit_covariance = numpy::matrix_view(array_of(arrays, ArrayField::FitCovariance));
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

// Reads the pickled value `object` of `field` into `arrays` or `fields`.
// Empty with an exception set when it has the wrong type or dimensions.
bool read_field(const ResultField& field, PyObject* object, ResultArrays& arrays,
                ResultFields& fields) {
  return std::visit(
      [&]<typename Slot>(const Slot& slot) -> bool {
        if constexpr (std::is_same_v<Slot, ArraySlot>) {
          arrays[index_of(slot.field)] = copy_float64_array(object, field.name, slot.ndim);
          return static_cast<bool>(arrays[index_of(slot.field)]);
        } else {
          auto& value = fields.*slot;
          using Value = std::remove_cvref_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, double>) {
            value = PyFloat_AsDouble(object);
            return !(value == -1.0 && PyErr_Occurred());
          } else if constexpr (std::is_same_v<Value, bool>) {
            const int truth = PyObject_IsTrue(object);
            value = truth == 1;
            return truth >= 0;
          } else if constexpr (std::is_same_v<Value, std::string>) {
            if (!PyUnicode_Check(object)) {
              PyErr_Format(PyExc_TypeError, "%s must be a str", field.name);
              return false;
            }
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(object, &length);
            if (text != nullptr) {
              value.assign(text, static_cast<std::size_t>(length));
            }
            return text != nullptr;
          } else if constexpr (std::is_same_v<Value, std::uint64_t>) {
            return to_count(object, value);
          } else {
            return dict_to_map(object, field.name, value);
          }
        }
      },
      field.slot);
}

// Whether `field` takes part in the consistency check: the arrays and the
// dicts.
constexpr bool is_shape_field(const ResultField& field) {
  return std::holds_alternative<ArraySlot>(field.slot) ||
         std::holds_alternative<std::map<std::string, double> ResultFields::*>(field.slot);
}

// The arrays and dicts are read first and checked against each other, then
// the scalars, each group in table order.
PyRef rebuild_result(PyTypeObject* type, PyObject* const* args) {
  ResultArrays arrays;
  ResultFields fields;
  for (const bool shape : {true, false}) {
    for (std::size_t i = 0; i < kResultFieldCount; ++i) {
      if (is_shape_field(kResultFields[i]) == shape &&
          !read_field(kResultFields[i], args[i], arrays, fields)) {
        return {};
      }
    }
    if (shape) {
      fields.n_components = numpy::vector_view(array_of(arrays, ArrayField::Yields)).length;
      if (!check_consistency(arrays, fields)) {
        return {};
      }
    }
  }
  return make_result(type, std::move(fields), std::move(arrays));
}

}  // namespace

PyObject* splot_result_reduce(PyObject* self, PyObject*) noexcept {
  PyRef rebuild = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild"));
  PyRef state = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kResultFieldCount)));
  if (!rebuild || !state) {
    return nullptr;
  }
  for (std::size_t i = 0; i < kResultFieldCount; ++i) {
    PyObject* value = PyObject_GetAttrString(self, kResultFields[i].name);
    if (value == nullptr) {
      return nullptr;
    }
    PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), value);
  }
  return PyTuple_Pack(2, rebuild.get(), state.get());
}

PyObject* splot_result_rebuild(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != static_cast<Py_ssize_t>(kResultFieldCount)) {
    PyErr_Format(PyExc_TypeError, "_rebuild takes %zu arguments (%zd given)",
                 kResultFieldCount, nargs);
    return nullptr;
  }
  try {
    return rebuild_result(reinterpret_cast<PyTypeObject*>(cls), args).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tarnwick::python
