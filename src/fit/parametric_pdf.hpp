// The interface through which the engine evaluates one component density.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

  // Whether evaluate_into can ever answer (a PDF that calls Python for
  // every point cannot): the fit then keeps threads for it.
  [[nodiscard]] virtual bool may_evaluate_off_thread() const noexcept { return false; }

  // Called on the caller's thread before points are handed to
  // evaluate_into: whether they may be, i.e. whether from now on the values
  // at a point are a function of the point alone, computed without Python;
  // or the error to end the fit with (an interruption seen here).
  [[nodiscard]] virtual std::expected<bool, SPlotError> prepare_off_thread() { return false; }

  // The densities at `parameters`, as evaluate_batch would give them, into
  // `out` (or a view of the PDF's own output), leaving the PDF as it was;
  // callable from several threads at once after prepare_off_thread said
  // yes, until the next evaluate_batch. None where the point needs the
  // caller's thread (an evaluation through Python).
  [[nodiscard]] virtual std::optional<std::expected<PdfValues, SPlotError>> evaluate_into(
      const ParameterMap& /*parameters*/, std::vector<double>& /*out*/) const {
    return std::nullopt;
  }

  // One density per event of `events`, in event order. The view is owned by
  // the PDF and stays valid until the next call of `evaluate_batch` on the
  // same object; implementations reuse their buffers from call to call
  // instead of allocating a vector per evaluation.
  [[nodiscard]] virtual std::expected<PdfValues, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) = 0;
};

}  // namespace tarnwick::fit
