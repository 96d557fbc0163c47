// The scale of each fit parameter, for the optimizer's diagonal transform.
//
// A yield's curvature is about 1/y while a shape parameter's is about N/σ²;
// at 10⁵ events they differ by 10¹³. The optimizer runs in z = s ⊙ x with
//   s_j = √|∂²f/∂x_j²|   at the start point (1 where that is 0 or not finite),
// so that every coordinate starts with a curvature of about 1.
#pragma once

#include <expected>

#include "fit/joint_likelihood.hpp"
#include "fit/splot_error.hpp"
#include "optimizer/core/bounds.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::fit {

// s at x0, where f0 = f(x0) is already known: two more evaluations per
// coordinate, in coordinate order, with h = ∛ε (|x_j| + 1), kept inside the
// box where it allows:
//   central:  f(x+h), f(x−h);    c = (f(x+h) − 2f₀ + f(x−h)) / h²
//   at lower: f(x+h), f(x+2h);   c = (f(x+2h) − 2f(x+h) + f₀) / h²
//   at upper: f(x−h), f(x−2h);   c = (f(x−2h) − 2f(x−h) + f₀) / h²
// (the central pair also when neither one-sided pair fits). The first
// failing evaluation's error is returned.
[[nodiscard]] std::expected<optimizer::Vector, SPlotError> parameter_scale(
    const JointLikelihood& likelihood, const optimizer::Vector& x0, double f0,
    const optimizer::Box& box);

}  // namespace tarnwick::fit
