// The interface through which the engine evaluates one component density.
#pragma once

#include <expected>
#include <map>
#include <span>
#include <string>

#include "fit/event_table.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::fit {

// Shape-parameter values by name, ordered byte-wise by name. It always holds
// every shape parameter of the fit, and is empty when there are none.
using ParameterMap = std::map<std::string, double>;

class ParametricPdf {
 public:
  virtual ~ParametricPdf() = default;

  // The density of one event (one row of the event table).
  [[nodiscard]] virtual std::expected<double, SPlotError> evaluate(
      std::span<const double> event, const ParameterMap& parameters) = 0;

  // One density per event of `events`, in event order. The returned view is
  // owned by the PDF and stays valid until the next call of `evaluate` or
  // `evaluate_batch` on the same object; implementations reuse their buffers
  // from call to call instead of allocating a vector per evaluation.
  [[nodiscard]] virtual std::expected<std::span<const double>, SPlotError> evaluate_batch(
      const EventTable& events, const ParameterMap& parameters) = 0;
};

}  // namespace tarnwick::fit
