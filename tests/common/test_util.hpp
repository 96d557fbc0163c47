// Tolerances and assertion helpers shared by the optimizer and fit-engine tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <expected>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "optimizer/core/bounds.hpp"
#include "optimizer/core/optimizer_error.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::testing {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
using optimizer::kMachineEpsilon;
using optimizer::BoundList;
using optimizer::ConfigurationError;
using optimizer::Matrix;
using optimizer::OptimizerError;
using optimizer::ScalarBound;
using optimizer::Vector;

// Results of a handful of floating-point operations on small, well-scaled
// numbers (LU solves and inverses of matrices up to 3 × 3, Jacobi-scaled
// SVDs, the model along a Cauchy path), with condition numbers ≤ 10: the
// rounding error is a few ε times the entries (≤ 10), so 1e-12 leaves two
// orders of magnitude of slack without hiding a wrong formula.
inline constexpr double kRoundingTolerance = 1e-12;

// Relative tolerance for a covariance computed from a Hessian whose entries
// span sixteen orders of magnitude. The Jacobi scaling brings it to a
// condition number of about 2; the relative error of the result is then a
// few ε per entry after unscaling, so 1e-10 is generous yet far below the
// 100 % error of zeroing a direction.
inline constexpr double kScaledCovarianceTolerance = 1e-10;

// Tolerance of the gradient-norm and projected-gradient terminators in the
// end-to-end runs. It lies above the rounding floor of the test objectives'
// gradients near their minimisers (about 1e-14 for values of order one)
// and far below the gradient of any point that is not a minimiser.
inline constexpr double kGradientTolerance = 1e-10;

// Objective-change tolerance of the end-to-end runs. It is below the
// spacing of doubles near any |f| ≥ 1, so for such values the test only
// stops a run whose step left f exactly unchanged; for the problems with
// f* = 0 it stops once consecutive values differ by less than 1e-16,
// measured at gradients between 1e-11 and 4e-8.
inline constexpr double kObjectiveChangeTolerance = 1e-16;

// A tolerance no convergence test can meet in a few steps of the test
// problems: the runs that use it must end by their step limit.
inline constexpr double kUnreachable = 1e-300;

// Distance from the known minimiser accepted at the end of an end-to-end
// run. A run ends on kGradientTolerance, or earlier when a step leaves f
// unchanged (the objective-change test); the largest gradient left then is
// about 4e-8 (Rosenbrock in 10 dimensions). Near a minimiser whose Hessian
// has smallest eigenvalue λ the distance is about ‖g‖/λ, with λ ≥ 0.39 for
// every problem compared in absolute terms (the likelihood's yields are
// compared relative to the event count), so at most about 1e-7; measured,
// it is below 3e-9.
// 1e-6 leaves room for rounding differences between compilers while a run
// stopped at a non-stationary point misses by 1e-3 or more.
inline constexpr double kMinimiserTolerance = 1e-6;

// The largest projected-gradient component accepted at the end of an
// end-to-end run on a box. A run that ends on the projected-gradient test
// is below kGradientTolerance; one that ends because f stopped changing is
// at the rounding floor of f, measured at most 2.7e-9 (Rosenbrock in 10
// dimensions with the upper bounds 0.7). A point that is not stationary on
// the box has components of order 1e-3 or more.
inline constexpr double kProjectedGradientTolerance = 1e-8;

// Checks that `result` holds the error alternative `Variant` and that its
// display text is exactly `display`.
template <class Variant, class T>
::testing::AssertionResult IsError(const T& result, const std::string& display) {
  if (result.has_value()) return ::testing::AssertionFailure() << "expected an error, got a value";
  if (!std::holds_alternative<Variant>(result.error())) {
    return ::testing::AssertionFailure() << "wrong error kind: " << to_string(result.error());
  }
  if (to_string(result.error()) != display) {
    return ::testing::AssertionFailure() << "message \"" << to_string(result.error())
                                         << "\", expected \"" << display << "\"";
  }
  return ::testing::AssertionSuccess();
}

// Checks that `result` holds the optimizer's configuration error with
// exactly `text`, and that its display form carries the prefix.
template <class T>
::testing::AssertionResult IsConfigurationError(const std::expected<T, OptimizerError>& result,
                                                std::string_view text) {
  if (result) return ::testing::AssertionFailure() << "expected an error, got a value";
  const auto* config = std::get_if<ConfigurationError>(&result.error());
  if (config == nullptr) {
    return ::testing::AssertionFailure() << "expected a ConfigurationError, got \""
                                         << optimizer::to_string(result.error()) << "\"";
  }
  if (config->text != text) {
    return ::testing::AssertionFailure()
           << "text is \"" << config->text << "\", expected \"" << text << "\"";
  }
  const std::string shown = optimizer::to_string(result.error());
  const std::string wanted = "Configuration error: " + std::string(text);
  if (shown != wanted) {
    return ::testing::AssertionFailure()
           << "displayed as \"" << shown << "\", expected \"" << wanted << "\"";
  }
  return ::testing::AssertionSuccess();
}

// Checks that `result` holds exactly the error `expected` (same type, equal
// value): a problem's error must come back from the optimizer unchanged.
template <class T, class E>
::testing::AssertionResult HoldsError(const std::expected<T, E>& result, const E& expected) {
  if (result) return ::testing::AssertionFailure() << "expected an error, got a value";
  if (!(result.error() == expected)) {
    return ::testing::AssertionFailure() << "the error differs from the one the problem raised";
  }
  return ::testing::AssertionSuccess();
}

// The gradient projected onto the box at x: components that point out of
// the box at a coordinate lying exactly on its bound are zeroed. A
// minimiser of f over the box has a zero projected gradient.
inline Vector projected_gradient(const Vector& x, const Vector& g, const BoundList& bounds) {
  Vector p = g;
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    const ScalarBound& bound = bounds[static_cast<std::size_t>(i)];
    if (x[i] <= optimizer::lower_end(bound) && p[i] > 0.0) p[i] = 0.0;
    if (x[i] >= optimizer::upper_end(bound) && p[i] < 0.0) p[i] = 0.0;
  }
  return p;
}

// True when every coordinate of x lies in its closed box.
inline bool inside_box(const Vector& x, const BoundList& bounds) {
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    const ScalarBound& bound = bounds[static_cast<std::size_t>(i)];
    if (!(optimizer::lower_end(bound) <= x[i] && x[i] <= optimizer::upper_end(bound))) {
      return false;
    }
  }
  return true;
}

inline Vector vec(std::initializer_list<double> values) {
  Vector v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (double value : values) v[i++] = value;
  return v;
}

// A matrix from its rows.
inline Matrix mat(std::initializer_list<std::initializer_list<double>> rows) {
  const auto r = static_cast<Eigen::Index>(rows.size());
  const auto c = r == 0 ? 0 : static_cast<Eigen::Index>(rows.begin()->size());
  Matrix m(r, c);
  Eigen::Index i = 0;
  for (const auto& row : rows) {
    Eigen::Index j = 0;
    for (double value : row) m(i, j++) = value;
    ++i;
  }
  return m;
}

}  // namespace tarnwick::testing
