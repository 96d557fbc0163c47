// Role interfaces for the dense linear algebra the optimizer needs.
//
// Operands are taken by reference and left unchanged; every result is newly
// made. Shapes must agree (a mismatch stops the program, see eigen_types.hpp).
#pragma once

#include <optional>

#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

class LinearAlgebra {
 public:
  virtual ~LinearAlgebra() = default;
  // Σ a_i b_i; 0 for two empty vectors.
  [[nodiscard]] virtual double vec_dot(const Vector& a, const Vector& b) const = 0;
  // A (r × k) · B (k × c).
  [[nodiscard]] virtual Matrix mat_mul(const Matrix& a, const Matrix& b) const = 0;
  // A − B for equal shapes.
  [[nodiscard]] virtual Matrix mat_sub(const Matrix& a, const Matrix& b) const = 0;
  // A (r × c) · v (c).
  [[nodiscard]] virtual Vector mat_vec(const Matrix& a, const Vector& v) const = 0;
};

// Solves with a square matrix by LU decomposition with partial pivoting,
// factorised afresh on every call. "No result" means the upper factor has a
// diagonal entry that is exactly 0.0; there is no threshold and no condition
// estimate, so a nearly singular matrix gives huge or non-finite values that
// the caller has to check itself.
class LinearSolve {
 public:
  virtual ~LinearSolve() = default;
  [[nodiscard]] virtual std::optional<Vector> lu_solve(const Matrix& a, const Vector& b) const = 0;
  [[nodiscard]] virtual std::optional<Matrix> lu_solve_matrix(const Matrix& a,
                                                              const Matrix& b) const = 0;
  // A⁻¹; the inverse of a 0 × 0 matrix is the empty matrix.
  [[nodiscard]] virtual std::optional<Matrix> lu_inverse(const Matrix& a) const = 0;
};

}  // namespace tarnwick::optimizer
