// A test-only extension module, _adapter_harness, that exposes one
// PythonParametricPdf to pytest, so that the adapter's cache, checks and
// errors can be exercised call by call rather than only through whole fits.
//
//   Adapter(pdf, data, seed_values, seed_parameters, index=0)
//   adapter.evaluate_batch(parameters) -> numpy array (a copy of the view)
//   adapter.first_invalid(parameters) -> int or None (the density test's verdict)
//   adapter.interrupted -> bool
//   native_densities(model, data, parameters) -> numpy array, the native
//       evaluation of a library model (None when the model, or the model at
//       that point, is not evaluated natively)
//
// An engine error is raised as RuntimeError with its display text.
#include <Python.h>

#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "error_mapping.hpp"
#include "native_model.hpp"
#include "numpy_api.hpp"
#include "pdf_adapter.hpp"
#include "py_ref.hpp"

namespace tarnwick::python::harness {
namespace {

struct PyAdapter {
  PyObject_HEAD
  FitInterruption* interruption;
  PdfExceptionNote* exception_note;
  PythonParametricPdf* adapter;
};

PyAdapter* as_adapter(PyObject* self) { return reinterpret_cast<PyAdapter*>(self); }

bool read_values(PyObject* sequence, std::vector<double>& out) {
  PyRef fast = PyRef::steal(PySequence_Fast(sequence, "expected a sequence of floats"));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[static_cast<std::size_t>(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast.get(), i));
    if (PyErr_Occurred()) return false;
  }
  return true;
}

bool read_map(PyObject* dict, fit::ParameterMap& out) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "expected a dict of floats");
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const char* name = PyUnicode_AsUTF8(key);
    const double number = PyFloat_AsDouble(value);
    if (name == nullptr || PyErr_Occurred()) return false;
    out.insert_or_assign(name, number);
  }
  return true;
}

PyObject* raise_error(const fit::SPlotError& error) {
  const std::string text = fit::to_string(error);
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

PyObject* adapter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    static const char* keywords[] = {"pdf", "data", "seed_values", "seed_parameters", "index",
                                     nullptr};
    PyObject *pdf, *data, *seed_values, *seed_parameters;
    Py_ssize_t index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|n", const_cast<char**>(keywords), &pdf,
                                     &data, &seed_values, &seed_parameters, &index)) {
      return nullptr;
    }
    if (!numpy::is_float64_array(data, 2)) {
      PyErr_SetString(PyExc_TypeError, "data must be a two-dimensional float64 array");
      return nullptr;
    }
    std::vector<double> values;
    fit::ParameterMap parameters;
    if (!read_values(seed_values, values) || !read_map(seed_parameters, parameters)) {
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto interruption = std::make_unique<FitInterruption>();
    auto exception_note = std::make_unique<PdfExceptionNote>();
    auto adapter = std::make_unique<PythonParametricPdf>(
        pdf, data, static_cast<std::size_t>(index), numpy::matrix_view(data).rows,
        std::move(values), std::move(parameters), *interruption, *exception_note);
    as_adapter(self)->interruption = interruption.release();
    as_adapter(self)->exception_note = exception_note.release();
    as_adapter(self)->adapter = adapter.release();
    return self;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void adapter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete as_adapter(self)->adapter;
  delete as_adapter(self)->interruption;
  delete as_adapter(self)->exception_note;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* evaluate_batch(PyObject* self, PyObject* dict) noexcept {
  try {
    fit::ParameterMap parameters;
    if (!read_map(dict, parameters)) return nullptr;
    auto values = as_adapter(self)->adapter->evaluate_batch(fit::EventView(), parameters);
    if (!values) return raise_error(values.error());
    return numpy::array_from_copy(values->values, {values->values.size()}).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* first_invalid(PyObject* self, PyObject* dict) noexcept {
  try {
    fit::ParameterMap parameters;
    if (!read_map(dict, parameters)) return nullptr;
    auto values = as_adapter(self)->adapter->evaluate_batch(fit::EventView(), parameters);
    if (!values) return raise_error(values.error());
    if (!values->first_invalid) Py_RETURN_NONE;
    return PyLong_FromSize_t(*values->first_invalid);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* get_interrupted(PyObject* self, void*) noexcept {
  return PyBool_FromLong(as_adapter(self)->interruption->pending() ? 1 : 0);
}

PyMethodDef adapter_methods[] = {
    {"evaluate_batch", evaluate_batch, METH_O, nullptr},
    {"first_invalid", first_invalid, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef adapter_getset[] = {
    {"interrupted", get_interrupted, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot adapter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(adapter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(adapter_dealloc)},
    {Py_tp_methods, adapter_methods},
    {Py_tp_getset, adapter_getset},
    {0, nullptr},
};

PyType_Spec adapter_spec = {
    .name = "_adapter_harness.Adapter",
    .basicsize = sizeof(PyAdapter),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = adapter_slots,
};

int exec_harness(PyObject* module) noexcept {
  if (numpy::import_api() < 0) return -1;
  PyObject* type = PyType_FromModuleAndSpec(module, &adapter_spec, nullptr);
  if (type == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "Adapter", type);
  Py_DECREF(type);
  return status;
}

PyObject* native_densities(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    if (nargs != 3 || !numpy::is_float64_array(args[1], 2)) {
      PyErr_SetString(PyExc_TypeError, "native_densities(model, data, parameters)");
      return nullptr;
    }
    const numpy::MatrixView view = numpy::matrix_view(args[1]);
    const fit::EventView events(view.data, view.rows, view.cols, view.row_stride,
                                view.col_stride);
    auto model = read_native_model(args[0], events.width());
    if (!model) Py_RETURN_NONE;
    fit::ParameterMap parameters;
    if (!read_map(args[2], parameters)) return nullptr;
    std::vector<double> resolved;
    for (const fit::NativeParameter& parameter : model->parameters) {
      resolved.push_back(parameter.name.empty() ? parameter.fixed : parameters[parameter.name]);
    }
    if (!fit::evaluates_natively(*model, resolved)) Py_RETURN_NONE;
    // Seeded at no point, so that the call computes.
    fit::NativeModelPdf pdf(std::move(*model), events, {}, {{"", NAN}});
    auto values = pdf.evaluate_batch(events, parameters);
    if (!values) return raise_error(values.error());
    return numpy::array_from_copy(values->values, {values->values.size()}).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef harness_methods[] = {
    {"native_densities", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_densities)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot harness_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_harness)},
    {0, nullptr},
};

PyModuleDef harness_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_adapter_harness",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = harness_methods,
    .m_slots = harness_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tarnwick::python::harness

PyMODINIT_FUNC PyInit__adapter_harness() {
  return PyModuleDef_Init(&tarnwick::python::harness::harness_def);
}
