// Dense linear algebra by Eigen: the implementation of the roles in
// linear_algebra.hpp.
#pragma once

#include <optional>

#include "optimizer/interfaces/eigen_types.hpp"
#include "optimizer/interfaces/linear_algebra.hpp"

namespace tarnwick::optimizer {

// Both roles, stateless.
class EigenProvider final : public LinearAlgebra, public LinearSolve {
 public:
  [[nodiscard]] double vec_dot(const Vector& a, const Vector& b) const override;
  [[nodiscard]] Matrix mat_mul(const Matrix& a, const Matrix& b) const override;
  [[nodiscard]] Matrix mat_sub(const Matrix& a, const Matrix& b) const override;
  [[nodiscard]] Vector mat_vec(const Matrix& a, const Vector& v) const override;
  [[nodiscard]] std::optional<Vector> lu_solve(const Matrix& a, const Vector& b) const override;
  [[nodiscard]] std::optional<Matrix> lu_solve_matrix(const Matrix& a,
                                                      const Matrix& b) const override;
  [[nodiscard]] std::optional<Matrix> lu_inverse(const Matrix& a) const override;
};

// The one provider the optimizer uses; stateless, so shared by every run.
inline const EigenProvider kEigen{};

}  // namespace tarnwick::optimizer
