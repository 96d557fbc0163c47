// The Eigen vocabulary of the optimizer (Vector, Matrix and the precision
// constants): the one place where Eigen enters. The linear-algebra roles
// written in it are linear_algebra.hpp.
//
// Every translation unit of the project reaches Eigen through this header, so
// the storage order and the fault handling are decided once. Eigen's own size
// checks vanish under NDEBUG; shape mismatches are faults of the calling code,
// so `eigen_assert` is redefined here as TARNWICK_REQUIRE (base/check.hpp),
// which stays on in every build and aborts with the failed condition.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>

#include "base/check.hpp"

#ifdef eigen_assert
#error "Eigen must be included through optimizer/interfaces/eigen_types.hpp only"
#endif
#define eigen_assert(condition) TARNWICK_REQUIRE(condition)

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>

namespace tarnwick::optimizer {

// Dense column of doubles: points, gradients, directions, standard errors.
using Vector = Eigen::VectorXd;
// Dense matrix of doubles, column-major (Eigen's native order).
using Matrix = Eigen::MatrixXd;

// The double-precision machine epsilon, 2⁻⁵².
inline constexpr double kMachineEpsilon = std::numeric_limits<double>::epsilon();
// ∛ε: the relative size below which a singular value counts as zero in the
// covariance's pseudo-inverse, and the relative step of a central finite
// difference (its truncation and rounding errors balance there).
inline constexpr double kCubeRootEpsilon = 6.0554544523933395e-06;

}  // namespace tarnwick::optimizer
