// The objective of the fit: the extended, event-weighted negative
// log-likelihood of a mixture of component densities,
//
//   NLL(y, θ) = Σ_k y_k − Σ_i w_i ln max(m_i, 10⁻³⁰⁰),   m_i = Σ_k y_k f_k(i; θ),
//
// as a function of the yields y (the first n_components coordinates of a
// point) and the shape parameters θ (the rest, in the caller's order). The
// yield sum is not weighted, so negative weights reward a low density at
// their event.
//
// Derivatives are finite differences of the objective, yields included, with
// step h_j = c (|x_j| + 1) and two evaluations per coordinate that stay inside
// the box where they can:
//   (x + h, x − h)   when both fit,
//   (x + 2h, x)      when x − h is below the lower end and x + 2h fits,
//   (x, x − 2h)      when x + h is above the upper end and x − 2h fits,
//   (x + h, x − h)   otherwise (a box narrower than 3h);
// ∂f/∂x_j = (f(first) − f(second)) / 2h, the first point evaluated first.
// The one-sided pairs are the central difference about x ± h, so a PDF is
// never asked for a shape value outside its declared bounds.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fit/evaluated_model.hpp"
#include "fit/event_view.hpp"
#include "fit/parametric_pdf.hpp"
#include "fit/recent_values.hpp"
#include "fit/splot_error.hpp"
#include "optimizer/core/bounds.hpp"
#include "optimizer/interfaces/problem.hpp"

namespace tarnwick::fit {

// The finite-difference step factor of first derivatives is ∛ε
// (optimizer::kCubeRootEpsilon): it balances the truncation error O(h²) of a
// central difference against its rounding error O(ε|f|/h).
// The step factor of the Hessian's nested differences, ε^¼ = 2⁻¹³: a second
// difference carries rounding noise O(ε|f|/h²), so its step must be larger.
inline constexpr double kHessianStepFactor = 1.220703125e-04;
// The fewest events for which a gradient's points are evaluated at once on
// several threads: below, waking a second thread for each gradient costs
// about what it saves (2000 events: 2.6 ms a fit on two CPUs, 2.35 on one).
inline constexpr std::size_t kFewestEventsForGradientThreads = 8192;
// Mixture densities below this are floored before the logarithm.
inline constexpr double kDensityFloor = 1e-300;

// Where the points of a difference with step h about v fit in
// [lower, upper]: on both sides; only above v (x − h is below the lower end
// and x + 2h fits); only below v (x + h is above the upper end and x − 2h
// fits). Both sides also when neither one-sided stencil fits.
enum class DifferenceSide { Both, Above, Below };
[[nodiscard]] DifferenceSide difference_side(double v, double h, double lower, double upper);

class WorkerThreads;

class JointLikelihood final : public optimizer::Problem<SPlotError> {
 public:
  // Borrows the events, the PDFs and the weights for its lifetime. `bounds`
  // is the box of the parameter vector that the finite differences keep
  // inside; an empty box bounds nothing. The log pass of many events is
  // shared with `threads` when given (borrowed too); the values do not
  // depend on it.
  JointLikelihood(std::vector<std::string> shape_names, EventView events,
                  std::span<ParametricPdf* const> pdfs, std::span<const double> event_weights,
                  optimizer::Box bounds = {}, WorkerThreads* threads = nullptr);
  // It holds iterators into its own parameter map.
  JointLikelihood(const JointLikelihood&) = delete;
  JointLikelihood& operator=(const JointLikelihood&) = delete;

  // Calls every PDF once, in order, with all events, and checks its values
  // before the next PDF is called: the count, then each value finite and not
  // negative (−0 is fine). Then no event may have every PDF equal to zero.
  // The views are valid until the PDFs are next evaluated.
  [[nodiscard]] std::expected<std::vector<std::span<const double>>, SPlotError>
  evaluate_pdf_values(const ParameterMap& parameters) const;

  // The PDF values at the shape part of a point, with the same checks as
  // evaluate_pdf_values, as a view (see evaluated_model.hpp).
  [[nodiscard]] std::expected<EvaluatedModel, SPlotError> evaluate_model(
      std::span<const double> shape_values) const;

  // The shape point at which the PDFs start with values computed elsewhere
  // (a library model's cache holds its first, NumPy, output there until it
  // moves on; the engine's own evaluation of the same point may differ in
  // the last bits). Values there are not remembered: asking again gives
  // what the PDFs give then. `shape_values` has one value per shape name.
  void set_seeded_shape_point(std::span<const double> shape_values);

  // NLL at x: the yields' sum in component order, then one pass over the
  // PDF values (mixture, all-zero test, floor, logarithm, weighted term),
  // the whole sum rounded once (log_terms.hpp). A point with the same bits
  // as one of the last RecentValues::capacity_for points evaluated is
  // answered with its value, without calling the PDFs; the points of the
  // seeded shape point are computed every time.
  [[nodiscard]] std::expected<double, SPlotError> evaluate(
      const optimizer::Vector& x) const override;
  // Differences with c = ∛ε, coordinate by coordinate: exactly 2·len(x)
  // objective evaluations.
  [[nodiscard]] std::expected<optimizer::Vector, SPlotError> gradient(
      const optimizer::Vector& x) const override;
  // The gradient (c = ∛ε); for each shape parameter b, column b as the
  // difference of two gradients, both levels with c = ε^¼; then the yield
  // block exactly: ∂²NLL/∂y_j∂y_k is the yield information I(j, k) of the
  // PDF values at x (sweights.hpp), whose rounding floor a difference in a
  // yield cannot get under. Yield–shape entries come from the shape
  // columns; the matrix is symmetrised. 2·n + 4·n·n_shape objective
  // evaluations and one more evaluation of the PDFs.
  [[nodiscard]] std::expected<std::pair<optimizer::Vector, optimizer::Matrix>, SPlotError>
  gradient_with_hessian(const optimizer::Vector& x) const override;

  [[nodiscard]] std::size_t n_components() const { return pdfs_.size(); }
  // The evaluations answered from the recent values so far.
  [[nodiscard]] std::size_t repeats() const { return repeats_; }

 private:
  // The shape-parameter map at a point: the likelihood's own map, refilled.
  [[nodiscard]] const ParameterMap& parameters_at(std::span<const double> shape_values) const;
  // The Optimization error of a point with a NaN or infinite coordinate.
  [[nodiscard]] static std::optional<SPlotError> non_finite_point(std::span<const double> point);
  [[nodiscard]] std::expected<optimizer::Vector, SPlotError> gradient_with_step(
      const optimizer::Vector& x, double step_factor) const;
  // The two points of a difference along coordinate j at value v with step
  // h, inside the box where the box allows it.
  [[nodiscard]] std::pair<double, double> difference_points(Eigen::Index j, double v,
                                                            double h) const;
  // What a difference of `Evaluate`'s values is: a number or a vector.
  template <class Evaluate>
  using DifferenceOf =
      typename std::invoke_result_t<const Evaluate&, const optimizer::Vector&>::value_type;
  // (F(first) − F(second)) / (2h) along coordinate j, F = evaluate (a number
  // or a vector, differenced entry by entry), h = step_factor (|p[j]| + 1),
  // first and second from difference_points; p[j] is restored afterwards.
  template <class Evaluate>
  [[nodiscard]] auto central_difference(optimizer::Vector& p, Eigen::Index j, double step_factor,
                                        const Evaluate& evaluate) const
      -> std::expected<DifferenceOf<Evaluate>, SPlotError>;
  // evaluate_pdf_values without the all-zero test, which `evaluate` folds
  // into its own pass over the events; the views are held in pdf_values_.
  [[nodiscard]] std::expected<std::span<const std::span<const double>>, SPlotError>
  checked_pdf_values(const ParameterMap& parameters) const;
  // The NLL at a finite point, computed.
  [[nodiscard]] std::expected<double, SPlotError> computed_value(
      std::span<const double> point) const;
  // The NLL at `point` from the PDF values `f` there, the pass shared with
  // `threads` when given.
  [[nodiscard]] std::expected<double, SPlotError> value_of(
      std::span<const double> point, std::span<const std::span<const double>> f,
      WorkerThreads* threads) const;

  // The gradient's points evaluated at once on the threads (gradient_batch.cpp),
  // where every PDF can evaluate them off the caller's thread and few
  // events leave the log pass on one: the values are those one after
  // another would give, and the likelihood's memory is left as they would
  // leave it. None where it cannot be done so (the points are then
  // evaluated one after another), or an interruption's error.
  [[nodiscard]] std::optional<std::expected<optimizer::Vector, SPlotError>>
  gradient_off_thread(const optimizer::Vector& x, double step_factor) const;
  struct GradientPoints;
  // The objective at each of `points`, computed off the caller's thread
  // where not remembered, and remembered in their order; none where that
  // cannot be done.
  [[nodiscard]] std::optional<std::vector<double>> values_off_thread(
      const GradientPoints& points) const;
  // The NLL at `point` from PDF values computed off the caller's thread
  // into slot `slot`'s buffers; none where a PDF needs the caller's thread.
  [[nodiscard]] std::optional<std::expected<double, SPlotError>> value_off_thread(
      std::span<const double> point, std::size_t slot) const;

  std::vector<std::string> shape_names_;
  EventView events_;
  std::span<ParametricPdf* const> pdfs_;
  std::span<const double> event_weights_;
  bool weights_are_one_;  // then the log pass does not read them
  optimizer::Box bounds_;
  WorkerThreads* threads_;
  std::optional<std::vector<double>> seeded_shape_;
  // Only the optimizer's thread evaluates: the memory needs no lock.
  mutable RecentValues recent_;
  mutable std::size_t repeats_ = 0;
  // Reused by every evaluation, so that none allocates: the shape-parameter
  // map (every name, in place), its node of each shape parameter, and the
  // PDFs' views.
  mutable ParameterMap parameters_;
  std::vector<ParameterMap::iterator> parameter_slots_;
  mutable std::vector<std::span<const double>> pdf_values_;
  // The buffers of the points evaluated off the caller's thread, per slot:
  // the shape-parameter map, the PDFs' values and views.
  struct OffThreadSlot {
    ParameterMap parameters;
    std::vector<std::vector<double>> values;
    std::vector<std::span<const double>> views;
  };
  mutable std::vector<OffThreadSlot> slots_;
};

}  // namespace tarnwick::fit
