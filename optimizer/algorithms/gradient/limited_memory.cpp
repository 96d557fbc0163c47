#include "optimizer/algorithms/gradient/limited_memory.hpp"

#include <limits>

#include "optimizer/core/eigen_provider.hpp"

namespace tarnwick::optimizer {

void LimitedMemory::reset(Eigen::Index n) {
  s_.clear();
  y_.clear();
  theta_ = 1.0;
  w_ = Matrix(n, 0);
  k_.reset();
}

bool LimitedMemory::offer(const Vector& s, const Vector& y) {
  const double sy = kEigen.vec_dot(s, y);
  const double yy = kEigen.vec_dot(y, y);
  // Strict, so a NaN product also skips the pair.
  if (!(sy > kMachineEpsilon * yy)) return false;
  if (s_.size() >= limit_) {
    s_.pop_front();
    y_.pop_front();
  }
  s_.push_back(s);
  y_.push_back(y);
  theta_ = yy / sy;
  rebuild();
  return true;
}

void LimitedMemory::rebuild() {
  const auto k = static_cast<Eigen::Index>(s_.size());
  const Eigen::Index n = s_.front().size();
  Matrix s_mat(n, k);
  Matrix y_mat(n, k);
  for (Eigen::Index j = 0; j < k; ++j) {
    s_mat.col(j) = s_[static_cast<std::size_t>(j)];
    y_mat.col(j) = y_[static_cast<std::size_t>(j)];
  }
  w_ = Matrix(n, 2 * k);
  w_.leftCols(k) = y_mat;
  w_.rightCols(k) = theta_ * s_mat;

  const Matrix sty = kEigen.mat_mul(s_mat.transpose(), y_mat);
  const Matrix sts = kEigen.mat_mul(s_mat.transpose(), s_mat);
  Matrix middle = Matrix::Zero(2 * k, 2 * k);
  for (Eigen::Index i = 0; i < k; ++i) {
    middle(i, i) = -sty(i, i);
    for (Eigen::Index j = 0; j < i; ++j) {
      middle(k + i, j) = sty(i, j);
      middle(j, k + i) = sty(i, j);
    }
    for (Eigen::Index j = 0; j < k; ++j) {
      middle(k + i, k + j) = theta_ * sts(i, j);
    }
  }
  k_ = std::move(middle);
}

}  // namespace tarnwick::optimizer
