// Per-coordinate box constraints.
#pragma once

#include <expected>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "optimizer/core/optimizer_error.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

struct Unbounded {
  friend bool operator==(const Unbounded&, const Unbounded&) = default;
};
struct Lower {
  double lower;
  friend bool operator==(const Lower&, const Lower&) = default;
};
struct Upper {
  double upper;
  friend bool operator==(const Upper&, const Upper&) = default;
};
struct LowerUpper {
  double lower;
  double upper;
  friend bool operator==(const LowerUpper&, const LowerUpper&) = default;
};

// The bound of one coordinate. A kind never holds an infinite value.
using ScalarBound = std::variant<Unbounded, Lower, Upper, LowerUpper>;
using BoundList = std::vector<ScalarBound>;
using BoundPair = std::pair<double, double>;

// The lower end of a bound, −∞ when it has none.
[[nodiscard]] double lower_end(const ScalarBound& bound);
// The upper end of a bound, +∞ when it has none.
[[nodiscard]] double upper_end(const ScalarBound& bound);

// The bounds as two vectors, ±∞ for missing ends (both ends when there is no
// list, or when the list is shorter than the point).
struct Box {
  Vector lower;
  Vector upper;
  // Whether `value` is exactly one of the ends of coordinate i.
  [[nodiscard]] bool on_bound(Eigen::Index i, double value) const;
  // The point with every coordinate projected into [lower, upper]; a NaN
  // coordinate stays NaN. The point has the box's size.
  [[nodiscard]] Vector clip(const Vector& point) const;
};
[[nodiscard]] Box box_of(const std::optional<BoundList>& bounds, Eigen::Index n);

// Converts (lower, upper) pairs in order. A pair is accepted only when
// lower < upper; an unordered pair, an equal pair or a NaN end fails the whole
// list with "bounds must be ordered and must not contain NaN". An accepted
// pair becomes Unbounded, Lower, Upper or LowerUpper by which of its ends are
// finite.
[[nodiscard]] std::expected<BoundList, OptimizerError> bounds_from_pairs(
    const std::vector<BoundPair>& pairs);

}  // namespace tarnwick::optimizer
