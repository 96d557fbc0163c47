// GradientStatus::set_hess: the covariance is the pseudo-inverse of the
// Jacobi-scaled Hessian, so that the cut-off on small singular values does
// not depend on the units of the coordinates.
#include <gtest/gtest.h>

#include <cmath>

#include "optimizer/algorithms/gradient/gradient_status.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using tarnwick::testing::kInf;
using tarnwick::testing::kNaN;
using tarnwick::testing::kRoundingTolerance;
using tarnwick::testing::kScaledCovarianceTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

GradientStatus status_with_hessian(const Matrix& h) {
  GradientStatus status;
  status.set_hess(h);
  return status;
}

double max_abs_difference(const Matrix& a, const Matrix& b) {
  return (a - b).cwiseAbs().maxCoeff();
}

TEST(SetHess, NegativeCurvatureGivesNegativeVarianceAndNaNError) {
  const GradientStatus status = status_with_hessian(mat({{-4}}));
  ASSERT_TRUE(status.hessian && status.covariance && status.std_errors);
  EXPECT_EQ(*status.hessian, mat({{-4}}));
  EXPECT_NEAR((*status.covariance)(0, 0), -0.25, kRoundingTolerance);
  EXPECT_TRUE(std::isnan((*status.std_errors)[0]));

  const GradientStatus mixed = status_with_hessian(mat({{-4, 0}, {0, 9}}));
  EXPECT_LT(max_abs_difference(*mixed.covariance, mat({{-0.25, 0}, {0, 1.0 / 9}})),
            kRoundingTolerance);
  EXPECT_TRUE(std::isnan((*mixed.std_errors)[0]));
  EXPECT_NEAR((*mixed.std_errors)[1], 1.0 / 3, kRoundingTolerance);
}

TEST(SetHess, SmallCurvatureOfAWellDefinedDirectionIsInverted) {
  // A curvature of 1e-7 lies below the pseudo-inverse threshold only
  // because of the coordinate's units (a yield of ~1e7 events).
  const GradientStatus status = status_with_hessian(mat({{4, 0}, {0, 1e-7}}));
  const Matrix& cov = *status.covariance;
  EXPECT_NEAR(cov(0, 0), 0.25, kRoundingTolerance);
  EXPECT_NEAR(cov(1, 1) / 1e7, 1.0, kRoundingTolerance);
  EXPECT_EQ(cov(0, 1), 0.0);
  EXPECT_EQ(cov(1, 0), 0.0);
  EXPECT_NEAR((*status.std_errors)[0], 0.5, kRoundingTolerance);
  EXPECT_NEAR((*status.std_errors)[1] / std::sqrt(1e7), 1.0, kRoundingTolerance);
}

TEST(SetHess, ExactlySingularDirectionGetsZeroCovarianceAndNoError) {
  const GradientStatus diagonal = status_with_hessian(mat({{4, 0}, {0, 0}}));
  EXPECT_LT(max_abs_difference(*diagonal.covariance, mat({{0.25, 0}, {0, 0}})),
            kRoundingTolerance);
  EXPECT_NEAR((*diagonal.std_errors)[0], 0.5, kRoundingTolerance);
  EXPECT_TRUE(std::isnan((*diagonal.std_errors)[1]));

  // H = [[1, 1], [1, 1]] is singular along (1, −1): the pseudo-inverse
  // has that direction in its null space and inverts the other, 1/2 along
  // (1, 1)/√2.
  const GradientStatus coupled = status_with_hessian(mat({{1, 1}, {1, 1}}));
  const Matrix& cov = *coupled.covariance;
  EXPECT_LT((cov * vec({1, -1})).cwiseAbs().maxCoeff(), kRoundingTolerance);
  EXPECT_LT(max_abs_difference(cov, mat({{0.25, 0.25}, {0.25, 0.25}})), kRoundingTolerance);
}

TEST(SetHess, HessianWithEntriesFrom1eMinus7To1e9IsInvertedToFullPrecision) {
  // H = D M D with a well-conditioned correlation matrix M and scales
  // D = diag(√1e9, 1, √1e-7): its diagonal runs from 1e9 down to 1e-7 and
  // its smallest eigenvalue (~1e-7) lies far below the threshold, yet H is
  // regular and its covariance is exactly H⁻¹ = D⁻¹ M⁻¹ D⁻¹.
  const Matrix m = mat({{1, 0.3, 0.1}, {0.3, 1, 0.2}, {0.1, 0.2, 1}});
  const Vector scale = vec({std::sqrt(1e9), 1.0, std::sqrt(1e-7)});
  const Matrix h = scale.asDiagonal() * m * scale.asDiagonal();
  ASSERT_DOUBLE_EQ(h(0, 0), 1e9);
  ASSERT_DOUBLE_EQ(h(2, 2), 1e-7);

  const GradientStatus status = status_with_hessian(h);
  const Matrix& cov = *status.covariance;
  // Compare in the scaled coordinates, where every entry is of order one.
  const Matrix scaled_cov = scale.asDiagonal() * cov * scale.asDiagonal();
  EXPECT_LT(max_abs_difference(scaled_cov, m.inverse()), kScaledCovarianceTolerance);
  for (Eigen::Index i = 0; i < 3; ++i) {
    const double expected = std::sqrt(m.inverse()(i, i)) / scale[i];
    EXPECT_NEAR((*status.std_errors)[i] / expected, 1.0, kScaledCovarianceTolerance);
  }
}

TEST(SetHess, ZeroDiagonalEntryIsLeftUnscaled) {
  // d_i = 1 where H_ii = 0, so the scaling never divides by zero.
  const GradientStatus status = status_with_hessian(mat({{0, 2}, {2, 0}}));
  EXPECT_LT(max_abs_difference(*status.covariance, mat({{0, 0.5}, {0.5, 0}})),
            kRoundingTolerance);
  EXPECT_TRUE(status.std_errors->array().isNaN().all());
}

TEST(SetHess, CoordinatesHeldFixedAreLeftOutOfTheInverse) {
  // H = [[2, 1], [1, 1]] with coordinate 1 held fixed: the covariance of
  // coordinate 0 is 1/H₀₀ = 0.5 (not (H⁻¹)₀₀ = 1), the fixed row and column
  // are zero and the fixed coordinate has no error.
  GradientStatus status;
  status.set_hess(mat({{2, 1}, {1, 1}}), {false, true});
  EXPECT_LT(max_abs_difference(*status.covariance, mat({{0.5, 0}, {0, 0}})), kRoundingTolerance);
  EXPECT_NEAR((*status.std_errors)[0], std::sqrt(0.5), kRoundingTolerance);
  EXPECT_TRUE(std::isnan((*status.std_errors)[1]));
  EXPECT_EQ(*status.hessian, mat({{2, 1}, {1, 1}}));

  // An indefinite Hessian whose negative direction is the fixed coordinate
  // (a parameter pinned on its bound) still gives the others their errors.
  status.set_hess(mat({{4, 0, 1}, {0, -3, 0}, {1, 0, 1}}), {false, true, false});
  EXPECT_NEAR((*status.covariance)(0, 0), 1.0 / 3, kRoundingTolerance);
  EXPECT_NEAR((*status.covariance)(2, 2), 4.0 / 3, kRoundingTolerance);
  EXPECT_TRUE(std::isnan((*status.std_errors)[1]));
}

TEST(SetHess, NonFiniteHessianGivesAllNaNCovariance) {
  for (const double bad : {kNaN, kInf, -kInf}) {
    const GradientStatus status = status_with_hessian(mat({{1, bad}, {bad, 1}}));
    ASSERT_TRUE(status.covariance && status.std_errors);
    EXPECT_TRUE(status.covariance->array().isNaN().all());
    EXPECT_TRUE(status.std_errors->array().isNaN().all());
    EXPECT_EQ(status.hessian->rows(), 2);
  }
}

TEST(SetHess, EmptyHessianGivesEmptyCovariance) {
  const GradientStatus status = status_with_hessian(Matrix(0, 0));
  EXPECT_EQ(status.covariance->size(), 0);
  EXPECT_EQ(status.std_errors->size(), 0);
}

}  // namespace
}  // namespace tarnwick::optimizer
