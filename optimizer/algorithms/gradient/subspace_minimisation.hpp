// Subspace minimisation of the L-BFGS-B model over the free variables
// (Byrd, Lu, Nocedal & Zhu 1995, §5.1, the direct primal method).
//
// With the fixed coordinates held at the generalized Cauchy point x^c and Z
// selecting the t free ones, the model's minimiser along the free subspace is
//   d^u = −B̂⁻¹ r^c,   r^c = Zᵀ(g + θ (x^c − x) − W K⁻¹ c),
// where B̂ = θ I − Aᵀ K⁻¹ A is the reduced model matrix, A = Wᵀ Z. By the
// Sherman–Morrison–Woodbury formula B̂⁻¹ r^c is computed without forming B̂:
//   v = K⁻¹ A r^c,  N = I − (1/θ) K⁻¹ A Aᵀ,  w = N⁻¹ v,
//   d^u = −(1/θ) (r^c + (1/θ) Aᵀ w)   (A is 2k × t).
// The step from x^c along d^u is then cut back into the box.
#pragma once

#include "optimizer/algorithms/gradient/cauchy_point.hpp"
#include "optimizer/algorithms/gradient/limited_memory.hpp"
#include "optimizer/core/bounds.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

// x̄: the Cauchy point with its free coordinates moved by α* d^u, α* ≤ 1
// the largest step that keeps them inside the box. `cauchy.free` must not
// be empty.
[[nodiscard]] Vector subspace_minimum(const Vector& x, const Vector& g,
                                      const LimitedMemory& memory, const Box& box,
                                      const CauchyPoint& cauchy);

// The search direction d = x̄ − x at x: zero when no coordinate can move,
// x^c − x when the Cauchy point fixes every coordinate, else x̄ − x. It has
// no error result; non-finite inputs propagate into it.
[[nodiscard]] Vector bound_constrained_direction(const Vector& x, const Vector& g,
                                                 const LimitedMemory& memory,
                                                 const Box& box);

}  // namespace tarnwick::optimizer
