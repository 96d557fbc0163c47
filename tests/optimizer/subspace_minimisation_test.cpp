// The search direction: subspace minimisation of the model over the free
// variables from the Cauchy point, cut back into the box.
#include <gtest/gtest.h>

#include "model_support.hpp"
#include "optimizer/algorithms/gradient/cauchy_point.hpp"
#include "optimizer/algorithms/gradient/subspace_minimisation.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::memory_from_pairs;
using testing::model_matrix;
using tarnwick::testing::inside_box;
using tarnwick::testing::kRoundingTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

LimitedMemory empty_memory(Eigen::Index n) {
  LimitedMemory memory;
  memory.reset(n);
  return memory;
}

// Hessian of the quadratic whose pairs fill the memories below.
Matrix pair_hessian() { return mat({{4, 1, 0.5}, {1, 3, 0}, {0.5, 0, 2}}); }

LimitedMemory two_pairs() {
  return memory_from_pairs(pair_hessian(), {vec({1, 0.5, 0}), vec({0, 1, -1})});
}

TEST(BoundConstrainedDirection, WithoutPairsOrBoundsIsMinusTheGradient) {
  const Vector g = vec({3, -1, 0.25});
  EXPECT_EQ(bound_constrained_direction(vec({1, 2, 3}), g, empty_memory(3), box_of(std::nullopt, 3)), -g);
}

TEST(BoundConstrainedDirection, IsZeroWhenEveryVariableIsPinnedAgainstItsBound) {
  const BoundList bounds{LowerUpper{0, 1}, LowerUpper{0, 1}};
  for (const LimitedMemory& memory : {empty_memory(2), memory_from_pairs(mat({{2, 0}, {0, 1}}),
                                                                      {vec({1, 1})})}) {
    EXPECT_EQ(bound_constrained_direction(vec({0, 1}), vec({2, -2}), memory, box_of(bounds, 2)),
              vec({0, 0}));
  }
}

TEST(BoundConstrainedDirection, WithoutBoundsIsTheQuasiNewtonStep) {
  // With every variable free and nothing cut back, the direction is the
  // minimiser of the model: d = −B⁻¹ g.
  const LimitedMemory memory = two_pairs();
  const Matrix b = model_matrix(memory, 3);
  const Vector g = vec({1, -2, 0.5});
  const Vector d = bound_constrained_direction(vec({0, 0, 0}), g, memory, box_of(std::nullopt, 3));
  const Vector expected = -b.fullPivLu().solve(g);
  EXPECT_LT((d - expected).cwiseAbs().maxCoeff(), kRoundingTolerance);
}

TEST(BoundConstrainedDirection, MinimisesTheModelOverTheFreeVariables) {
  // Variable 0 is driven onto its upper bound by the path; the other two
  // stay free, with bounds too wide to cut the step back. At x̄ = x + d the
  // model gradient g + B d vanishes on the free variables.
  const LimitedMemory memory = two_pairs();
  const Matrix b = model_matrix(memory, 3);
  const BoundList bounds{LowerUpper{-1, 0.1}, LowerUpper{-100, 100}, LowerUpper{-100, 100}};
  const Vector x = vec({0, 0, 0});
  const Vector g = vec({-5, 1, 2});
  const CauchyPoint cp = generalized_cauchy_point(x, g, memory, box_of(bounds, 3));
  ASSERT_EQ(cp.free, (std::vector<Eigen::Index>{1, 2}));

  const Vector d = bound_constrained_direction(x, g, memory, box_of(bounds, x.size()));
  EXPECT_EQ(x[0] + d[0], 0.1);
  const Vector model_gradient = g + b * d;
  EXPECT_NEAR(model_gradient[1], 0.0, kRoundingTolerance);
  EXPECT_NEAR(model_gradient[2], 0.0, kRoundingTolerance);
  EXPECT_TRUE(inside_box(x + d, bounds));
}

TEST(SubspaceMinimum, StepBackKeepsEveryFreeVariableInsideTheBox) {
  // x = 0.5, x^c = 0.8, upper bound 1, B = I: r^c = g + (x^c − x) = −0.4,
  // so d^u = 0.4 and α* = (1 − 0.8)/0.4 = 0.5: x̄ lands on the bound.
  const Box box{vec({0}), vec({1})};
  CauchyPoint cp;
  cp.point = vec({0.8});
  cp.c = Vector(0);
  cp.path_exists = true;
  cp.free = {0};
  const Vector x_bar = subspace_minimum(vec({0.5}), vec({-0.7}), empty_memory(1), box, cp);
  EXPECT_DOUBLE_EQ(x_bar[0], 1.0);
  EXPECT_LE(x_bar[0], 1.0);
}

TEST(BoundConstrainedDirection, StaysInsideTheBoxForTightBoxes) {
  // Boxes of shrinking width around x, with pairs: x + d never leaves them.
  const LimitedMemory memory = two_pairs();
  const Vector x = vec({0.2, -0.1, 0.3});
  const Vector g = vec({-1, 2, -0.5});
  for (const double width : {10.0, 1.0, 0.3, 0.05, 1e-3}) {
    SCOPED_TRACE(::testing::Message() << "width " << width);
    const BoundList bounds{LowerUpper{x[0] - width, x[0] + width},
                           LowerUpper{x[1] - 2 * width, x[1] + width},
                           LowerUpper{x[2] - width, x[2] + 3 * width}};
    const Vector d = bound_constrained_direction(x, g, memory, box_of(bounds, x.size()));
    ASSERT_TRUE(d.allFinite());
    EXPECT_TRUE(inside_box(x + d, bounds));
    EXPECT_LT(g.dot(d), 0.0) << "not a descent direction";
  }
}

}  // namespace
}  // namespace tarnwick::optimizer
