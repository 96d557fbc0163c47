// A ParametricPdf that evaluates a library model (NativeModel) itself, on
// the model's column of the events, with the same arithmetic as the
// model's NumPy evaluation. Like the adapter of a Python PDF it keeps its
// most recent output in a single-entry cache keyed by the shape-parameter
// point, seeded with the output of a first call made elsewhere.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/native_model.hpp"
#include "fit/parametric_pdf.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::fit {

// The densities of `model` at the points `x` with the model's parameters
// `p` (resolved and checked), into `out` (resized): zero outside the
// window. Exposed for tests.
void evaluate_native_model(const NativeModel& model, std::span<const double> p,
                           std::span<const double> x, std::vector<double>& out);

// Whether the model's normalisation at the resolved parameters `p` is one
// the native evaluation reproduces within a few ulp of the models' NumPy
// evaluation: for a Gaussian only the erf form of its mass (a window not
// wholly more than 1σ from the mean, nor narrow against σ), and not where the mass is the difference of two close erf
// terms (a window just beside the mean), which amplifies the last-bit
// disagreements between implementations of erf.
[[nodiscard]] bool evaluates_natively(const NativeModel& model, std::span<const double> p);

// The message of the check of resolved parameters `p`, or none when they are
// valid: "ValueError: Gaussian: sigma ('width') = -1.0 must be positive and
// finite", in the order the model checks them.
[[nodiscard]] std::optional<std::string> native_model_check(const NativeModel& model,
                                                            std::span<const double> p);

class NativeModelPdf final : public ParametricPdf {
 public:
  // `events` is read once, for the model's column (which must exist); the
  // cache starts with `seed_values` at `seed_parameters`. `fallback`, the
  // same model evaluated otherwise, answers the points the native
  // evaluation does not take (evaluates_natively); without one those are
  // computed natively as well.
  NativeModelPdf(NativeModel model, const EventView& events, std::vector<double> seed_values,
                 ParameterMap seed_parameters, ParametricPdf* fallback = nullptr);

  // The model's densities at `parameters`, computed on a cache miss. A
  // parameter value the model rejects is a PdfEvaluation error with the
  // model's message; the cache is then left as it was. `events` is not
  // read: the column was copied when the PDF was made.
  [[nodiscard]] std::expected<PdfValues, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) override;

  // The evaluations that missed the cache and were computed.
  [[nodiscard]] std::size_t computations() const noexcept { return computations_; }

 private:
  NativeModel model_;
  ParametricPdf* fallback_;
  bool has_entry_ = true;
  std::vector<double> column_;
  std::vector<double> resolved_;
  std::vector<double> values_;
  std::optional<std::size_t> first_invalid_;
  ParameterMap parameters_;
  std::size_t computations_ = 0;
};

}  // namespace tarnwick::fit
