#include "optimizer/algorithms/gradient/subspace_minimisation.hpp"

#include "optimizer/core/eigen_provider.hpp"

namespace tarnwick::optimizer {

Vector subspace_minimum(const Vector& x, const Vector& g, const LimitedMemory& memory,
                        const Box& box, const CauchyPoint& cauchy) {
  const Matrix& w = memory.w_matrix();
  const double theta = memory.theta();
  const Vector& xc = cauchy.point;
  const auto& free = cauchy.free;
  const auto t = static_cast<Eigen::Index>(free.size());
  const Eigen::Index two_k = w.cols();

  const Vector r = g + theta * (xc - x) - kEigen.mat_vec(w, middle_solve(memory, cauchy.c));
  Vector rc(t);
  for (Eigen::Index j = 0; j < t; ++j) rc[j] = r[free[static_cast<std::size_t>(j)]];

  Vector du;
  if (two_k == 0) {
    du = -(1.0 / theta) * rc;
  } else {
    Matrix a(two_k, t);
    for (Eigen::Index j = 0; j < t; ++j) {
      a.col(j) = w.row(free[static_cast<std::size_t>(j)]).transpose();
    }
    const Vector v = middle_solve(memory, kEigen.mat_vec(a, rc));
    const Matrix n_mat =
        kEigen.mat_sub(Matrix::Identity(two_k, two_k),
                       (1.0 / theta) * middle_solve(memory, kEigen.mat_mul(a, a.transpose())));
    const Vector w_vec = kEigen.lu_solve(n_mat, v).value_or(Vector::Zero(two_k));
    du = -(1.0 / theta) * (rc + (1.0 / theta) * kEigen.mat_vec(a.transpose(), w_vec));
  }

  // The largest α* ≤ 1 that keeps every free coordinate inside its box.
  double alpha_star = 1.0;
  for (Eigen::Index j = 0; j < t; ++j) {
    const Eigen::Index i = free[static_cast<std::size_t>(j)];
    double candidate = 1.0;
    if (du[j] > 0.0) {
      candidate = (box.upper[i] - xc[i]) / du[j];
    } else if (du[j] < 0.0) {
      candidate = (box.lower[i] - xc[i]) / du[j];
    }
    if (candidate < alpha_star) alpha_star = candidate;
  }

  Vector x_bar = xc;
  for (Eigen::Index j = 0; j < t; ++j) {
    x_bar[free[static_cast<std::size_t>(j)]] += alpha_star * du[j];
  }
  return x_bar;
}

Vector bound_constrained_direction(const Vector& x, const Vector& g, const LimitedMemory& memory,
                                   const Box& box) {
  const CauchyPoint cauchy = generalized_cauchy_point(x, g, memory, box);
  if (!cauchy.path_exists) return Vector::Zero(x.size());
  if (cauchy.free.empty()) return cauchy.point - x;
  return subspace_minimum(x, g, memory, box, cauchy) - x;
}

}  // namespace tarnwick::optimizer
