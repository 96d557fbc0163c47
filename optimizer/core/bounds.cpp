#include "optimizer/interfaces/bounds.hpp"

#include <cmath>
#include <limits>

namespace tarnwick::optimizer {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
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

std::expected<BoundList, OptimizerError> bounds_from_pairs(const std::vector<BoundPair>& pairs) {
  BoundList bounds;
  bounds.reserve(pairs.size());
  for (const auto& [lower, upper] : pairs) {
    // `!(lower < upper)` also rejects a NaN at either end.
    if (!(lower < upper)) {
      return std::unexpected(
          ConfigurationError{"bounds must be ordered and must not contain NaN"});
    }
    const bool has_lower = std::isfinite(lower);
    const bool has_upper = std::isfinite(upper);
    if (has_lower && has_upper) {
      bounds.emplace_back(LowerUpper{lower, upper});
    } else if (has_lower) {
      bounds.emplace_back(Lower{lower});
    } else if (has_upper) {
      bounds.emplace_back(Upper{upper});
    } else {
      bounds.emplace_back(Unbounded{});
    }
  }
  return bounds;
}

}  // namespace tarnwick::optimizer
