// The compact limited-memory matrix: curvature test, θ, W = [Y | θS] and
// K = [[−D, Lᵀ], [L, θSᵀS]], eviction of the oldest pair, and reset.
#include <gtest/gtest.h>

#include "optimizer/algorithms/gradient/limited_memory.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using tarnwick::testing::kMachineEpsilon;
using tarnwick::testing::kNaN;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

LimitedMemory empty_memory(Eigen::Index n, std::size_t limit) {
  LimitedMemory memory;
  memory.set_limit(limit);
  memory.reset(n);
  return memory;
}

TEST(LimitedMemory, FirstPairSetsThetaWAndK) {
  // s = (1, 1), y = (2, 0): s·y = 2, y·y = 4, s·s = 2, so θ = 2,
  // W = [y | 2s] and K = [[−2, 0], [0, 2·(s·s)]].
  LimitedMemory memory = empty_memory(2, 10);
  ASSERT_TRUE(memory.offer(vec({1, 1}), vec({2, 0})));
  EXPECT_EQ(memory.theta(), 2.0);
  EXPECT_EQ(memory.w_matrix(), mat({{2, 2}, {0, 2}}));
  ASSERT_TRUE(memory.middle_matrix().has_value());
  EXPECT_EQ(*memory.middle_matrix(), mat({{-2, 0}, {0, 4}}));
}

TEST(LimitedMemory, TwoPairsPutSiDotYjBelowTheDiagonalOnly) {
  // s0 = e0, y0 = (2, 1, 0); s1 = e1, y1 = (5, 3, 1).
  // D = diag(s0·y0, s1·y1) = diag(2, 3); L_10 = s1·y0 = 1 (s0·y1 = 5 must
  // not appear); SᵀS = I; θ = y1·y1 / s1·y1 = 35/3.
  LimitedMemory memory = empty_memory(3, 10);
  ASSERT_TRUE(memory.offer(vec({1, 0, 0}), vec({2, 1, 0})));
  ASSERT_TRUE(memory.offer(vec({0, 1, 0}), vec({5, 3, 1})));
  const double theta = 35.0 / 3.0;
  EXPECT_DOUBLE_EQ(memory.theta(), theta);
  const Matrix expected_w = mat({{2, 5, theta, 0}, {1, 3, 0, theta}, {0, 1, 0, 0}});
  EXPECT_EQ(memory.w_matrix(), expected_w);
  const Matrix expected_k = mat({{-2, 0, 0, 1},  //
                                 {0, -3, 0, 0},
                                 {0, 0, theta, 0},
                                 {1, 0, 0, theta}});
  EXPECT_EQ(*memory.middle_matrix(), expected_k);
}

// Pair j of a sequence of distinct pairs, all passing the curvature test.
std::pair<Vector, Vector> pair_number(int j) {
  const double t = j;
  return {vec({1, t, 0.5 * t}), vec({2, t, 1 + t * t})};
}

TEST(LimitedMemory, EleventhPairEvictsTheFirstAndRebuildsFromTheRest) {
  LimitedMemory full = empty_memory(3, 10);
  for (int j = 0; j < 11; ++j) {
    const auto [s, y] = pair_number(j);
    ASSERT_TRUE(full.offer(s, y));
  }
  ASSERT_EQ(full.s_history().size(), 10u);
  EXPECT_EQ(full.s_history().front(), pair_number(1).first);
  EXPECT_EQ(full.y_history().back(), pair_number(10).second);

  // The same memory as one that only ever saw pairs 1 … 10.
  LimitedMemory fresh = empty_memory(3, 10);
  for (int j = 1; j < 11; ++j) {
    const auto [s, y] = pair_number(j);
    ASSERT_TRUE(fresh.offer(s, y));
  }
  EXPECT_EQ(full.theta(), fresh.theta());
  EXPECT_EQ(full.w_matrix(), fresh.w_matrix());
  EXPECT_EQ(full.w_matrix().cols(), 20);
  EXPECT_EQ(*full.middle_matrix(), *fresh.middle_matrix());
}

TEST(LimitedMemory, LimitZeroKeepsOnePairLikeLimitOne) {
  LimitedMemory zero = empty_memory(3, 0);
  LimitedMemory one = empty_memory(3, 1);
  for (int j = 0; j < 3; ++j) {
    const auto [s, y] = pair_number(j);
    ASSERT_TRUE(zero.offer(s, y));
    ASSERT_TRUE(one.offer(s, y));
  }
  ASSERT_EQ(zero.s_history().size(), 1u);
  EXPECT_EQ(zero.s_history().front(), pair_number(2).first);
  EXPECT_EQ(zero.w_matrix(), one.w_matrix());
  EXPECT_EQ(*zero.middle_matrix(), *one.middle_matrix());
}

TEST(LimitedMemory, CurvatureTestIsStrictAndRejectsNaN) {
  LimitedMemory memory = empty_memory(2, 10);
  ASSERT_TRUE(memory.offer(vec({1, 1}), vec({2, 0})));
  const Matrix w_before = memory.w_matrix();
  const Matrix k_before = *memory.middle_matrix();

  // s·y = ε·(y·y) exactly, s·y < 0, s·y = 0, and a NaN product.
  EXPECT_FALSE(memory.offer(vec({kMachineEpsilon, 0}), vec({1, 0})));
  EXPECT_FALSE(memory.offer(vec({1, 0}), vec({-1, 0})));
  EXPECT_FALSE(memory.offer(vec({1, 0}), vec({0, 1})));
  EXPECT_FALSE(memory.offer(vec({1, 0}), vec({kNaN, 0})));
  EXPECT_EQ(memory.s_history().size(), 1u);
  EXPECT_EQ(memory.theta(), 2.0);
  EXPECT_EQ(memory.w_matrix(), w_before);
  EXPECT_EQ(*memory.middle_matrix(), k_before);

  // Just above the threshold the pair is kept.
  EXPECT_TRUE(memory.offer(vec({2 * kMachineEpsilon, 0}), vec({1, 0})));
  EXPECT_EQ(memory.s_history().size(), 2u);
}

TEST(LimitedMemory, ResetReturnsToTheScaledIdentity) {
  LimitedMemory memory = empty_memory(2, 10);
  ASSERT_TRUE(memory.offer(vec({1, 1}), vec({2, 0})));
  memory.reset(2);
  EXPECT_EQ(memory.theta(), 1.0);
  EXPECT_TRUE(memory.s_history().empty());
  EXPECT_TRUE(memory.y_history().empty());
  EXPECT_EQ(memory.w_matrix().rows(), 2);
  EXPECT_EQ(memory.w_matrix().cols(), 0);
  EXPECT_FALSE(memory.middle_matrix().has_value());
}

}  // namespace
}  // namespace tarnwick::optimizer
