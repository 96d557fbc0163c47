// The objective of the fit: the extended, event-weighted negative
// log-likelihood of a mixture of component densities,
//
//   NLL(y, θ) = Σ_k y_k − Σ_i w_i ln max(m_i, 10⁻³⁰⁰),   m_i = Σ_k y_k f_k(i; θ),
//
// as a function of the yields y (the first n_components coordinates of a
// point) and the shape parameters θ (the rest, in the caller's order). The
// yield sum is not weighted, so negative weights reward a low density at
// their event. Derivatives are central finite differences of the objective
// with step h_j = ∛ε (|x_j| + 1), yields included.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/evaluated_model.hpp"
#include "fit/event_view.hpp"
#include "fit/parametric_pdf.hpp"
#include "fit/splot_error.hpp"
#include "optimizer/interfaces/problem.hpp"

namespace tarnwick::fit {

// The finite-difference step factor ∛ε = 2^(−52/3).
inline constexpr double kFiniteDifferenceStepFactor = 6.0554544523933395e-06;
// Mixture densities below this are floored before the logarithm.
inline constexpr double kDensityFloor = 1e-300;

class JointLikelihood final : public optimizer::Problem<SPlotError> {
 public:
  // Borrows the events, the PDFs and the weights for its lifetime.
  JointLikelihood(std::vector<std::string> shape_names, EventView events,
                  std::span<ParametricPdf* const> pdfs, std::span<const double> event_weights);

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

  // NLL at x: one pass over the PDF values, nothing allocated per event.
  // The PDFs' values come tested (see PdfValues), so the pass reads each
  // value once: mixture, all-zero test, floor, logarithm and weighted sum.
  [[nodiscard]] std::expected<double, SPlotError> evaluate(
      const optimizer::Vector& x) const override;
  // Central differences, coordinate by coordinate, plus before minus:
  // exactly 2·len(x) objective evaluations.
  [[nodiscard]] std::expected<optimizer::Vector, SPlotError> gradient(
      const optimizer::Vector& x) const override;
  // The gradient, then central differences of gradients for each column of
  // H, symmetrised: 4·n² + 2·n objective evaluations.
  [[nodiscard]] std::expected<std::pair<optimizer::Vector, optimizer::Matrix>, SPlotError>
  gradient_with_hessian(const optimizer::Vector& x) const override;

  [[nodiscard]] std::size_t n_components() const { return pdfs_.size(); }

 private:
  [[nodiscard]] ParameterMap parameters_at(std::span<const double> shape_values) const;
  // evaluate_pdf_values without the all-zero test, which `evaluate` folds
  // into its own pass over the events.
  [[nodiscard]] std::expected<std::vector<std::span<const double>>, SPlotError>
  checked_pdf_values(const ParameterMap& parameters) const;

  std::vector<std::string> shape_names_;
  EventView events_;
  std::span<ParametricPdf* const> pdfs_;
  std::span<const double> event_weights_;
};

}  // namespace tarnwick::fit
