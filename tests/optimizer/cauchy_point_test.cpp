// The generalized Cauchy point: the first local minimiser of the model
// along the projected steepest-descent path, with the variables it pins to
// a bound and the free variables it leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model_support.hpp"
#include "optimizer/algorithms/gradient/cauchy_point.hpp"
#include "optimizer/algorithms/gradient/subspace_minimisation.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::memory_from_pairs;
using testing::model_matrix;
using testing::model_value;
using tarnwick::testing::inside_box;
using tarnwick::testing::kInf;
using tarnwick::testing::kRoundingTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

using Indices = std::vector<Eigen::Index>;

LimitedMemory no_pairs(Eigen::Index n) {
  LimitedMemory memory;
  memory.reset(n);
  return memory;
}

TEST(CauchyPoint, WithoutBoundsOrPairsIsTheFullSteepestDescentStep) {
  // Every breakpoint is +∞ and Δt_min = (d·d)/(d·d) = 1: x^c = x − g.
  const Vector x = vec({1, -2, 3});
  const Vector g = vec({0.5, -4, 0});
  const CauchyPoint cp = generalized_cauchy_point(x, g, no_pairs(3), box_of(std::nullopt, 3));
  ASSERT_TRUE(cp.path_exists);
  EXPECT_EQ(cp.point, x - g);
  EXPECT_EQ(cp.free, (Indices{0, 1, 2}));
}

TEST(CauchyPoint, NoPathWhenEveryVariableIsPinnedAgainstItsBound) {
  // At the lower bound with g > 0 and at the upper bound with g < 0: every
  // breakpoint is ≤ 0.
  const BoundList bounds{LowerUpper{0, 1}, Lower{2}, Upper{-1}};
  const Vector x = vec({1, 2, -1});
  const CauchyPoint cp =
      generalized_cauchy_point(x, vec({-3, 1, -1}), no_pairs(3), box_of(bounds, 3));
  EXPECT_FALSE(cp.path_exists);
  EXPECT_EQ(cp.point, x);
}

TEST(CauchyPoint, BoundReachedBeforeTheModelMinimumPinsTheVariableExactly) {
  // x = (0.5, 0), box [0, 1] × ℝ, g = (−1, −2), B = I. Variable 0 reaches
  // 1 at t = 0.5 < Δt_min = 1; then f′ = −2, f″ = 4, so the path continues
  // 0.5 further: x^c = (1, 0 + 1·2), only variable 1 free.
  const BoundList bounds{LowerUpper{0, 1}, Unbounded{}};
  const CauchyPoint cp =
      generalized_cauchy_point(vec({0.5, 0}), vec({-1, -2}), no_pairs(2), box_of(bounds, 2));
  EXPECT_EQ(cp.point[0], 1.0);
  EXPECT_DOUBLE_EQ(cp.point[1], 2.0);
  EXPECT_EQ(cp.free, (Indices{1}));
}

TEST(CauchyPoint, SingleBoundedVariableEndsOnItsBoundWithNoFreeVariable) {
  // l = 0, u = 1, x = 0.5, g = −1: t = 0.5 ≤ Δt_min = 1.
  const BoundList bounds{LowerUpper{0, 1}};
  const CauchyPoint cp =
      generalized_cauchy_point(vec({0.5}), vec({-1}), no_pairs(1), box_of(bounds, 1));
  EXPECT_EQ(cp.point, vec({1}));
  EXPECT_TRUE(cp.free.empty());
  EXPECT_EQ(bound_constrained_direction(vec({0.5}), vec({-1}), no_pairs(1), box_of(bounds, 1)), vec({0.5}));
}

TEST(CauchyPoint, BreakpointBelowEpsilonKeepsItsVariableAndTheRestOfThePath) {
  // Variable 0 sits 1e-17 above its lower bound 0 with g_0 = 1, so
  // t_0 = 1e-17 < ε and it does not move (d_0 = 0), yet it is the first
  // breakpoint of the path. Variable 1 is unbounded with g_1 = −1, B = I.
  // Passing t_0 changes nothing but the path's position, so the model
  // minimum along the path is still at t ≈ 1: x^c_1 ≈ 1.
  const BoundList bounds{Lower{0}, Unbounded{}};
  const Vector x = vec({1e-17, 0});
  const Vector g = vec({1, -1});
  const CauchyPoint cp = generalized_cauchy_point(x, g, no_pairs(2), box_of(bounds, 2));
  EXPECT_EQ(cp.point[0], 1e-17);
  EXPECT_NEAR(cp.point[1], 1.0, kRoundingTolerance);
  EXPECT_EQ(cp.free, (Indices{0, 1}));

  const Vector d = bound_constrained_direction(x, g, no_pairs(2), box_of(bounds, x.size()));
  ASSERT_TRUE(d.allFinite());
  EXPECT_TRUE(inside_box(x + d, bounds));
  EXPECT_NEAR(d[1], 1.0, kRoundingTolerance);
}

TEST(CauchyPoint, ZeroCurvatureAlongAnEmptyPathKeepsEverythingFinite) {
  // The only variable has a breakpoint below ε, so the path direction is
  // zero: f′ = f″ = 0 and Δt_min = 0/0 is NaN, taken as 0. With a stored
  // pair, c = Wᵀ(x^c − x) must stay 0, not NaN.
  const BoundList bounds{Lower{0}};
  const Vector x = vec({1e-17});
  const Vector g = vec({1});
  const LimitedMemory memory = memory_from_pairs(mat({{2}}), {vec({1})});
  ASSERT_TRUE(memory.middle_matrix().has_value());
  const CauchyPoint cp = generalized_cauchy_point(x, g, memory, box_of(bounds, 1));
  EXPECT_EQ(cp.point, x);
  ASSERT_EQ(cp.c.size(), 2);
  EXPECT_TRUE(cp.c.allFinite());
  EXPECT_EQ(cp.free, (Indices{0}));

  const Vector d = bound_constrained_direction(x, g, memory, box_of(bounds, x.size()));
  ASSERT_TRUE(d.allFinite());
  EXPECT_TRUE(inside_box(x + d, bounds));
}

TEST(CauchyPoint, SmallGradientNextToALargeOneOnABoundedVariableGivesAFiniteDirection) {
  // g_1² is below the rounding of d·d = g_0² + g_1², so once variable 0
  // reaches its bound the curvature left along the path cancels to zero in
  // floating point. The path must still end at a finite point, and the
  // direction must stay in the box and descend.
  const BoundList bounds{LowerUpper{0, 1}, Unbounded{}};
  const Vector x = vec({0.29186466052722249, 0});
  const Vector g = vec({8.1323632216729038, 1.8189894035458565e-12});
  const CauchyPoint cp = generalized_cauchy_point(x, g, no_pairs(2), box_of(bounds, 2));
  ASSERT_TRUE(cp.point.allFinite());
  EXPECT_EQ(cp.point[0], 0.0);
  const Vector d = bound_constrained_direction(x, g, no_pairs(2), box_of(bounds, x.size()));
  ASSERT_TRUE(d.allFinite());
  EXPECT_TRUE(inside_box(x + d, bounds));
  EXPECT_LT(g.dot(d), 0.0);
}

TEST(CauchyPoint, IsTheFirstLocalMinimiserOfTheModelAlongTheProjectedPath) {
  // Pairs of the quadratic with Hessian A, so that B is positive definite,
  // and a box that the steepest-descent path runs into.
  const Matrix a = mat({{3, 1, 0}, {1, 2, 0.5}, {0, 0.5, 1}});
  const LimitedMemory memory = memory_from_pairs(a, {vec({1, 0, 0}), vec({0, 1, 1})});
  const Matrix b = model_matrix(memory, 3);
  const BoundList bounds{LowerUpper{0, 1}, LowerUpper{0, 1}, Unbounded{}};
  const Box box = box_of(bounds, 3);
  const Vector x = vec({0.5, 0.5, 0.5});
  const Vector g = vec({-4, 1, 3});
  const CauchyPoint cp = generalized_cauchy_point(x, g, memory, box);

  // x(t) = P(x − t g).
  const auto path = [&](double t) {
    return Vector((x - t * g).cwiseMax(box.lower).cwiseMin(box.upper));
  };
  // Variable 2 is unbounded and moves with t, which locates t_cp.
  const double t_cp = (x[2] - cp.point[2]) / g[2];
  ASSERT_GT(t_cp, 0.0);
  // Both bounded variables are passed on the way (t_0 = 0.125, t_1 = 0.5).
  ASSERT_EQ(cp.point[0], 1.0);
  ASSERT_EQ(cp.point[1], 0.0);
  EXPECT_LT((path(t_cp) - cp.point).cwiseAbs().maxCoeff(), kRoundingTolerance);

  const double m_cp = model_value(b, x, g, cp.point);
  double previous = model_value(b, x, g, x);
  for (int k = 1; k <= 100; ++k) {
    const double m = model_value(b, x, g, path(t_cp * k / 100.0));
    EXPECT_LE(m, previous + kRoundingTolerance) << "the model rises before x^c, k = " << k;
    previous = m;
  }
  EXPECT_GE(model_value(b, x, g, path(t_cp * 1.01)), m_cp);
  EXPECT_EQ(cp.free, (Indices{2}));
  EXPECT_LT((cp.c - memory.w_matrix().transpose() * (cp.point - x)).cwiseAbs().maxCoeff(),
            kRoundingTolerance);
}

}  // namespace
}  // namespace tarnwick::optimizer
