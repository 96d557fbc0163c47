// Dense linear algebra for the optimizer: the one place where Eigen enters.
//
// Every translation unit of the project reaches Eigen through this header, so
// the storage order and the fault handling are decided once. Eigen's own size
// checks vanish under NDEBUG; shape mismatches are faults of the calling code,
// so `eigen_assert` is redefined here to stay on in every build and to abort
// with the failed condition.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>

namespace tarnwick::optimizer::detail {
[[noreturn]] void internal_fault(const char* condition, const char* file, int line) noexcept;
}  // namespace tarnwick::optimizer::detail

#ifdef eigen_assert
#error "Eigen must be included through optimizer/interfaces/linalg.hpp only"
#endif
#define eigen_assert(condition)                                                    \
  do {                                                                             \
    if (!(condition)) {                                                            \
      ::tarnwick::optimizer::detail::internal_fault(#condition, __FILE__, __LINE__); \
    }                                                                              \
  } while (false)

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

// Stops the program when `condition` is false. Used for shape mismatches,
// which are programming faults and never error values.
#define TARNWICK_REQUIRE(condition) eigen_assert(condition)

}  // namespace tarnwick::optimizer
