// EigenProvider: products, and LU solves that report "no result" only at an
// exactly zero pivot.
#include <gtest/gtest.h>

#include <cmath>

#include "optimizer/core/eigen_provider.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using tarnwick::testing::kRoundingTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

TEST(LinearAlgebra, ProductsOfNonSquareOperandsKeepTheirOrientation) {
  const EigenProvider la;
  const Matrix a = mat({{1, 2, 3}, {4, 5, 6}});  // 2 × 3
  const Matrix b = mat({{1, 0}, {0, 1}, {1, 1}});  // 3 × 2
  EXPECT_EQ(la.mat_mul(a, b), mat({{4, 5}, {10, 11}}));
  EXPECT_EQ(la.mat_vec(a, vec({1, -1, 2})), vec({5, 11}));
  EXPECT_EQ(la.mat_sub(a, mat({{1, 1, 1}, {2, 2, 2}})), mat({{0, 1, 2}, {2, 3, 4}}));
  EXPECT_EQ(la.vec_dot(vec({1, 2, 3}), vec({4, -5, 6})), 12.0);
  EXPECT_EQ(la.vec_dot(Vector(0), Vector(0)), 0.0);
}

TEST(LinearAlgebra, ShapeMismatchIsAnInternalFaultInEveryBuild) {
  const EigenProvider la;
  EXPECT_DEATH((void)la.vec_dot(vec({1, 2}), vec({1, 2, 3})), "internal fault");
  EXPECT_DEATH((void)la.mat_mul(mat({{1, 2}}), mat({{1, 2}})), "internal fault");
  EXPECT_DEATH((void)la.lu_solve(mat({{1, 2}}), vec({1})), "internal fault");
  EXPECT_DEATH((void)la.lu_solve(mat({{1, 0}, {0, 1}}), vec({1, 2, 3})), "internal fault");
}

TEST(LuSolve, ExactlySingularMatrixHasNoResult) {
  const EigenProvider la;
  const Matrix singular = mat({{1, 2}, {2, 4}});
  EXPECT_FALSE(la.lu_solve(singular, vec({1, 2})).has_value());
  EXPECT_FALSE(la.lu_solve(singular, vec({0, 0})).has_value());
  EXPECT_FALSE(la.lu_solve_matrix(singular, Matrix::Identity(2, 2)).has_value());
  EXPECT_FALSE(la.lu_inverse(singular).has_value());
  EXPECT_FALSE(la.lu_inverse(Matrix::Zero(3, 3)).has_value());
}

TEST(LuSolve, NearlySingularMatrixIsSolvedWithoutAThreshold) {
  // The second pivot is 2⁻⁵² ≠ 0: a solution exists and is exact here.
  const EigenProvider la;
  const double tiny = std::ldexp(1.0, -52);
  const Matrix a = mat({{1, 1}, {1, 1 + tiny}});
  const auto x = la.lu_solve(a, vec({1, 1 + tiny}));
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(*x, vec({0, 1}));
  const auto inverse = la.lu_inverse(a);
  ASSERT_TRUE(inverse.has_value());
  EXPECT_GT(std::abs((*inverse)(0, 0)), 1e15);
}

TEST(LuSolve, SolvesEveryColumnOfAMatrixRightHandSide) {
  const EigenProvider la;
  const Matrix a = mat({{4, 1, 0}, {1, 3, 1}, {0, 1, 2}});
  const Matrix b = mat({{1, 0}, {2, 1}, {3, -1}});
  const auto x = la.lu_solve_matrix(a, b);
  ASSERT_TRUE(x.has_value());
  EXPECT_LT((a * *x - b).cwiseAbs().maxCoeff(), kRoundingTolerance);
  const auto x0 = la.lu_solve(a, b.col(0));
  ASSERT_TRUE(x0.has_value());
  EXPECT_LT((*x0 - x->col(0)).cwiseAbs().maxCoeff(), kRoundingTolerance);
}

TEST(LuInverse, PivotingInvertsAMatrixWithAZeroLeadingEntry) {
  const EigenProvider la;
  const auto inverse = la.lu_inverse(mat({{0, 1}, {1, 0}}));
  ASSERT_TRUE(inverse.has_value());
  EXPECT_EQ(*inverse, mat({{0, 1}, {1, 0}}));
}

TEST(LuInverse, EmptyMatrixHasAnEmptyInverse) {
  const EigenProvider la;
  const auto inverse = la.lu_inverse(Matrix(0, 0));
  ASSERT_TRUE(inverse.has_value());
  EXPECT_EQ(inverse->rows(), 0);
  EXPECT_EQ(inverse->cols(), 0);
}

}  // namespace
}  // namespace tarnwick::optimizer
