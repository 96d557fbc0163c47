// The Python class SPlotResult, built from the fit driver's result record.
#pragma once

#include <Python.h>

#include "fit/splot_result.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// Makes the heap type tarnwick.SPlotResult (final, without instance dict,
// not instantiable from Python) for `module`. Null with an exception set on
// failure.
[[nodiscard]] PyObject* make_splot_result_type(PyObject* module) noexcept;

// Consumes `result` into a new SPlotResult object of type `type`. The small
// matrices are copied; the yields, the yield errors and the sWeights hand
// their memory to their arrays without a copy. Empty with an exception set on
// failure, in which case nothing of the result is kept.
[[nodiscard]] PyRef result_to_python(PyObject* type, fit::SPlotResult&& result) noexcept;

}  // namespace tarnwick::python
