// The Python class ShapeParameter: one named shape parameter with an
// initial value and inclusive bounds, as the caller declares it.
//
// Construction records the four values without judging them; `to_records`
// is the checked conversion into the fit engine's records, made by splot.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "fit/shape_parameter.hpp"
#include "fit/splot_error.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// Makes the heap type tarnwick.ShapeParameter (final, without instance
// dict) for `module`. Null with an exception set on failure.
[[nodiscard]] PyObject* make_shape_parameter_type(PyObject* module) noexcept;

// True when `object` is an instance of the ShapeParameter type `type`.
[[nodiscard]] bool is_shape_parameter(PyObject* object, PyObject* type) noexcept;

// The checked conversion of ShapeParameter instances into the fit engine's
// records, in order: for each, the name is copied, then the four tests of
// fit::make_shape_parameter run, the first failure (InvalidInput) winning.
// Returns the records, or nullopt with the first failure raised (as
// raise_fit_error does) and the note "while processing shape parameter
// <name> (shape_parameters[<position>])", the name as the repr writes it.
// May throw std::bad_alloc.
[[nodiscard]] std::optional<std::vector<fit::ShapeParameter>> to_records(
    std::span<const PyRef> objects);

}  // namespace tarnwick::python
