// The PDF values of all components at one shape-parameter point.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwick::fit {

struct EvaluatedModel {
  // Entry (i, k), the value of PDF k for event i, at i * n_components + k.
  std::vector<double> pdf_values;
  std::vector<double> event_weights;  // own copy, one per event
  std::size_t n_events = 0;
  std::size_t n_components = 0;

  [[nodiscard]] double value(std::size_t event, std::size_t component) const {
    return pdf_values[event * n_components + component];
  }
};

}  // namespace tarnwick::fit
