// The callback list of a run: step indices, the order in which entries are
// consulted, the step limit, and which terminator wins when several could
// stop the same step.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "optimizer/algorithms/gradient/callbacks.hpp"
#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "test_callbacks.hpp"
#include "test_problems.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::convergence_callbacks;
using testing::FunctionProblem;
using testing::Log;
using testing::max_steps;
using testing::recorder;
using testing::rosenbrock;
using testing::StopAtStep;
using tarnwick::testing::kUnreachable;
using tarnwick::testing::vec;

// Rosenbrock from the usual far start point: it takes dozens of steps to
// converge, so the first few steps stop only by a terminator's choice.
const Vector kFarStart = vec({-1.2, 1});

std::expected<MinimizationSummary, testing::ProblemError> run(const FunctionProblem& problem,
                                                              Callbacks callbacks) {
  LBFGSBConfig config;
  config.skip_hessian = true;
  return LBFGSB{}.process(problem, kFarStart, config, std::move(callbacks));
}

TEST(MaxSteps, EndsTheRunAfterExactlyNSteps) {
  for (const std::uint64_t n : {1u, 3u, 7u}) {
    SCOPED_TRACE(::testing::Message() << "n = " << n);
    const FunctionProblem problem = rosenbrock();
    auto log = std::make_shared<Log>();
    Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
    const auto result = run(problem, with_terminator(std::move(callbacks), max_steps(n)));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(log->size(), n);
    EXPECT_EQ(log->back().step, n - 1);
    EXPECT_EQ(result->message.kind(), StatusType::Message);
    EXPECT_EQ(result->message.display(),
              "Message: Maximum number of steps reached (" + std::to_string(n) + ")");
  }
}

TEST(MaxSteps, ZeroStopsAfterTheFirstStep) {
  const FunctionProblem problem = rosenbrock();
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  const auto result = run(problem, with_terminator(std::move(callbacks), max_steps(0)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(log->size(), 1u);
  EXPECT_EQ(result->message.display(), "Message: Maximum number of steps reached (0)");
}

TEST(Callbacks, EntriesAfterTheStoppingTerminatorAreNotConsulted) {
  const FunctionProblem problem = rosenbrock();
  auto before = std::make_shared<Log>();
  auto after = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(before));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<StopAtStep>(2, "first"));
  callbacks = with_observer(std::move(callbacks), recorder(after));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<StopAtStep>(2, "second"));
  const auto result = run(problem, std::move(callbacks));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->message.display(), "Message: first");
  ASSERT_EQ(before->size(), 3u);
  EXPECT_EQ(after->size(), 2u);
  for (std::size_t k = 0; k < before->size(); ++k) EXPECT_EQ((*before)[k].step, k);
}

TEST(Callbacks, StepLimitEndsARunThatConvergesInNeitherSense) {
  const FunctionProblem problem = rosenbrock();
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  for (auto& entry : convergence_callbacks(kUnreachable, kUnreachable, kUnreachable).entries) {
    callbacks.entries.push_back(std::move(entry));
  }
  const auto result = run(problem, with_terminator(std::move(callbacks), max_steps(3)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(log->size(), 3u);
  EXPECT_EQ(result->message.display(), "Message: Maximum number of steps reached (3)");
}

TEST(Callbacks, ObjectiveChangeBelowToleranceAtTheLastStepWinsOverTheStepLimit) {
  // Measure the objective after each of the first three steps, then choose
  // eps_f between the second change and the first: the F terminator then
  // passes after step 2 and stops after step 3, the step at which MaxSteps
  // would stop too.
  std::vector<double> f;
  {
    const FunctionProblem problem = rosenbrock();
    auto log = std::make_shared<Log>();
    const auto measured =
        run(problem, with_terminator(with_observer(Callbacks{}, recorder(log)), max_steps(3)));
    ASSERT_TRUE(measured.has_value());
    ASSERT_EQ(log->size(), 3u);
    for (const auto& seen : *log) f.push_back(seen.f);
  }
  const double first_change = std::abs(f[0] - f[1]);
  const double second_change = std::abs(f[1] - f[2]);
  ASSERT_GT(first_change, second_change);
  const double eps_f = std::sqrt(first_change * second_change);

  const FunctionProblem problem = rosenbrock();
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  for (auto& entry : convergence_callbacks(eps_f, kUnreachable, kUnreachable).entries) {
    callbacks.entries.push_back(std::move(entry));
  }
  const auto result = run(problem, with_terminator(std::move(callbacks), max_steps(3)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(log->size(), 3u);
  EXPECT_EQ(result->message.display(), "Success: F_EVAL CONVERGED");
}

}  // namespace
}  // namespace tarnwick::optimizer
