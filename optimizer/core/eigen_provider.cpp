#include "optimizer/core/eigen_provider.hpp"

namespace tarnwick::optimizer {

namespace {

// Solves A X = B with a fresh partial-pivoting LU of A. Eigen's PartialPivLU
// never reports singularity itself, so the diagonal of the upper factor is
// tested for exact zeros before the substitution.
template <class Rhs>
std::optional<Rhs> solve_checked(const Matrix& a, const Rhs& b) {
  TARNWICK_REQUIRE(a.rows() == a.cols());
  TARNWICK_REQUIRE(b.rows() == a.rows());
  if (a.rows() == 0) {
    return Rhs(b);
  }
  const Eigen::PartialPivLU<Matrix> lu(a);
  const auto& packed = lu.matrixLU();
  for (Eigen::Index i = 0; i < packed.rows(); ++i) {
    if (packed(i, i) == 0.0) {
      return std::nullopt;
    }
  }
  return Rhs(lu.solve(b));
}

}  // namespace

double EigenProvider::vec_dot(const Vector& a, const Vector& b) const {
  TARNWICK_REQUIRE(a.size() == b.size());
  double sum = 0.0;
  for (Eigen::Index i = 0; i < a.size(); ++i) {
    sum += a[i] * b[i];
  }
  return sum;
}

Matrix EigenProvider::mat_mul(const Matrix& a, const Matrix& b) const {
  TARNWICK_REQUIRE(a.cols() == b.rows());
  return a * b;
}

Matrix EigenProvider::mat_sub(const Matrix& a, const Matrix& b) const {
  TARNWICK_REQUIRE(a.rows() == b.rows() && a.cols() == b.cols());
  return a - b;
}

Vector EigenProvider::mat_vec(const Matrix& a, const Vector& v) const {
  TARNWICK_REQUIRE(a.cols() == v.size());
  return a * v;
}

std::optional<Vector> EigenProvider::lu_solve(const Matrix& a, const Vector& b) const {
  return solve_checked(a, b);
}

std::optional<Matrix> EigenProvider::lu_solve_matrix(const Matrix& a, const Matrix& b) const {
  return solve_checked(a, b);
}

std::optional<Matrix> EigenProvider::lu_inverse(const Matrix& a) const {
  TARNWICK_REQUIRE(a.rows() == a.cols());
  return solve_checked(a, Matrix(Matrix::Identity(a.rows(), a.cols())));
}

}  // namespace tarnwick::optimizer
