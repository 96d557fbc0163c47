// The L-BFGS-B run itself: start, step limit, memory handling, evaluation
// counters, the end of a run and its summary, and bad objectives.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "test_callbacks.hpp"
#include "test_problems.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::FunctionProblem;
using testing::Log;
using testing::max_steps;
using testing::ProblemError;
using testing::quadratic;
using testing::recorder;
using testing::rosenbrock;
using testing::sphere;
using tarnwick::testing::HoldsError;
using tarnwick::testing::kInf;
using tarnwick::testing::kNaN;
using tarnwick::testing::kRoundingTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

using Result = std::expected<MinimizationSummary, ProblemError>;

Callbacks only(std::unique_ptr<Terminator> terminator) {
  return with_terminator(Callbacks{}, std::move(terminator));
}

::testing::AssertionResult CountersMatchCalls(const MinimizationSummary& summary,
                                              const FunctionProblem& problem) {
  if (summary.cost_evaluations != problem.evaluate_calls() ||
      summary.gradient_evaluations != problem.gradient_calls() ||
      summary.hessian_evaluations != static_cast<std::uint64_t>(problem.hessian_calls)) {
    return ::testing::AssertionFailure()
           << "counted " << summary.cost_evaluations << "/" << summary.gradient_evaluations << "/"
           << summary.hessian_evaluations << ", problem saw " << problem.evaluate_calls() << "/"
           << problem.gradient_calls() << "/" << problem.hessian_calls;
  }
  return ::testing::AssertionSuccess();
}

TEST(StepLimit, IsTheConfiguredMaximumWithoutBounds) {
  const Vector x = vec({0, 0});
  for (const auto& bounds : {std::optional<BoundList>{}, std::optional<BoundList>{BoundList{}}}) {
    const StepLimit limit = step_limit(x, vec({1, -1}), box_of(bounds, x.size()), 1e8);
    EXPECT_EQ(limit.value, 1e8);
    EXPECT_FALSE(limit.from_box);
  }
}

TEST(StepLimit, IsTheDistanceToTheNearestBoundAlongTheDirection) {
  const Vector x = vec({0, 0, 0});
  // Upper bound 0.5 away along d_0 = 1.
  const BoundList one{Upper{0.5}, Unbounded{}, Unbounded{}};
  const StepLimit limit = step_limit(x, vec({1, 0, 0}), box_of(one, x.size()), 1e8);
  EXPECT_EQ(limit.value, 0.5);
  EXPECT_TRUE(limit.from_box);
  // A nearer lower bound along d_1 = −1 wins; bounds behind the direction
  // and coordinates with d_i = 0 give no limit.
  const BoundList two{LowerUpper{-1, 0.5}, Lower{-0.2}, LowerUpper{-0.01, 0.01}};
  EXPECT_EQ(step_limit(x, vec({1, -1, 0}), box_of(two, x.size()), 1e8).value, 0.2);
  EXPECT_EQ(step_limit(x, vec({-1, 1, 0}), box_of(two, x.size()), 1e8).value, 1.0);
}

TEST(StepLimit, BoxLimitBeyondTheConfiguredMaximumIsNotABoxLimit) {
  const Vector x = vec({0});
  const BoundList bounds{Upper{1}};
  const StepLimit far = step_limit(x, vec({1e-9}), box_of(bounds, x.size()), 1e8);
  EXPECT_EQ(far.value, 1e8);
  EXPECT_FALSE(far.from_box);
  const StepLimit equal = step_limit(x, vec({1}), box_of(bounds, x.size()), 1.0);
  EXPECT_EQ(equal.value, 1.0);
  EXPECT_FALSE(equal.from_box);
}

TEST(StepLimit, RoundingLevelComponentOutOfTheBoxAtAnActiveBoundIsDropped) {
  // x₀ sits on its lower bound and d₀ = −2.8e-17 points out of the box: left
  // as it is, the step limit would be 0 and nothing could move.
  const Vector x = vec({0, 1, 1});
  const BoundList bounds{Lower{0}, LowerUpper{0, 1}, LowerUpper{0, 2}};
  Vector d = vec({-2.8e-17, 1e-17, 0.5});
  EXPECT_EQ(step_limit(x, d, box_of(bounds, x.size()), 1e8).value, 0.0);
  drop_components_leaving_box(d, x, box_of(bounds, 3));
  // Components out of the box at an active bound go; one pointing along a
  // bound-free or inward direction stays.
  EXPECT_EQ(d, vec({0, 0, 0.5}));
  EXPECT_EQ(step_limit(x, d, box_of(bounds, x.size()), 1e8).value, 2.0);
}

TEST(LBFGSB, LineSearchGetsTheConfiguredMaximumStepWithoutBounds) {
  // f = (x − 100)²/200, f′ = (x − 100)/100: from 0 the first direction is
  // d = 1 and the first trial falls too slowly, so the second trial lies
  // 80 % of the way to the maximum step.
  for (const double max_step : {1e8, 50.0}) {
    SCOPED_TRACE(::testing::Message() << "max_step " << max_step);
    const FunctionProblem problem = quadratic(mat({{0.01}}), vec({100}));
    LBFGSBConfig config;
    config.max_step = max_step;
    const Result result = LBFGSB{}.process(problem, vec({0}), config, only(max_steps(1)));
    ASSERT_TRUE(result.has_value());
    // Evaluations: the start, then φ(0), φ(1) and φ(α_1) of the search.
    ASSERT_GE(problem.evaluated.size(), 4u);
    EXPECT_DOUBLE_EQ(problem.evaluated[3][0], 1 + 0.8 * (max_step - 1));
  }
}

TEST(LBFGSB, StartOutsideTheBoxIsEvaluatedAtItsProjectionButReportedAsGiven) {
  const FunctionProblem problem = sphere(vec({0.5, 0.5}));
  auto config = LBFGSBConfig{}.with_bounds({{0, 1}, {0, 1}});
  ASSERT_TRUE(config.has_value());
  const Result result = LBFGSB{}.process(problem, vec({5, -5}), *config, only(max_steps(1)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(problem.evaluated.front(), vec({1, 0}));
  EXPECT_EQ(problem.differentiated.front(), vec({1, 0}));
  EXPECT_EQ(result->initial_point, vec({5, -5}));

  // A run that ends before its first step still reports the start as given.
  FunctionProblem nan_problem = sphere(vec({0.5, 0.5}));
  nan_problem.value = [](const Vector&) { return kNaN; };
  const Result stopped = LBFGSB{}.process(nan_problem, vec({5, -5}), *config, Callbacks{});
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->best_point, vec({5, -5}));
}

TEST(LBFGSB, NonFiniteObjectiveAtTheStartFailsBeforeAnyStep) {
  for (const double bad : {kNaN, kInf}) {
    for (const bool skip_hessian : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "f = " << bad << ", skip_hessian " << skip_hessian);
      FunctionProblem problem = sphere(vec({0, 0}));
      problem.value = [bad](const Vector&) { return bad; };
      LBFGSBConfig config;
      config.skip_hessian = skip_hessian;
      auto log = std::make_shared<Log>();
      const Result result =
          LBFGSB{}.process(problem, vec({1, 2}), config, with_observer(Callbacks{}, recorder(log)));
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(result->message.display(), "Failed: f(x) is not finite");
      EXPECT_TRUE(log->empty());
      EXPECT_EQ(result->cost_evaluations, 1u);
      EXPECT_EQ(result->gradient_evaluations, 1u);
      EXPECT_EQ(result->hessian_evaluations, skip_hessian ? 0u : 1u);
      EXPECT_TRUE(CountersMatchCalls(*result, problem));
    }
  }
}

TEST(LBFGSB, NaNObjectiveReachedByAStepFailsWithASummary) {
  // f = ½x² for x > 0.25 and NaN below, ∇f = x everywhere. From x = 1 the
  // first step goes to 0 with a zero slope, which the line search accepts:
  // the next check finds f not finite.
  const FunctionProblem problem(
      [](const Vector& x) { return x[0] > 0.25 ? 0.5 * x[0] * x[0] : kNaN; },
      [](const Vector& x) { return Vector(x); }, [](const Vector&) { return mat({{1}}); });
  auto log = std::make_shared<Log>();
  const Result result = LBFGSB{}.process(problem, vec({1}), LBFGSBConfig{},
                                         with_observer(Callbacks{}, recorder(log)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->message.display(), "Failed: f(x) is not finite");
  EXPECT_TRUE(log->empty()) << "callbacks run after the failure check";
  EXPECT_TRUE(std::isnan(result->best_value));
  EXPECT_EQ(result->hessian_evaluations, 1u);
  EXPECT_TRUE(CountersMatchCalls(*result, problem));
}

TEST(LBFGSB, ProblemErrorIsReturnedUnchanged) {
  struct Failure {
    const char* where;
    std::optional<int> evaluate;
    std::optional<int> gradient;
    bool hessian;
  };
  const Failure failures[] = {
      {"objective at the start", 1, std::nullopt, false},
      {"gradient at the start", std::nullopt, 1, false},
      {"objective in the first line search", 3, std::nullopt, false},
      {"gradient in the first line search", std::nullopt, 2, false},
      {"final Hessian", std::nullopt, std::nullopt, true},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.where);
    FunctionProblem problem = rosenbrock();
    problem.fail_evaluate_at = failure.evaluate;
    problem.fail_gradient_at = failure.gradient;
    problem.fail_hessian = failure.hessian;
    const Result result =
        LBFGSB{}.process(problem, vec({-1.2, 1}), LBFGSBConfig{}, only(max_steps(3)));
    const ProblemError expected =
        failure.evaluate   ? ProblemError{"evaluate failed", *failure.evaluate}
        : failure.gradient ? ProblemError{"gradient failed", *failure.gradient}
                           : ProblemError{"hessian failed", 1};
    EXPECT_TRUE(HoldsError(result, expected));
  }
}

TEST(LBFGSB, AcceptedStepsReportTheNewPointAndKindStep) {
  const FunctionProblem problem = rosenbrock();
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  callbacks = with_terminator(std::move(callbacks), max_steps(5));
  const Result result = LBFGSB{}.process(problem, vec({-1.2, 1}), LBFGSBConfig{}, std::move(callbacks));
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(log->size(), 5u);
  for (std::size_t k = 0; k < log->size(); ++k) {
    const testing::Snapshot& seen = (*log)[k];
    EXPECT_EQ(seen.step, k);
    EXPECT_EQ(seen.kind, StatusType::Step);
    EXPECT_EQ(seen.best_point, seen.x);
    EXPECT_EQ(seen.best_value, seen.f);
    EXPECT_EQ(seen.f, problem.value(seen.x));
  }
  EXPECT_LT(log->back().f, problem.value(vec({-1.2, 1})));
  EXPECT_EQ(result->best_point, log->back().x);
  EXPECT_EQ(result->message.display(), "Message: Maximum number of steps reached (5)");
  EXPECT_TRUE(CountersMatchCalls(*result, problem));
}

TEST(LBFGSB, FailedFirstLineSearchKeepsKindInitializedAndAnEmptyMemory) {
  // f = (x − 100)²/200 with a single outward trial allowed: from 0 the
  // trial at α = 1 still falls too steeply, so every search fails.
  const FunctionProblem problem = quadratic(mat({{0.01}}), vec({100}));
  LBFGSBConfig config;
  std::get<MoreThuenteLineSearch>(config.line_search).max_iterations = 0;
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  callbacks = with_terminator(std::move(callbacks), max_steps(2));
  const Result result = LBFGSB{}.process(problem, vec({0}), config, std::move(callbacks));
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(log->size(), 2u);
  for (const testing::Snapshot& seen : *log) {
    EXPECT_EQ(seen.kind, StatusType::Initialized);
    EXPECT_EQ(seen.x, vec({0}));
    EXPECT_EQ(seen.pairs, 0u);
    EXPECT_EQ(seen.theta, 1.0);
  }
  EXPECT_EQ(result->best_point, vec({0}));
  EXPECT_EQ(result->best_value, problem.value(vec({0})));
  EXPECT_TRUE(CountersMatchCalls(*result, problem));
}

TEST(LBFGSB, MemoryLimitZeroRunsExactlyLikeMemoryLimitOne) {
  Result results[2];
  for (const std::size_t limit : {0u, 1u}) {
    const FunctionProblem problem = rosenbrock();
    LBFGSBConfig config;
    config.memory_limit = limit;
    auto log = std::make_shared<Log>();
    Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
    callbacks = with_terminator(std::move(callbacks), max_steps(20));
    results[limit] = LBFGSB{}.process(problem, vec({-1.2, 1}), config, std::move(callbacks));
    ASSERT_TRUE(results[limit].has_value());
    for (const testing::Snapshot& seen : *log) EXPECT_LE(seen.pairs, 1u);
  }
  EXPECT_EQ(results[0]->best_point, results[1]->best_point);
  EXPECT_EQ(results[0]->cost_evaluations, results[1]->cost_evaluations);
  EXPECT_EQ(results[0]->gradient_evaluations, results[1]->gradient_evaluations);
}

TEST(LBFGSB, MemoryKeepsAtMostTheConfiguredNumberOfPairs) {
  const FunctionProblem problem = rosenbrock();
  LBFGSBConfig config;
  config.memory_limit = 3;
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  callbacks = with_terminator(std::move(callbacks), max_steps(15));
  const Result result =
      LBFGSB{}.process(problem, Vector::Constant(6, -0.5), config, std::move(callbacks));
  ASSERT_TRUE(result.has_value());
  std::size_t most = 0;
  for (const testing::Snapshot& seen : *log) most = std::max(most, seen.pairs);
  EXPECT_EQ(most, 3u);
}

TEST(LBFGSB, FinalHessianGivesTheCovarianceAndErrors) {
  // f = ½(x − c)ᵀA(x − c): the covariance at any point is A⁻¹.
  const Matrix a = mat({{4, 1}, {1, 2}});
  const FunctionProblem problem = quadratic(a, vec({1, -1}));
  const Result result = LBFGSB{}.process(problem, vec({0, 0}), LBFGSBConfig{}, only(max_steps(2)));
  ASSERT_TRUE(result.has_value());
  EXPECT_LT((result->covariance - a.inverse()).cwiseAbs().maxCoeff(), kRoundingTolerance);
  EXPECT_NEAR(result->std_errors[1], std::sqrt(a.inverse()(1, 1)), kRoundingTolerance);
  EXPECT_EQ(result->hessian_evaluations, 1u);
}

TEST(LBFGSB, SkippedHessianLeavesIdentityCovarianceAndUnknownErrors) {
  const FunctionProblem problem = quadratic(mat({{4, 1}, {1, 2}}), vec({1, -1}));
  LBFGSBConfig config;
  config.skip_hessian = true;
  const Result result = LBFGSB{}.process(problem, vec({0, 0}), config, only(max_steps(2)));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->covariance, Matrix::Identity(2, 2));
  EXPECT_TRUE(result->std_errors.array().isNaN().all());
  EXPECT_EQ(result->hessian_evaluations, 0u);
  EXPECT_EQ(problem.hessian_calls, 0);
}

}  // namespace
}  // namespace tarnwick::optimizer
