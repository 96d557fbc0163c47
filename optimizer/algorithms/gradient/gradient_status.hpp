// The running status of one gradient-based run: reported point and value,
// status message, evaluation counters, and the final Hessian with the
// covariance and standard errors derived from it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "optimizer/core/status.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

struct GradientStatus {
  Vector best_point;
  double best_value = 0.0;
  StatusMessage message;
  std::uint64_t cost_evaluations = 0;
  std::uint64_t gradient_evaluations = 0;
  std::uint64_t hessian_evaluations = 0;
  std::optional<Matrix> hessian;
  std::optional<Matrix> covariance;
  std::optional<Vector> std_errors;

  // Stores H and derives the covariance and the standard errors from it.
  // Coordinates marked in `held_fixed` (those that ended exactly on a bound;
  // an empty list marks none) are left out: the covariance is the scaled
  // pseudo-inverse of H over the others, with zero rows and columns for the
  // fixed ones. std_errors_i = √covariance_ii where that variance is
  // positive beyond the rounding of the pseudo-inverse, else NaN: a fixed
  // coordinate, a zeroed direction, negative curvature or a variance that
  // is 0 up to rounding has no error, and an error is never exactly 0.
  void set_hess(Matrix h, const std::vector<bool>& held_fixed = {});
};

// Moore–Penrose pseudo-inverse of a square, symmetric matrix H, taken on its
// Jacobi scaling so that the threshold does not depend on the units of the
// coordinates:
//   d_i = √|H_ii|   (1 where H_ii is 0 or not finite),   S = D⁻¹ H D⁻¹,
//   pinv(S) = V Σ⁺ Uᵀ with σ⁺ = 1/σ for σ > kCubeRootEpsilon (absolute), else 0,
//   result = D⁻¹ pinv(S) D⁻¹.
// For a well-scaled H this is the plain pseudo-inverse; a direction whose
// curvature is small only because of its units (an extended-likelihood yield
// with N ≫ 1/threshold events) is inverted instead of being zeroed.
//
// `rounding_floor`, when given, receives per coordinate the size that
// rounding can give a diagonal entry whose exact value is 0: the SVD's
// reconstruction error 8·n·ε·max σ⁺, in the units of H⁻¹. A positive
// definite H is far above it (S has a unit diagonal, so every diagonal
// entry of pinv(S) is at least 1/n, and max σ⁺ ≤ 1/kCubeRootEpsilon).
[[nodiscard]] Matrix scaled_pseudo_inverse(const Matrix& h, Vector* rounding_floor = nullptr);

}  // namespace tarnwick::optimizer
