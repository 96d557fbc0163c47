// The Python class ShapeParameter: one named shape parameter with an
// initial value and inclusive bounds, as the caller declares it.
//
// Construction records the four values without judging them; `to_record`
// is the checked conversion into the fit engine's record, made by splot.
#pragma once

#include <Python.h>

#include <expected>
#include <string>

#include "fit/shape_parameter.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::python {

// Makes the heap type tarnwick.ShapeParameter (final, without instance
// dict) for `module`. Null with an exception set on failure.
[[nodiscard]] PyObject* make_shape_parameter_type(PyObject* module) noexcept;

// True when `object` is an instance of the ShapeParameter type `type`.
[[nodiscard]] bool is_shape_parameter(PyObject* object, PyObject* type) noexcept;

// The checked conversion of a ShapeParameter instance into the fit engine's
// record: the name is copied, then the four tests of
// fit::make_shape_parameter run, the first failure (InvalidInput) winning.
// May throw std::bad_alloc.
[[nodiscard]] std::expected<fit::ShapeParameter, fit::SPlotError> to_record(PyObject* object);

// The name of a ShapeParameter instance as its repr writes it, a
// double-quoted literal (name_literal). May throw std::bad_alloc.
[[nodiscard]] std::string printed_name(PyObject* object);

}  // namespace tarnwick::python
