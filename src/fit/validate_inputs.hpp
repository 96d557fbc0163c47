// The first step of every fit: rejects unusable input before any PDF is
// called, and derives the effective event weights and the initial yields.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/shape_parameter.hpp"
#include "fit/splot_config.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::fit {

struct ValidatedInputs {
  std::vector<double> event_weights;   // one per event
  std::vector<double> initial_yields;  // one per PDF
};

// Checks, in this order, each failure an InvalidInput: events present, at
// least one PDF, a nonzero event width, finite coordinates, max_steps
// positive, tolerance finite and positive, the weights' length and
// finiteness, unique shape-parameter names, and initial yields (given, or by
// default n_pdfs copies of Σw / n_pdfs) of the right length, finite,
// nonnegative and with a positive sum.
[[nodiscard]] std::expected<ValidatedInputs, SPlotError> validate_inputs(
    const EventView& events, std::size_t n_pdfs, std::span<const ShapeParameter> shape_parameters,
    const SPlotConfig& config);

}  // namespace tarnwick::fit
