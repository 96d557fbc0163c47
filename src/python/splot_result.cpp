#include "splot_result.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "numpy_api.hpp"
#include "parameter_dicts.hpp"
#include "splot_result_object.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace tarnwick::python {
namespace {

// ---- lifecycle ----

int splot_result_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  PySPlotResult* object = as_result(self);
  Py_VISIT(object->yields);
  Py_VISIT(object->yield_errors);
  Py_VISIT(object->covariance);
  Py_VISIT(object->sweights);
  Py_VISIT(object->fit_covariance);
  return 0;
}

int splot_result_clear(PyObject* self) noexcept {
  PySPlotResult* object = as_result(self);
  Py_CLEAR(object->yields);
  Py_CLEAR(object->yield_errors);
  Py_CLEAR(object->covariance);
  Py_CLEAR(object->sweights);
  Py_CLEAR(object->fit_covariance);
  return 0;
}

void splot_result_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  splot_result_clear(self);
  fields_of(self).~ResultFields();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// ---- properties and repr ----

PyObject* get_shape_parameters(PyObject* self, void*) noexcept {
  return parameters_to_python(fields_of(self).shape_parameters).release();
}
PyObject* get_shape_errors(PyObject* self, void*) noexcept {
  return parameters_to_python(fields_of(self).shape_errors).release();
}
PyObject* get_minimum_nll(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(fields_of(self).minimum_nll);
}
PyObject* get_success(PyObject* self, void*) noexcept {
  return PyBool_FromLong(fields_of(self).success ? 1 : 0);
}
PyObject* get_message(PyObject* self, void*) noexcept {
  const std::string& message = fields_of(self).message;
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}
PyObject* get_objective_evaluations(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(fields_of(self).objective_evaluations);
}
PyObject* get_gradient_evaluations(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(fields_of(self).gradient_evaluations);
}
PyObject* get_hessian_evaluations(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(fields_of(self).hessian_evaluations);
}

// The minimum in fixed-point notation with six decimals; inf, -inf, NaN for
// values that are not finite.
std::string six_decimals(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  const int length = std::snprintf(nullptr, 0, "%.6f", value);
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.6f", value);
  return text;
}

PyObject* splot_result_repr(PyObject* self) noexcept {
  try {
    const ResultFields& fields = fields_of(self);
    const std::string text = "SPlotResult(yields=<" + std::to_string(fields.n_components) +
                             " components>, success=" + (fields.success ? "true" : "false") +
                             ", minimum_nll=" + six_decimals(fields.minimum_nll) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

// ---- construction ----

PyRef make_result(PyTypeObject* type, ResultFields&& fields, ResultArrays arrays) noexcept {
  PyRef owned[] = {PyRef::steal(arrays.yields), PyRef::steal(arrays.yield_errors),
                   PyRef::steal(arrays.covariance), PyRef::steal(arrays.sweights),
                   PyRef::steal(arrays.fit_covariance)};
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    return {};
  }
  // The allocator zeroes the object and starts tracking it, so the array
  // fields are null until set and the object is always safe to traverse.
  PySPlotResult* object = as_result(self);
  new (object->fields) ResultFields(std::move(fields));
  object->yields = owned[0].release();
  object->yield_errors = owned[1].release();
  object->covariance = owned[2].release();
  object->sweights = owned[3].release();
  object->fit_covariance = owned[4].release();
  return PyRef::steal(self);
}

namespace {

PyMethodDef splot_result_methods[] = {
    {"__reduce__", splot_result_reduce, METH_NOARGS, "Pickle support."},
    {"_rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splot_result_rebuild)),
     METH_FASTCALL | METH_CLASS, "Private: rebuild a result from its pickled fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef splot_result_members[] = {
    {"yields", Py_T_OBJECT_EX, offsetof(PySPlotResult, yields), Py_READONLY,
     "Fitted component yields, shape (n_components,)."},
    {"yield_errors", Py_T_OBJECT_EX, offsetof(PySPlotResult, yield_errors), Py_READONLY,
     "Yield uncertainties from the full joint covariance, shape (n_components,)."},
    {"covariance", Py_T_OBJECT_EX, offsetof(PySPlotResult, covariance), Py_READONLY,
     "Event-summed sPlot covariance of the yields, shape (n_components, n_components)."},
    {"sweights", Py_T_OBJECT_EX, offsetof(PySPlotResult, sweights), Py_READONLY,
     "Per-event sWeights, shape (n_events, n_components)."},
    {"fit_covariance", Py_T_OBJECT_EX, offsetof(PySPlotResult, fit_covariance), Py_READONLY,
     "Full covariance of the joint fit, yields before shape parameters."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef splot_result_getset[] = {
    {"shape_parameters", get_shape_parameters, nullptr,
     "Fitted shape-parameter values keyed by name.", nullptr},
    {"shape_errors", get_shape_errors, nullptr, "Shape-parameter uncertainties keyed by name.",
     nullptr},
    {"minimum_nll", get_minimum_nll, nullptr, "Minimum joint negative log-likelihood.", nullptr},
    {"success", get_success, nullptr, "Whether the optimizer reported successful convergence.",
     nullptr},
    {"message", get_message, nullptr, "Optimizer termination message.", nullptr},
    {"objective_evaluations", get_objective_evaluations, nullptr,
     "Number of objective-function evaluations.", nullptr},
    {"gradient_evaluations", get_gradient_evaluations, nullptr, "Number of gradient evaluations.",
     nullptr},
    {"hessian_evaluations", get_hessian_evaluations, nullptr, "Number of Hessian evaluations.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kSPlotResultDoc[] =
    "Result of a joint yield-and-shape fit and its sWeight calculation.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "yields : numpy.ndarray\n"
    "    Fitted component yields with shape ``(n_components,)``.\n"
    "yield_errors : numpy.ndarray\n"
    "    Yield uncertainties derived from the full joint covariance, with\n"
    "    shape ``(n_components,)``.\n"
    "covariance : numpy.ndarray\n"
    "    Event-summed sPlot covariance matrix for the fitted yields, with shape\n"
    "    ``(n_components, n_components)``.\n"
    "sweights : numpy.ndarray\n"
    "    Per-event sWeights with shape ``(n_events, n_components)``.\n"
    "shape_parameters : dict[str, float]\n"
    "    Fitted shape-parameter values keyed by parameter name.\n"
    "shape_errors : dict[str, float]\n"
    "    Shape-parameter uncertainties keyed by parameter name.\n"
    "fit_covariance : numpy.ndarray\n"
    "    Full covariance matrix from the joint fit. Yields precede shape\n"
    "    parameters along both axes.\n"
    "minimum_nll : float\n"
    "    Minimum joint negative log-likelihood.\n"
    "success : bool\n"
    "    Whether the optimizer reported successful convergence.\n"
    "message : str\n"
    "    Optimizer termination message.\n"
    "objective_evaluations : int\n"
    "    Number of objective-function evaluations.\n"
    "gradient_evaluations : int\n"
    "    Number of gradient evaluations.\n"
    "hessian_evaluations : int\n"
    "    Number of Hessian evaluations.";

PyType_Slot splot_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(splot_result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(splot_result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(splot_result_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(splot_result_repr)},
    {Py_tp_members, splot_result_members},
    {Py_tp_methods, splot_result_methods},
    {Py_tp_getset, splot_result_getset},
    {Py_tp_doc, const_cast<char*>(kSPlotResultDoc)},
    {0, nullptr},
};

PyType_Spec splot_result_spec = {
    .name = "tarnwick.SPlotResult",
    .basicsize = sizeof(PySPlotResult),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = splot_result_slots,
};

// Checks that a table's values fill its shape; RuntimeError otherwise.
bool check_table(const fit::Table& table) noexcept {
  const std::size_t expected = table.rows * table.cols;
  if (table.values.size() != expected) {
    PyErr_Format(PyExc_RuntimeError, "invalid length: %zu, but expected %zu", table.values.size(),
                 expected);
    return false;
  }
  return true;
}

// A C-ordered two-dimensional float64 array holding a copy of `table`;
// shape (0, 0) for a table without rows; RuntimeError when its values do
// not fill rows × cols.
PyRef matrix_to_numpy(const fit::Table& table) noexcept {
  if (!check_table(table)) {
    return {};
  }
  const std::size_t cols = table.rows == 0 ? 0 : table.cols;
  return numpy::array_from_copy(table.values, {table.rows, cols});
}

}  // namespace

PyObject* make_splot_result_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &splot_result_spec, nullptr);
}

PyRef result_to_python(PyObject* type, fit::SPlotResult&& result) noexcept {
  PyRef covariance = matrix_to_numpy(result.covariance);
  if (!covariance || !check_table(result.sweights)) {
    return {};
  }
  PyRef sweights = numpy::array_from_vector(std::move(result.sweights.values),
                                            {result.sweights.rows, result.sweights.cols});
  if (!sweights) {
    return {};
  }
  PyRef fit_covariance = matrix_to_numpy(result.fit_covariance);
  if (!fit_covariance) {
    return {};
  }
  const std::size_t n_components = result.yields.size();
  PyRef yields = numpy::array_from_vector(std::move(result.yields), {n_components});
  if (!yields) {
    return {};
  }
  const std::size_t n_errors = result.yield_errors.size();
  PyRef yield_errors = numpy::array_from_vector(std::move(result.yield_errors), {n_errors});
  if (!yield_errors) {
    return {};
  }

  ResultFields fields{
      .message = std::move(result.message),
      .shape_parameters = std::move(result.shape_parameters),
      .shape_errors = std::move(result.shape_errors),
      .minimum_nll = result.minimum_nll,
      .objective_evaluations = result.objective_evaluations,
      .gradient_evaluations = result.gradient_evaluations,
      .hessian_evaluations = result.hessian_evaluations,
      .n_components = n_components,
      .success = result.success,
  };
  return make_result(reinterpret_cast<PyTypeObject*>(type), std::move(fields),
                     {yields.release(), yield_errors.release(), covariance.release(),
                      sweights.release(), fit_covariance.release()});
}

}  // namespace tarnwick::python
