// tarnwick._native_densities(model, data, parameters): the densities of a
// library model at one point as the engine computes them natively, or None
// when the model (or the model at that point) takes the Python path. For
// tests that compare the native evaluation with the model's own.
#include <Python.h>

#include <cmath>
#include <new>
#include <utility>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/native_model_pdf.hpp"
#include "fit/splot_error.hpp"
#include "native_model.hpp"
#include "numpy_api.hpp"
#include "module_function.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {
namespace {

// `dict` (str to float) as a point; false with an exception set otherwise.
bool read_point(PyObject* dict, fit::ParameterMap& out) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "parameters must be a dict of str to float");
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "parameter names must be str");
      return false;
    }
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return false;
    out.insert_or_assign(name, number);
  }
  return true;
}

PyObject* densities(PyObject* model, PyObject* data, PyObject* point) {
  if (!numpy::is_float64_array(data, 2)) {
    PyErr_SetString(PyExc_TypeError, "data must be a two-dimensional float64 NumPy array");
    return nullptr;
  }
  const numpy::MatrixView view = numpy::matrix_view(data);
  const fit::EventView events(view.data, view.rows, view.cols, view.row_stride, view.col_stride);
  auto description = read_native_model(model, events.width());
  if (!description) Py_RETURN_NONE;
  fit::ParameterMap parameters;
  if (!read_point(point, parameters)) return nullptr;
  std::vector<double> resolved;
  std::vector<const fit::NativeParameter*> flat;
  fit::parameters_in_preorder(*description, flat);
  for (const fit::NativeParameter* entry : flat) {
    const fit::NativeParameter& parameter = *entry;
    if (parameter.name.empty()) {
      resolved.push_back(parameter.fixed);
      continue;
    }
    const auto found = parameters.find(parameter.name);
    if (found == parameters.end()) {
      PyErr_Format(PyExc_KeyError, "%s", parameter.name.c_str());
      return nullptr;
    }
    resolved.push_back(found->second);
  }
  // Where the check is undecided or the arithmetic not reproduced, the
  // model takes the Python path; an invalid value is reported below.
  const fit::NativeCheck check = fit::native_model_check(*description, resolved);
  if (check.verdict == fit::NativeCheck::Verdict::kUndecided) Py_RETURN_NONE;
  if (check.verdict == fit::NativeCheck::Verdict::kValid &&
      !fit::evaluates_natively(*description, resolved)) {
    Py_RETURN_NONE;
  }
  // Seeded at no point, so that the call computes.
  fit::NativeModelPdf pdf(std::move(*description), events, {}, {{"", NAN}});
  auto values = pdf.evaluate_batch(events, parameters);
  if (!values) {
    PyErr_SetString(PyExc_ValueError, fit::to_string(values.error()).c_str());
    return nullptr;
  }
  return numpy::array_from_copy(values->values, {values->values.size()}).release();
}

PyObject* native_densities_entry(PyObject* /*module*/, PyObject* const* args,
                                 Py_ssize_t nargs) noexcept {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_native_densities(model, data, parameters)");
    return nullptr;
  }
  try {
    return densities(args[0], args[1], args[2]);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef native_densities_method = {
    "_native_densities",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_densities_entry)),
    METH_FASTCALL,
    "_native_densities(model, data, parameters)\n--\n\n"
    "The densities of a library model at one point as splot computes them\n"
    "without calling Python, or None when the model takes the Python path."};

}  // namespace

PyObject* make_native_densities_function(PyObject* module) noexcept {
  return make_module_function(&native_densities_method, module);
}

}  // namespace tarnwick::python
