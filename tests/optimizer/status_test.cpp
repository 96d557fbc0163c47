// What a run reports: the status message, the optimizer's error texts and
// the summary built from a status.
#include <gtest/gtest.h>

#include <cmath>

#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/core/optimizer_error.hpp"
#include "optimizer/core/status.hpp"
#include "optimizer/core/summary.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using tarnwick::testing::vec;

TEST(StatusMessage, DisplaysKindThenColonThenANonEmptyText) {
  EXPECT_EQ(StatusMessage{}.display(), "Uninitialized");
  StatusMessage converged;
  converged.succeed();
  converged.set_text("GRADIENT CONVERGED");
  EXPECT_EQ(converged.display(), "Success: GRADIENT CONVERGED");
  StatusMessage initialized;
  initialized.initialize();
  EXPECT_EQ(initialized.display(), "Initialized");
  StatusMessage step;
  step.step();
  step.set_text("");
  EXPECT_EQ(step.display(), "Step");
}

TEST(StatusMessage, EveryTransitionSetsItsKindAndDropsTheText) {
  struct Transition {
    void (StatusMessage::*apply)();
    StatusType kind;
    const char* shown;
  };
  const Transition transitions[] = {
      {&StatusMessage::reset, StatusType::Uninitialized, "Uninitialized"},
      {&StatusMessage::initialize, StatusType::Initialized, "Initialized"},
      {&StatusMessage::step, StatusType::Step, "Step"},
      {&StatusMessage::succeed, StatusType::Success, "Success"},
      {&StatusMessage::fail, StatusType::Failed, "Failed"},
  };
  for (const auto& transition : transitions) {
    StatusMessage message;
    message.set_kind(StatusType::Message);
    message.set_text("old text");
    (message.*transition.apply)();
    EXPECT_EQ(message.kind(), transition.kind);
    EXPECT_FALSE(message.text().has_value());
    EXPECT_EQ(message.display(), transition.shown);
  }
  EXPECT_EQ(display_name(StatusType::Message), "Message");
}

TEST(OptimizerError, DisplayCarriesTheKindPrefix) {
  EXPECT_EQ(to_string(OptimizerError{ConfigurationError{"eps_abs must be greater than 0"}}),
            "Configuration error: eps_abs must be greater than 0");
  EXPECT_EQ(to_string(OptimizerError{NumericalError{"x"}}), "Numerical error: x");
}

TEST(MinimizationSummary, WithoutAHessianTheErrorsAreUnknownNotZero) {
  const Vector errors = unknown_uncertainties(2);
  ASSERT_EQ(errors.size(), 2);
  EXPECT_TRUE(std::isnan(errors[0]) && std::isnan(errors[1]));

  GradientStatus status;
  status.best_point = vec({3, 4});
  status.message.succeed();
  const MinimizationSummary summary = LBFGSB::summarize(status, vec({9, 9}), LBFGSBConfig{});
  ASSERT_EQ(summary.std_errors.size(), 2);
  EXPECT_TRUE(std::isnan(summary.std_errors[0]) && std::isnan(summary.std_errors[1]));
  EXPECT_EQ(summary.hessian_evaluations, 0u);
}

}  // namespace
}  // namespace tarnwick::optimizer
