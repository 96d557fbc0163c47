// The fit driver: one whole sPlot fit, from validated inputs to sWeights.
#pragma once

#include <expected>
#include <span>

#include "fit/event_view.hpp"
#include "fit/parametric_pdf.hpp"
#include "fit/shape_parameter.hpp"
#include "fit/splot_config.hpp"
#include "fit/splot_error.hpp"
#include "fit/splot_result.hpp"

namespace tarnwick::fit {

// Validates the inputs, fits the yields and the shape parameters jointly by
// extended maximum likelihood, then computes the sPlot covariance and the
// sWeights at the fitted point. The events, the PDFs (borrowed, in component
// order) and the shape parameters are only read. A fit that stops without
// converging is not an error: its result has `success` false. May throw
// std::bad_alloc when memory runs out; nothing else is thrown.
[[nodiscard]] std::expected<SPlotResult, SPlotError> splot(
    const EventView& events, std::span<ParametricPdf* const> pdfs,
    std::span<const ShapeParameter> shape_parameters, SPlotConfig config);

}  // namespace tarnwick::fit
