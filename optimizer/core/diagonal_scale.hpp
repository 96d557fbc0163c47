// The parameter transform of a run: a diagonal scale.
//
// The optimizer works in z = s ⊙ x (s > 0 per coordinate) so that the
// curvature of f is about 1 along every axis. Without it, a fit whose
// coordinates differ in curvature by many orders of magnitude (a yield, ~1/y,
// next to a shape parameter, ~N/σ²) starts with B₀ = I, throws the stiff
// coordinates to their bounds and then crawls along the soft ones.
//
//   to internal:  z = s ⊙ x;  box [s ⊙ l, s ⊙ u] (infinite ends stay infinite)
//   to external:  x = z ⊘ s, except that a coordinate on or past an end of
//                 its internal box maps to exactly that end of the caller's
//                 box; then clipped to the caller's box
//   gradient:     ∇_z f = ∇_x f ⊘ s
// The mapping back is exact at the bounds, so a coordinate that the
// optimizer holds on a bound reaches the problem as that bound, never a
// rounding step beyond it.
#pragma once

#include "optimizer/core/bounds.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

class DiagonalScale {
 public:
  // `scale` holds one finite s > 0 per coordinate of `box`.
  DiagonalScale(const Vector& scale, Box box);
  // s = 1 for every coordinate of `box`: z = x, and the internal box is the
  // caller's (×1 and ÷1 are exact, ±∞ and NaN included).
  [[nodiscard]] static DiagonalScale identity(Box box);

  [[nodiscard]] Vector to_internal(const Vector& x) const;
  [[nodiscard]] Vector to_external(const Vector& z) const;
  [[nodiscard]] Vector gradient_to_internal(const Vector& gradient) const;

  // The caller's box in internal coordinates.
  [[nodiscard]] const Box& internal_box() const { return internal_; }

 private:
  Vector scale_;
  Box external_;
  Box internal_;
};

}  // namespace tarnwick::optimizer
