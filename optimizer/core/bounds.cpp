#include "optimizer/core/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwick::optimizer {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The bound whose ends are the finite ones of (lower, upper).
ScalarBound bound_of(double lower, double upper) {
  const bool has_lower = std::isfinite(lower);
  const bool has_upper = std::isfinite(upper);
  if (has_lower && has_upper) return LowerUpper{lower, upper};
  if (has_lower) return Lower{lower};
  if (has_upper) return Upper{upper};
  return Unbounded{};
}

}  // namespace

double lower_end(const ScalarBound& bound) {
  if (const auto* b = std::get_if<Lower>(&bound)) return b->lower;
  if (const auto* b = std::get_if<LowerUpper>(&bound)) return b->lower;
  return -kInfinity;
}

double upper_end(const ScalarBound& bound) {
  if (const auto* b = std::get_if<Upper>(&bound)) return b->upper;
  if (const auto* b = std::get_if<LowerUpper>(&bound)) return b->upper;
  return kInfinity;
}

Box box_of(const std::optional<BoundList>& bounds, Eigen::Index n) {
  Box box{Vector::Constant(n, -kInfinity), Vector::Constant(n, kInfinity)};
  if (!bounds) return box;
  const auto m = std::min<Eigen::Index>(n, static_cast<Eigen::Index>(bounds->size()));
  for (Eigen::Index i = 0; i < m; ++i) {
    box.lower[i] = lower_end((*bounds)[static_cast<std::size_t>(i)]);
    box.upper[i] = upper_end((*bounds)[static_cast<std::size_t>(i)]);
  }
  return box;
}

bool Box::on_bound(Eigen::Index i, double value) const {
  return value == lower[i] || value == upper[i];
}

Vector Box::clip(const Vector& point) const {
  TARNWICK_REQUIRE(point.size() == lower.size());
  return point.binaryExpr(lower, [](double v, double lo) { return v < lo ? lo : v; })
      .binaryExpr(upper, [](double v, double hi) { return v > hi ? hi : v; });
}

std::expected<BoundList, OptimizerError> bounds_from_pairs(const std::vector<BoundPair>& pairs) {
  BoundList bounds;
  bounds.reserve(pairs.size());
  for (const auto& [lower, upper] : pairs) {
    // `!(lower < upper)` also rejects a NaN at either end.
    if (!(lower < upper)) {
      return std::unexpected(
          ConfigurationError{"bounds must be ordered and must not contain NaN"});
    }
    bounds.push_back(bound_of(lower, upper));
  }
  return bounds;
}

}  // namespace tarnwick::optimizer
