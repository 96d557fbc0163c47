// The generalized Cauchy point of the L-BFGS-B model (Byrd, Lu, Nocedal &
// Zhu 1995, §4).
//
// Along the projected steepest-descent path x(t) = P(x − t g) the quadratic
// model m(z) = g·(z − x) + ½ (z − x)ᵀ B (z − x), B = θI − W K⁻¹ Wᵀ, is
// piecewise quadratic in t. Its breakpoints t_i are where coordinate i
// reaches its bound. The path is followed segment by segment, keeping
//   f′ = dm/dt and f″ = d²m/dt² on the current segment,
// until the segment's minimiser Δt_min = −f′/f″ lies before its end. The
// point reached, x^c, is the generalized Cauchy point; the coordinates that
// ended on a bound are fixed for the subspace minimisation.
#pragma once

#include <optional>
#include <vector>

#include "optimizer/algorithms/gradient/limited_memory.hpp"
#include "optimizer/core/bounds.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

struct CauchyPoint {
  Vector point;  // x^c
  Vector c;      // Wᵀ(x^c − x), 2k entries
  // False when no coordinate can move along the path (every breakpoint
  // t_i ≤ 0): then x^c = x and there is nothing to minimise.
  bool path_exists = false;
  // Coordinates strictly inside their bounds at x^c, increasing order.
  std::vector<Eigen::Index> free;
};

// K⁻¹ v and K⁻¹ A, solved by LU; the zero vector (matrix) when K is absent
// or singular, so that those terms fall back to B = θ I.
[[nodiscard]] Vector middle_solve(const LimitedMemory& memory, const Vector& v);
[[nodiscard]] Matrix middle_solve(const LimitedMemory& memory, const Matrix& a);

[[nodiscard]] CauchyPoint generalized_cauchy_point(const Vector& x, const Vector& g,
                                                   const LimitedMemory& memory, const Box& box);

}  // namespace tarnwick::optimizer
