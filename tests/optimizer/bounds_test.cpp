// Box constraints: conversion of (lower, upper) pairs, installing them on a
// configuration, and projecting a point into the box.
#include <gtest/gtest.h>

#include <vector>

#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/core/bounds.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using tarnwick::testing::IsConfigurationError;
using tarnwick::testing::kInf;
using tarnwick::testing::kNaN;
using tarnwick::testing::vec;

constexpr const char* kBadPairText = "bounds must be ordered and must not contain NaN";

TEST(BoundsFromPairs, KindFollowsWhichEndsAreFinite) {
  const auto bounds = bounds_from_pairs({{0, kInf}, {-kInf, kInf}, {-kInf, -1}, {-2, 2}});
  ASSERT_TRUE(bounds.has_value());
  const BoundList expected{Lower{0}, Unbounded{}, Upper{-1}, LowerUpper{-2, 2}};
  EXPECT_EQ(*bounds, expected);
}

TEST(BoundsFromPairs, OneEqualUnorderedOrNaNPairRejectsTheWholeList) {
  const std::vector<BoundPair> bad_pairs{{1, 1},        {2, 1},      {kNaN, 1},
                                         {1, kNaN},     {kNaN, kNaN}, {-kInf, -kInf},
                                         {kInf, kInf},  {kInf, -kInf}};
  for (const auto& bad : bad_pairs) {
    SCOPED_TRACE(::testing::Message() << "bad pair (" << bad.first << ", " << bad.second << ")");
    EXPECT_TRUE(IsConfigurationError(bounds_from_pairs({{0, 1}, bad, {-1, 1}}), kBadPairText));
  }
}

TEST(LBFGSBConfig, WithBoundsReplacesAnEarlierList) {
  auto first = LBFGSBConfig{}.with_bounds({{0, 1}, {0, 1}, {0, 1}});
  ASSERT_TRUE(first.has_value());
  auto second = std::move(*first).with_bounds({{-kInf, 5}});
  ASSERT_TRUE(second.has_value());
  ASSERT_TRUE(second->bounds.has_value());
  EXPECT_EQ(*second->bounds, (BoundList{Upper{5}}));
}

TEST(LBFGSBConfig, WithBoundsReportsABadPair) {
  EXPECT_TRUE(IsConfigurationError(LBFGSBConfig{}.with_bounds({{0, 1}, {3, 2}}), kBadPairText));
}

TEST(Clip, ProjectsEachBoundedCoordinateIntoItsBox) {
  const BoundList bounds{LowerUpper{0, 1}, LowerUpper{0, 1}, LowerUpper{0, 1},
                         Lower{2},         Upper{-2},        Unbounded{}};
  const Box box = box_of(bounds, 6);
  EXPECT_EQ(box.clip(vec({-3, 0.25, 7, 1, 0, -1e300})), vec({0, 0.25, 1, 2, -2, -1e300}));
  EXPECT_EQ(box.clip(vec({0, 1, 0.5, 2, -2, 0})), vec({0, 1, 0.5, 2, -2, 0}));
}

TEST(Clip, CoordinatesWithoutABoundAreUnchanged) {
  const Vector point = vec({-5, 5, 50});
  EXPECT_EQ(box_of(std::nullopt, 3).clip(point), point);
  EXPECT_EQ(box_of(BoundList{}, 3).clip(point), point);
  // A point longer than the list keeps its extra coordinates.
  EXPECT_EQ(box_of(BoundList{LowerUpper{0, 1}}, 3).clip(point), vec({0, 5, 50}));
}

}  // namespace
}  // namespace tarnwick::optimizer
