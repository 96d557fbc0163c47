// A ParametricPdf that evaluates a library model (NativeModel) itself, on
// the model's columns of the events, with the same arithmetic as the
// model's NumPy evaluation. It keeps its most recent output in a
// single-entry cache keyed by the values of the parameters the model reads
// (a Python PDF's cache is keyed by the whole point), seeded with the
// output of a first call made elsewhere: a model that reads no shape
// parameter keeps that output for the whole fit.
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <optional>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/native_factors.hpp"
#include "fit/native_model.hpp"
#include "fit/native_shapes.hpp"
#include "fit/parametric_pdf.hpp"
#include "fit/splot_error.hpp"

namespace tarnwick::fit {

// Whether every point of `x` lies in the model's window (and there is one),
// which chooses a mixture's arithmetic as it does the models'.
[[nodiscard]] bool all_inside_window(const NativeModel& model, std::span<const double> x);

// The densities of `model` (on one column: not a product) at the points `x`
// with the model's parameters `p` (resolved in pre-order and checked), into
// `out` (resized): zero outside the window. Exposed for tests.
void evaluate_native_model(const NativeModel& model, std::span<const double> p,
                           std::span<const double> x, std::vector<double>& out);

// Whether the model's arithmetic at the resolved parameters `p` is one the
// native evaluation reproduces within a few ulp of the models' NumPy
// evaluation (every leaf of a Sum): for a Gaussian only the erf form of its
// mass, away from cancelling erf terms.
[[nodiscard]] bool evaluates_natively(const NativeModel& model, std::span<const double> p);

// The check of resolved parameters `p`, node by node in pre-order: the
// model's message for the first invalid value ("ValueError: Gaussian: sigma
// ('width') = -1.0 must be positive and finite"), or undecided where only
// the model's own check can judge (a Chebyshev series that may be negative,
// all-zero Bernstein coefficients), or valid.
[[nodiscard]] NativeCheck native_model_check(const NativeModel& model,
                                             std::span<const double> p);

class NativeModelPdf final : public ParametricPdf {
 public:
  // `events` is read once, for the model's columns (which must exist); the
  // cache starts with `seed_values` at `seed_parameters`. `fallback`, the
  // same model evaluated otherwise, answers the points the native
  // evaluation does not take (evaluates_natively, an undecided check);
  // without one those are computed natively as well.
  NativeModelPdf(NativeModel model, const EventView& events, std::vector<double> seed_values,
                 const ParameterMap& seed_parameters, ParametricPdf* fallback = nullptr);
  NativeModelPdf(const NativeModelPdf&) = delete;
  NativeModelPdf& operator=(const NativeModelPdf&) = delete;

  // The model's densities at `parameters`, computed on a cache miss. A
  // parameter value the model rejects is a PdfEvaluation error with the
  // model's message; the cache is then left as it was. `events` is not
  // read: the columns were copied when the PDF was made. A model that
  // reads no shape parameter answers every point after its first
  // computation from the cache.
  [[nodiscard]] std::expected<PdfValues, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) override;

  // The fit's threads, which the evaluation of many events shares.
  void share_threads(WorkerThreads* threads) noexcept override { threads_ = threads; }

  // Off the caller's thread once the model has moved off the output it was
  // seeded with (which came from elsewhere), or never reads a parameter.
  [[nodiscard]] bool may_evaluate_off_thread() const noexcept override { return true; }
  [[nodiscard]] std::expected<bool, SPlotError> prepare_off_thread() override {
    return !holds_seed_ || !reads_parameters_;
  }
  [[nodiscard]] std::optional<std::expected<PdfValues, SPlotError>> evaluate_into(
      const ParameterMap& parameters, std::vector<double>& out) const override;

  // The evaluations that missed the cache and were computed, by
  // evaluate_batch and evaluate_into.
  [[nodiscard]] std::size_t computations() const noexcept {
    return computations_ + off_thread_computations_.load(std::memory_order_relaxed);
  }

  // Whether the latest evaluation was the fallback's (whose errors carry
  // their own notes).
  [[nodiscard]] bool answered_by_fallback() const noexcept { return by_fallback_; }

 private:
  NativeModel model_;
  ParametricPdf* fallback_;
  WorkerThreads* threads_ = nullptr;
  bool has_entry_ = true;
  bool by_fallback_ = false;
  // The parameters of the tree in pre-order (pointing into model_).
  std::vector<const NativeParameter*> flat_;
  NativeFactors factors_;
  // The model's parameters at the latest point, and at the cached output.
  std::vector<double> resolved_;
  std::vector<double> cached_;
  std::vector<double> values_;
  std::optional<std::size_t> first_invalid_;
  std::size_t computations_ = 0;
  mutable std::atomic<std::size_t> off_thread_computations_ = 0;
  // Whether the cache holds the seed's output, and whether any parameter
  // is read by name.
  bool holds_seed_ = false;
  bool reads_parameters_ = false;

  // The model's parameters at `parameters` into `resolved` (names in the
  // tree's pre-order), or the KeyError of a missing name.
  [[nodiscard]] std::expected<void, SPlotError> resolve(const ParameterMap& parameters,
                                                        std::vector<double>& resolved) const;
};

}  // namespace tarnwick::fit
