// The arguments of splot: their binding to the parameter list, their
// conversion to C++ values and owned references, and the weights' copy.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "module_state.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

constexpr std::uint64_t kDefaultMaxSteps = 1000;
constexpr double kDefaultTolerance = 1e-8;

// The weights as converted: either an array still to be copied (checked for
// alignment and contiguity at that point), or values read item by item.
using Weights = std::variant<PyRef, std::vector<double>>;

// The arguments after conversion, in parameter order.
struct SPlotArguments {
  PyRef data;  // a two-dimensional float64 array
  std::vector<PyRef> pdfs;
  std::vector<PyRef> shape_parameters;
  std::optional<std::vector<double>> initial_yields;
  std::optional<Weights> weights;
  std::optional<std::uint64_t> max_steps = kDefaultMaxSteps;
  double tolerance = kDefaultTolerance;
};

// Binds the call's arguments to splot's parameters and converts them in
// parameter order. Returns false with the exception raised on the first
// failure; a conversion failure carries the note naming its parameter.
[[nodiscard]] bool convert_splot_arguments(PyObject* const* args, std::size_t nargs,
                                           PyObject* kwnames, const ModuleState& state,
                                           SPlotArguments& out);

// The weights as a vector; an array must be aligned and contiguous unless
// it is empty, else TypeError with a note naming the copy to pass instead.
// Returns false with the exception raised.
[[nodiscard]] bool weights_to_vector(Weights& weights, std::vector<double>& out);

}  // namespace tarnwick::python
