#include "fit/sweights.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

using optimizer::Matrix;
using tarnwick::testing::IsError;

// The values and weights behind a model view.
struct OwnedModel {
  std::vector<std::vector<double>> columns;
  std::vector<double> weights;

  [[nodiscard]] EvaluatedModel view() const {
    EvaluatedModel model;
    for (const auto& c : columns) model.pdf_values.emplace_back(c);
    model.event_weights = weights;
    model.n_events = weights.size();
    model.n_components = columns.size();
    return model;
  }
};

// Two components on four events.
OwnedModel two_component_model(std::vector<double> weights) {
  return {{{2.0, 1.5, 0.2, 0.1}, {0.5, 0.8, 1.2, 1.0}}, std::move(weights)};
}

TEST(YieldInformation, OneComponentIsNOverYSquared) {
  const OwnedModel owned{{std::vector<double>(5, 1.0)}, std::vector<double>(5, 1.0)};
  const EvaluatedModel model = owned.view();
  const std::vector<double> yields{4.0};
  auto info = yield_information(model, yields);
  ASSERT_TRUE(info);
  EXPECT_DOUBLE_EQ((*info)(0, 0), 5.0 / 16.0);
  auto sweights = calculate_sweights(model, yields, Matrix::Constant(1, 1, 16.0 / 5.0));
  ASSERT_TRUE(sweights);
  for (const double s : sweights->values) EXPECT_DOUBLE_EQ(s, 4.0 / 5.0);
}

TEST(YieldInformation, MatchesTheDefiningSum) {
  const OwnedModel owned = two_component_model({1.0, 2.0, 0.5, -1.0});
  const EvaluatedModel model = owned.view();
  const std::vector<double> y{3.0, 7.0};
  auto info = yield_information(model, y);
  ASSERT_TRUE(info);
  for (std::size_t j = 0; j < 2; ++j) {
    for (std::size_t k = 0; k < 2; ++k) {
      double expected = 0.0;
      for (std::size_t i = 0; i < 4; ++i) {
        const double m = y[0] * model.value(i, 0) + y[1] * model.value(i, 1);
        expected += model.event_weights[i] * model.value(i, j) * model.value(i, k) / (m * m);
      }
      EXPECT_NEAR((*info)(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k)), expected,
                  1e-15);
    }
  }
}

TEST(YieldInformation, NonPositiveMixtureNamesTheEvent) {
  OwnedModel zero = two_component_model({1, 1, 1, 1});
  // Event 2 has no density in either component…
  zero.columns[0][2] = 0.0;
  zero.columns[1][2] = 0.0;
  const EvaluatedModel model = zero.view();
  const std::vector<double> y{1.0, 1.0};
  const std::string message = "optimization failed: mixture density is not positive for event 2";
  EXPECT_TRUE(IsError<Optimization>(yield_information(model, y), message));
  EXPECT_TRUE(IsError<Optimization>(calculate_sweights(model, y, Matrix::Identity(2, 2)), message));
  // …and a mixture that underflows to 0 although every value is positive.
  OwnedModel tiny_values = two_component_model({1, 1, 1, 1});
  tiny_values.columns[0][1] = 1e-300;
  tiny_values.columns[1][1] = 1e-300;
  const EvaluatedModel tiny = tiny_values.view();
  const std::vector<double> small{1e-30, 1e-30};
  EXPECT_TRUE(IsError<Optimization>(
      yield_information(tiny, small),
      "optimization failed: mixture density is not positive for event 1"));
}

TEST(CovarianceIsValid, ThresholdFollowsTheTolerance) {
  const Matrix info = Matrix::Identity(2, 2);
  Matrix cov = Matrix::Identity(2, 2);
  EXPECT_TRUE(covariance_is_valid(info, cov, 1e-8));
  cov(0, 1) = 5e-8;  // below the floor 1e-8·10 = 1e-7
  EXPECT_TRUE(covariance_is_valid(info, cov, 1e-8));
  cov(0, 1) = 2e-7;
  EXPECT_FALSE(covariance_is_valid(info, cov, 1e-8));
  EXPECT_TRUE(covariance_is_valid(info, cov, 1e-3));  // threshold 1e-2
  cov(0, 1) = 2e-8;
  EXPECT_FALSE(covariance_is_valid(info, cov, 1e-12));  // floor 1e-8
  cov(0, 1) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(covariance_is_valid(info, cov, 1.0));
  EXPECT_TRUE(covariance_is_valid(Matrix(0, 0), Matrix(0, 0), 1e-8));
}

TEST(CalculateSweights, SignedWeightsScaleTheirRow) {
  const std::vector<double> y{3.0, 7.0};
  const Matrix cov{{2.0, -0.5}, {-0.5, 4.0}};
  const OwnedModel plus_model = two_component_model({1.0, 2.0, 0.0, 1.0});
  const OwnedModel minus_model = two_component_model({1.0, -2.0, 0.0, -1.0});
  auto plus = calculate_sweights(plus_model.view(), y, cov);
  auto minus = calculate_sweights(minus_model.view(), y, cov);
  ASSERT_TRUE(plus && minus);
  for (std::size_t r = 0; r < 2; ++r) {
    EXPECT_EQ((*minus)(1, r), -(*plus)(1, r));
    EXPECT_EQ((*minus)(3, r), -(*plus)(3, r));
    EXPECT_EQ((*plus)(2, r), 0.0);
    EXPECT_EQ((*minus)(0, r), (*plus)(0, r));
  }
}

}  // namespace
}  // namespace tarnwick::fit::testing
