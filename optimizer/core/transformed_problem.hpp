// The problem as the optimizer's components see it: in the run's internal
// coordinates z = s ⊙ x (see diagonal_scale.hpp).
#pragma once

#include <expected>
#include <utility>

#include "optimizer/core/diagonal_scale.hpp"
#include "optimizer/interfaces/eigen_types.hpp"
#include "optimizer/interfaces/problem.hpp"

namespace tarnwick::optimizer {

// Points are mapped to the caller's coordinates before the problem sees
// them, and gradients back. A run without a scale holds the identity scale:
// ×1 and ÷1 are exact, so its points and gradients pass through unchanged,
// and a point outside the box reaches the problem as the bound it passed,
// as in a scaled run. It adds no counting, caching or checks (its callers
// count).
template <class E>
class TransformedProblem {
 public:
  // Borrows the problem and the scale for its lifetime.
  TransformedProblem(const Problem<E>& problem, const DiagonalScale& scale)
      : problem_(problem), scale_(scale) {}

  [[nodiscard]] std::expected<double, E> evaluate(const Vector& z) const {
    return problem_.evaluate(external(z));
  }
  [[nodiscard]] std::expected<Vector, E> gradient(const Vector& z) const {
    auto g = problem_.gradient(external(z));
    if (!g) return g;
    return scale_.gradient_to_internal(*g);
  }
  // H at the point in the caller's coordinates, and in those coordinates:
  // the covariance is the caller's. One gradient_with_hessian of the
  // problem, gradient discarded.
  [[nodiscard]] std::expected<Matrix, E> hessian(const Vector& z) const {
    auto both = problem_.gradient_with_hessian(external(z));
    if (!both) return std::unexpected(std::move(both.error()));
    return std::move(both->second);
  }

  // The point in the caller's coordinates.
  [[nodiscard]] Vector external(const Vector& z) const { return scale_.to_external(z); }

 private:
  const Problem<E>& problem_;
  const DiagonalScale& scale_;
};

}  // namespace tarnwick::optimizer
