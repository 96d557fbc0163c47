// The sPlot covariance and the sWeights at the fitted point (Pivk & Le
// Diberder, "sPlot: a statistical tool to unfold data distributions",
// NIM A 555 (2005) 356).
//
// With the shape parameters held at their fitted values, m_i = Σ_k y_k f_k(i):
//   I(j, k) = Σ_i w_i (f_j(i)/m_i) (f_k(i)/m_i)   (yield information)
//   V = I⁻¹                                       (sPlot covariance)
//   s(i, r) = w_i Σ_k V(r, k) f_k(i) / m_i        (sWeights)
// At the likelihood maximum Σ_i w_i f_k(i)/m_i = 1 for every k, so I·y = 1
// and the sWeights of component r sum to y_r.
#pragma once

#include <expected>
#include <span>

#include "fit/evaluated_model.hpp"
#include "fit/splot_error.hpp"
#include "fit/splot_result.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::fit {

// I, each entry the correctly rounded sum of its terms w_i (f_j(i)/m_i)
// (f_k(i)/m_i) (see exact_sum.hpp), or an Optimization error naming the
// first event whose mixture density is not finite and strictly positive.
[[nodiscard]] std::expected<optimizer::Matrix, SPlotError> yield_information(
    const EvaluatedModel& model, std::span<const double> yields);

// Whether I·V is the identity within max(10·tolerance, 10⁻⁸), entry by
// entry, with every entry finite. True for the empty matrix.
[[nodiscard]] bool covariance_is_valid(const optimizer::Matrix& information,
                                       const optimizer::Matrix& covariance, double tolerance);

// The n_events × n_components sWeights, or the same Optimization error as
// yield_information.
[[nodiscard]] std::expected<Table, SPlotError> calculate_sweights(
    const EvaluatedModel& model, std::span<const double> yields,
    const optimizer::Matrix& covariance);

}  // namespace tarnwick::fit
