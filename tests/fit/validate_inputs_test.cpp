#include "fit/validate_inputs.hpp"

#include <gtest/gtest.h>

#include "fit/shape_parameter.hpp"
#include "test_events.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

using tarnwick::testing::IsError;
using tarnwick::testing::kInf;
using tarnwick::testing::kNaN;

SPlotConfig config_with(double tolerance = 1e-8) { return SPlotConfig{{}, {}, 1000, tolerance}; }

TEST(ShapeParameterCheck, MessagesInOrder) {
  EXPECT_TRUE(IsError<InvalidInput>(make_shape_parameter("", 0.5, 0, 1),
                                    "invalid input: shape parameter has an invalid name or "
                                    "initial value"));
  // A non-finite initial value fails first even when the bounds are open.
  EXPECT_TRUE(IsError<InvalidInput>(make_shape_parameter("mu", kInf, -kInf, kInf),
                                    "invalid input: shape parameter has an invalid name or "
                                    "initial value"));
  EXPECT_TRUE(IsError<InvalidInput>(
      make_shape_parameter("mu", 1, 1, 1),
      "invalid input: lower bound must be strictly less than upper bound: lower=1, upper=1"));
  EXPECT_TRUE(IsError<InvalidInput>(make_shape_parameter("mu", 0.5, kNaN, 1),
                                    "invalid input: lower or upper bound is NaN: lower=NaN, "
                                    "upper=1"));
  EXPECT_TRUE(IsError<InvalidInput>(
      make_shape_parameter("mu", 5, 0, 1),
      "invalid input: bounds must contain initial value: initial=5, bounds=(0, 1)"));
  auto ok = make_shape_parameter(" ", 1e-8, -kInf, kInf);
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, (ShapeParameter{" ", 1e-8, -kInf, kInf}));
}

TEST(ValidateInputs, EarlierChecksWin) {
  const EventRows empty;
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(empty, 0, {}, config_with()),
                                    "invalid input: data must not be empty"));
  EventRows events = constant_events(4, 1.0);
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 0, {}, config_with()),
                                    "invalid input: at least one PDF is required"));
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(EventRows(3, 0), 1, {}, config_with()),
                                    "invalid input: events must have one consistent, nonzero "
                                    "dimension"));
  // A NaN coordinate is reported even though the weights are also wrong.
  events.row(2)[1] = kNaN;
  SPlotConfig bad_weights = config_with();
  bad_weights.event_weights = std::vector<double>{1.0};
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, {}, bad_weights),
                                    "invalid input: event coordinates must be finite"));
}

TEST(ValidateInputs, StepLimitAndTolerance) {
  const EventRows events = constant_events(4, 1.0);
  SPlotConfig config = config_with();
  config.max_steps.reset();
  EXPECT_TRUE(validate_inputs(events, 1, {}, config));
  config.max_steps = 0;
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, {}, config),
                                    "invalid input: max_steps must be positive"));
  EXPECT_TRUE(validate_inputs(events, 1, {}, config_with(5e-324)));
  for (const double t : {0.0, -1.0, kInf, kNaN}) {
    EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, {}, config_with(t)),
                                      "invalid input: tolerance must be finite and positive"))
        << t;
  }
}

TEST(ValidateInputs, Weights) {
  const EventRows events = constant_events(4, 1.0);
  SPlotConfig config = config_with();
  config.event_weights = std::vector<double>{1, 1, 1};
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, {}, config),
                                    "invalid input: event_weights has length 3, expected 4"));
  config.event_weights = std::vector<double>{1, kInf, 1, 1};
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, {}, config),
                                    "invalid input: event weights must be finite"));
  config.event_weights = std::vector<double>{2, 0, -1, 3};
  auto ok = validate_inputs(events, 2, {}, config);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->event_weights, (std::vector<double>{2, 0, -1, 3}));
  EXPECT_EQ(ok->initial_yields, (std::vector<double>{2, 2}));
}

TEST(ValidateInputs, DuplicateNamesAreQuoted) {
  const EventRows events = constant_events(4, 1.0);
  const std::vector<ShapeParameter> shapes{{"a", 0, -1, 1}, {"A", 0, -1, 1}, {"a", 0, -1, 1}};
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 1, shapes, config_with()),
                                    "invalid input: shape parameter name \"a\" is duplicated"));
  const std::vector<ShapeParameter> quoted{{"q\"\n", 0, -1, 1}, {"q\"\n", 0, -1, 1}};
  EXPECT_TRUE(IsError<InvalidInput>(
      validate_inputs(events, 1, quoted, config_with()),
      "invalid input: shape parameter name \"q\\\"\\n\" is duplicated"));
}

TEST(ValidateInputs, InitialYields) {
  const EventRows events = constant_events(4, 1.0);
  const std::string message =
      "invalid input: initial_yields must match the PDFs, be finite and nonnegative, and have "
      "positive sum";
  auto defaults = validate_inputs(events, 2, {}, config_with());
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->initial_yields, (std::vector<double>{2, 2}));
  EXPECT_EQ(defaults->event_weights, (std::vector<double>(4, 1.0)));

  SPlotConfig config = config_with();
  config.initial_yields = std::vector<double>{0, 5};
  EXPECT_TRUE(validate_inputs(events, 2, {}, config));
  config.initial_yields = std::vector<double>{-0.0, 5};
  EXPECT_TRUE(validate_inputs(events, 2, {}, config));
  for (const auto& bad : {std::vector<double>{0, 0}, std::vector<double>{-1, 5},
                          std::vector<double>{1}, std::vector<double>{1, kNaN},
                          std::vector<double>{1, kInf}}) {
    config.initial_yields = bad;
    EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(events, 2, {}, config), message));
  }
  // Signed weights summing to zero make the default start unusable.
  const EventRows two = constant_events(2, 1.0);
  SPlotConfig zero_sum = config_with();
  zero_sum.event_weights = std::vector<double>{1, -1};
  EXPECT_TRUE(IsError<InvalidInput>(validate_inputs(two, 2, {}, zero_sum), message));
}

}  // namespace
}  // namespace tarnwick::fit::testing
