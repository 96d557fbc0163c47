// The module function splot: the checks that must precede the PDF probe,
// the probe, the fit, and the conversion of its outcome into an SPlotResult
// or an exception (its arguments are converted by splot_arguments.hpp).
#pragma once

#include <Python.h>

namespace tarnwick::python {

// A new builtin function object `splot`, bound to `module` (its self) and
// reporting the module's name as its __module__. Null with an exception set
// on failure.
[[nodiscard]] PyObject* make_splot_function(PyObject* module) noexcept;

}  // namespace tarnwick::python
