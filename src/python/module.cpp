// The extension module tarnwick: its definition, its state and the exec slot
// that fills a new module object.
#include <Python.h>

#include "error_mapping.hpp"
#include "module_state.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "python/native_model.hpp"
#include "python/shape_parameter.hpp"
#include "python/splot.hpp"
#include "python/splot_result.hpp"

namespace tarnwick::python {

ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

namespace {

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute. Takes over `value`, a new reference that may be null when
// making it failed. Returns -1 with an exception set on failure.
int add_public(PyObject* module, const char* name, PyObject* value) noexcept {
  PyRef object = PyRef::steal(value);
  if (!object) {
    return -1;
  }
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return -1;
    }
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return -1;
    }
  }
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  if (!entry || PyList_Append(all.get(), entry.get()) < 0) {
    return -1;
  }
  return PyObject_SetAttrString(module, name, object.get());
}

int exec_module(PyObject* module) noexcept {
  if (numpy::import_api() < 0) {
    return -1;
  }
  ModuleState& state = module_state(module);
  state.shape_parameter_type = make_shape_parameter_type(module);
  if (add_public(module, "ShapeParameter", Py_XNewRef(state.shape_parameter_type)) < 0) {
    return -1;
  }
  state.splot_result_type = make_splot_result_type(module);
  if (add_public(module, "SPlotResult", Py_XNewRef(state.splot_result_type)) < 0) {
    return -1;
  }
  if (add_public(module, "splot", make_splot_function(module)) < 0) {
    return -1;
  }
  if (add_public(module, "SPlotError", Py_XNewRef(splot_error_type())) < 0) {
    return -1;
  }
  // The count of native model evaluations and a model's native densities,
  // for tests; not part of __all__.
  PyRef native_evaluations = PyRef::steal(make_native_evaluations_function(module));
  PyRef native_densities = PyRef::steal(make_native_densities_function(module));
  if (!native_evaluations || !native_densities ||
      PyModule_AddObjectRef(module, "_native_model_evaluations", native_evaluations.get()) < 0 ||
      PyModule_AddObjectRef(module, "_native_densities", native_densities.get()) < 0) {
    return -1;
  }
  // The project's version, given by the build; not part of __all__.
  return PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
  ModuleState& state = module_state(module);
  Py_VISIT(state.shape_parameter_type);
  Py_VISIT(state.splot_result_type);
  return 0;
}

int clear_module(PyObject* module) noexcept {
  ModuleState& state = module_state(module);
  Py_CLEAR(state.shape_parameter_type);
  Py_CLEAR(state.splot_result_type);
  return 0;
}

void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = "Joint extended-likelihood fitting and sWeight calculation.",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace
}  // namespace tarnwick::python

PyMODINIT_FUNC PyInit_tarnwick() { return PyModuleDef_Init(&tarnwick::python::module_def); }
