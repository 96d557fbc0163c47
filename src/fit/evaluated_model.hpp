// The PDF values of all components at one shape-parameter point.
//
// The model is a view: the values are the PDFs' own output buffers and the
// weights are the likelihood's, so that the sPlot step adds no table of
// n_events × n_components values of its own to the peak memory of a fit.
// A model stays valid until one of its PDFs is evaluated again or the
// weights it views are released; the fit driver evaluates no PDF after it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tarnwick::fit {

struct EvaluatedModel {
  // pdf_values[k][i] is the value of PDF k for event i.
  std::vector<std::span<const double>> pdf_values;
  std::span<const double> event_weights;  // one per event
  std::size_t n_events = 0;
  std::size_t n_components = 0;

  [[nodiscard]] double value(std::size_t event, std::size_t component) const {
    return pdf_values[component][event];
  }
};

}  // namespace tarnwick::fit
