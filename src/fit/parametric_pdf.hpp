// The interface through which the engine evaluates one component density.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "fit/event_view.hpp"
#include "fit/splot_error.hpp"
#include "numerics/density_scan.hpp"

namespace tarnwick::fit {

// Shape-parameter values by name, ordered byte-wise by name. It always holds
// every shape parameter of the fit, and is empty when there are none.
using ParameterMap = std::map<std::string, double>;

// The text for PDF k returning `returned` values where `expected` were due:
// "PDF {k} returned {returned} values, expected {expected}".
[[nodiscard]] inline std::string pdf_count_message(std::size_t k, std::size_t returned,
                                                   std::size_t expected) {
  return "PDF " + std::to_string(k) + " returned " + std::to_string(returned) +
         " values, expected " + std::to_string(expected);
}

// One density per event, in event order, with the outcome of the density
// test on them: `first_invalid` is numerics::first_invalid_density(values). A PDF
// that keeps an output across calls tests it once, when it is made, and
// hands the verdict out with every later request for it.
struct PdfValues {
  std::span<const double> values;
  std::optional<std::size_t> first_invalid;

  // Values tested now.
  [[nodiscard]] static PdfValues tested(std::span<const double> values) noexcept {
    return {values, numerics::first_invalid_density(values)};
  }
};

class WorkerThreads;

class ParametricPdf {
 public:
  virtual ~ParametricPdf() = default;

  // Threads the PDF may share its own work with inside `evaluate_batch`,
  // set by the fit for its duration and reset to null at its end. A PDF
  // that calls Python ignores them (the default).
  virtual void share_threads(WorkerThreads* /*threads*/) noexcept {}

  // One density per event of `events`, in event order. The view is owned by
  // the PDF and stays valid until the next call of `evaluate_batch` on the
  // same object; implementations reuse their buffers from call to call
  // instead of allocating a vector per evaluation.
  [[nodiscard]] virtual std::expected<PdfValues, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) = 0;
};

}  // namespace tarnwick::fit
