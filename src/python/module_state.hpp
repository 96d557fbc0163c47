// The per-module state: the module's own heap types, which splot needs to
// recognise ShapeParameter arguments and to make its SPlotResult.
#pragma once

#include <Python.h>

namespace tarnwick::python {

struct ModuleState {
  PyObject* shape_parameter_type;  // strong reference, set by the exec slot
  PyObject* splot_result_type;     // strong reference, set by the exec slot
};

// The state of a tarnwick module object.
[[nodiscard]] ModuleState& module_state(PyObject* module) noexcept;

}  // namespace tarnwick::python
