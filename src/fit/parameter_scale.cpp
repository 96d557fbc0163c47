#include "fit/parameter_scale.hpp"

#include <cmath>

#include "fit/return_if_error.hpp"

namespace tarnwick::fit {

std::expected<optimizer::Vector, SPlotError> parameter_scale(const JointLikelihood& likelihood,
                                                             const optimizer::Vector& x0,
                                                             double f0,
                                                             const optimizer::Box& box) {
  TARNWICK_REQUIRE(box.lower.size() == x0.size() && box.upper.size() == x0.size());
  optimizer::Vector scale(x0.size());
  optimizer::Vector p = x0;
  for (Eigen::Index j = 0; j < x0.size(); ++j) {
    const double v = x0[j];
    const double h = optimizer::kCubeRootEpsilon * (std::abs(v) + 1.0);
    const DifferenceSide side = difference_side(v, h, box.lower[j], box.upper[j]);
    // Both sides: v + h, v − h; above: v + h, v + 2h; below: v − h, v − 2h.
    const double first = side == DifferenceSide::Below ? v - h : v + h;
    const double second = side == DifferenceSide::Both    ? v - h
                          : side == DifferenceSide::Above ? v + 2.0 * h
                                                          : v - 2.0 * h;
    p[j] = first;
    auto f_first = likelihood.evaluate(p);
    TARNWICK_RETURN_IF_ERROR(f_first);
    p[j] = second;
    auto f_second = likelihood.evaluate(p);
    TARNWICK_RETURN_IF_ERROR(f_second);
    p[j] = v;
    const double difference = side == DifferenceSide::Both
                                  ? *f_first - 2.0 * f0 + *f_second
                                  : *f_second - 2.0 * *f_first + f0;
    // h² overflows for coordinates beyond ~10¹⁵⁷ (yields of fits weighted by
    // 10¹⁵⁰ and more); dividing by h twice keeps their curvature.
    const double h2 = h * h;
    const double c = std::isfinite(h2) ? difference / h2 : difference / h / h;
    scale[j] = (std::isfinite(c) && c != 0.0) ? std::sqrt(std::abs(c)) : 1.0;
  }
  return scale;
}

}  // namespace tarnwick::fit
