#include "optimizer/algorithms/gradient/gradient_status.hpp"

#include "optimizer/core/summary.hpp"

#include <cmath>
#include <limits>

namespace tarnwick::optimizer {

Matrix scaled_pseudo_inverse(const Matrix& h, Vector* rounding_floor) {
  TARNWICK_REQUIRE(h.rows() == h.cols());
  const Eigen::Index n = h.rows();
  if (rounding_floor != nullptr) *rounding_floor = Vector::Zero(n);
  if (n == 0) return Matrix(0, 0);
  // An SVD of a matrix holding NaN or ±∞ has no meaning (and may not
  // converge); such a Hessian gives an all-NaN covariance instead.
  if (!h.allFinite()) {
    return Matrix::Constant(n, n, std::numeric_limits<double>::quiet_NaN());
  }

  Vector inv_d(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double d = std::sqrt(std::abs(h(i, i)));
    inv_d[i] = (d == 0.0 || !std::isfinite(d)) ? 1.0 : 1.0 / d;
  }
  const Matrix s = inv_d.asDiagonal() * h * inv_d.asDiagonal();

  // Both singular-vector sets, and our own absolute cut-off: Eigen's rank
  // threshold is relative to the largest singular value.
  const Eigen::JacobiSVD<Matrix> svd(s, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Vector& sigma = svd.singularValues();
  Vector sigma_plus(sigma.size());
  for (Eigen::Index i = 0; i < sigma.size(); ++i) {
    sigma_plus[i] = sigma[i] > kCubeRootEpsilon ? 1.0 / sigma[i] : 0.0;
  }
  const Matrix pinv_s = svd.matrixV() * sigma_plus.asDiagonal() * svd.matrixU().transpose();
  if (rounding_floor != nullptr && sigma_plus.size() > 0) {
    const double floor = 8.0 * static_cast<double>(n) * kMachineEpsilon * sigma_plus.maxCoeff();
    *rounding_floor = floor * inv_d.cwiseAbs2();
  }
  return inv_d.asDiagonal() * pinv_s * inv_d.asDiagonal();
}

void GradientStatus::set_hess(Matrix h, const std::vector<bool>& held_fixed) {
  const Eigen::Index n = h.rows();
  TARNWICK_REQUIRE(held_fixed.empty() || held_fixed.size() == static_cast<std::size_t>(n));
  std::vector<Eigen::Index> free;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (held_fixed.empty() || !held_fixed[static_cast<std::size_t>(i)]) free.push_back(i);
  }
  Vector floor;
  const Matrix free_cov = scaled_pseudo_inverse(h(free, free), &floor);
  Matrix cov = Matrix::Zero(n, n);
  cov(free, free) = free_cov;
  Vector errors = unknown_uncertainties(n);
  for (std::size_t f = 0; f < free.size(); ++f) {
    const Eigen::Index i = free[f];
    if (cov(i, i) > floor[static_cast<Eigen::Index>(f)]) errors[i] = std::sqrt(cov(i, i));
  }
  hessian = std::move(h);
  covariance = std::move(cov);
  std_errors = std::move(errors);
}

}  // namespace tarnwick::optimizer
