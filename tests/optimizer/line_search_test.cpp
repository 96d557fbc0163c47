// The strong-Wolfe line search: accepted steps, evaluation counts, the
// outward phase and the midpoint zoom, and the rules that keep it inside
// the box when the maximum step is a box limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>

#include "optimizer/algorithms/line_search/strong_wolfe.hpp"
#include "test_problems.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::FunctionProblem;
using testing::ProblemError;
using testing::quadratic;
using testing::rosenbrock;
using testing::sphere;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

struct SearchOutcome {
  std::expected<LineSearchResult, ProblemError> result;
  std::uint64_t cost = 0;
  std::uint64_t gradient = 0;
};

SearchOutcome run_search(const FunctionProblem& problem, const Vector& x, const Vector& d,
                         std::optional<StepLimit> limit, MoreThuenteLineSearch params = {}) {
  std::uint64_t cost = 0;
  std::uint64_t gradient = 0;
  // The identity scale over an unbounded box: the problem sees the points
  // of the search exactly.
  const DiagonalScale identity = DiagonalScale::identity(box_of(std::nullopt, x.size()));
  const TransformedProblem<ProblemError> transformed(problem, identity);
  auto result = search(StrongWolfeLineSearch{params}, x, d, limit, transformed,
                       EvaluationCounters{cost, gradient});
  return {std::move(result), cost, gradient};
}

StepLimit unbounded_limit() { return StepLimit{1e8, false}; }

// The counters of the search equal the calls the problem really received.
::testing::AssertionResult CountsMatchCalls(const SearchOutcome& outcome,
                                            const FunctionProblem& problem) {
  if (outcome.cost != problem.evaluate_calls() || outcome.gradient != problem.gradient_calls()) {
    return ::testing::AssertionFailure()
           << "counted " << outcome.cost << "/" << outcome.gradient << ", problem saw "
           << problem.evaluate_calls() << "/" << problem.gradient_calls();
  }
  return ::testing::AssertionSuccess();
}

// A successful step whose record is f and ∇f at x + α d and which meets
//   φ(α) ≤ φ(0) + c1 α φ′(0)  and  |φ′(α)| ≤ c2 |φ′(0)|.
::testing::AssertionResult MeetsStrongWolfe(const FunctionProblem& problem, const Vector& x,
                                            const Vector& d, const SearchOutcome& outcome,
                                            const MoreThuenteLineSearch& params = {}) {
  if (!outcome.result) return ::testing::AssertionFailure() << "the search returned an error";
  const LineSearchResult& r = *outcome.result;
  if (!r.success) return ::testing::AssertionFailure() << "the search reports failure";
  const Vector point = x + r.step * d;
  if (r.value != problem.value(point) || r.gradient != problem.grad(point)) {
    return ::testing::AssertionFailure() << "the record is not f and ∇f at x + step·d";
  }
  const double phi0 = problem.value(x);
  const double dphi0 = problem.grad(x).dot(d);
  const double dphi = r.gradient.dot(d);
  if (!(r.value <= phi0 + params.c1 * r.step * dphi0)) {
    return ::testing::AssertionFailure() << "no sufficient decrease at step " << r.step;
  }
  if (!(std::abs(dphi) <= params.c2 * std::abs(dphi0))) {
    return ::testing::AssertionFailure() << "curvature condition fails at step " << r.step;
  }
  return ::testing::AssertionSuccess();
}

// The step α of the k-th objective evaluation along x + α d (1-D problems).
double trial_step(const FunctionProblem& problem, std::size_t k, double x, double d) {
  return (problem.evaluated.at(k)[0] - x) / d;
}

TEST(StrongWolfeSearch, ZeroDirectionSucceedsAtUnitStepWithTwoEvaluationsEach) {
  // f = ½|x|², ∇f = x.
  const FunctionProblem problem = sphere(vec({0, 0}));
  const SearchOutcome outcome = run_search(problem, vec({1, 1}), vec({0, 0}), unbounded_limit());
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 1.0);
  EXPECT_EQ(outcome.result->value, 1.0);
  EXPECT_EQ(outcome.result->gradient, vec({1, 1}));
  EXPECT_EQ(outcome.cost, 2u);
  EXPECT_EQ(outcome.gradient, 2u);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(StrongWolfeSearch, ExactMinimiserAtUnitStepIsAcceptedByTheFirstTrial) {
  // f = ½|x|² from (1, 1) along (−1, −1): φ(α) = (1 − α)², minimal at α = 1.
  const FunctionProblem problem = sphere(vec({0, 0}));
  const SearchOutcome outcome =
      run_search(problem, vec({1, 1}), vec({-1, -1}), unbounded_limit());
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 1.0);
  EXPECT_EQ(outcome.result->value, 0.0);
  EXPECT_EQ(outcome.cost, 2u);
  EXPECT_EQ(outcome.gradient, 2u);
}

TEST(StrongWolfeSearch, FailedSufficientDecreaseZoomsFromTheMidpointOfZeroAndOne) {
  // f = ½x² from x = 1 along d = −3: φ(1) = 2 > φ(0) = ½, so the zoom runs
  // on [0, 1]; at its midpoint φ(½) = 1/8 and φ′(½) = 1.5 ≤ 0.9·3.
  const FunctionProblem problem = sphere(vec({0}));
  const SearchOutcome outcome = run_search(problem, vec({1}), vec({-3}), unbounded_limit());
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 0.5);
  // φ(0), φ(1), then per zoom iteration the midpoint and φ(lo) afresh.
  ASSERT_EQ(problem.evaluated.size(), 4u);
  EXPECT_EQ(trial_step(problem, 1, 1, -3), 1.0);
  EXPECT_EQ(trial_step(problem, 2, 1, -3), 0.5);
  EXPECT_EQ(trial_step(problem, 3, 1, -3), 0.0);
  EXPECT_EQ(outcome.gradient, 2u);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
  EXPECT_TRUE(MeetsStrongWolfe(problem, vec({1}), vec({-3}), outcome));
}

TEST(StrongWolfeSearch, RisingSlopeAfterTheFirstTrialZoomsOnTheReversedInterval) {
  // f = ½x² from x = 1 along d = −1.95: φ(1) passes sufficient decrease but
  // φ′(1) = 1.8525 > 0.9·1.95, so the zoom runs with lo = 1, hi = 0 and
  // re-evaluates φ at lo = 1.
  const FunctionProblem problem = sphere(vec({0}));
  const SearchOutcome outcome = run_search(problem, vec({1}), vec({-1.95}), unbounded_limit());
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 0.5);
  ASSERT_EQ(problem.evaluated.size(), 4u);
  EXPECT_DOUBLE_EQ(trial_step(problem, 3, 1, -1.95), 1.0);
  EXPECT_EQ(outcome.gradient, 3u);
  EXPECT_TRUE(MeetsStrongWolfe(problem, vec({1}), vec({-1.95}), outcome));
}

TEST(StrongWolfeSearch, ExtrapolationGoesOutwardWithinTheMaximumStepAndEndsOnAWolfePoint) {
  // f = ½(x − 100)² from 0 along d = 1: the unit step is far too short
  // (|φ′(1)| = 99 > 0.9·100), so the search extrapolates, beyond the first
  // trial and never beyond the largest step it may take.
  const FunctionProblem problem = sphere(vec({100}));
  const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), unbounded_limit());
  ASSERT_GE(problem.evaluated.size(), 3u);
  EXPECT_GT(trial_step(problem, 2, 0, 1), trial_step(problem, 1, 0, 1));
  EXPECT_LE(trial_step(problem, 2, 0, 1), 1e8);
  EXPECT_TRUE(MeetsStrongWolfe(problem, vec({0}), vec({1}), outcome));
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(StrongWolfeSearch, AnOvershootingTrialWithinTheBoxEndsBetweenTheTwoTrials) {
  // f = ½(x − 20)² from 0 along d = 1 with maximum step 49.125: the
  // extrapolated trial lands past the minimum, higher than the first trial
  // yet with sufficient decrease; the search must come back between the two
  // and end on a point meeting both conditions.
  const FunctionProblem problem = sphere(vec({20}));
  const SearchOutcome outcome =
      run_search(problem, vec({0}), vec({1}), StepLimit{49.125, false});
  ASSERT_TRUE(outcome.result.has_value());
  ASSERT_GE(problem.evaluated.size(), 3u);
  const double overshoot = trial_step(problem, 2, 0, 1);
  EXPECT_GT(overshoot, 20.0);
  EXPECT_LE(overshoot, 49.125);
  EXPECT_GT(outcome.result->step, 1.0);
  EXPECT_LT(outcome.result->step, overshoot);
  EXPECT_TRUE(MeetsStrongWolfe(problem, vec({0}), vec({1}), outcome));
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(StrongWolfeSearch, MaxIterationsZeroMakesASingleOutwardTrial) {
  const FunctionProblem problem = sphere(vec({100}));
  MoreThuenteLineSearch params;
  params.max_iterations = 0;
  const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), unbounded_limit(), params);
  ASSERT_TRUE(outcome.result.has_value());
  EXPECT_FALSE(outcome.result->success);
  EXPECT_EQ(outcome.cost, 2u);
  EXPECT_EQ(outcome.gradient, 2u);
}

TEST(StrongWolfeSearch, LastZoomIterationFailingSufficientDecreaseIsAFailure) {
  // f = ½x² from 1 along −10: φ(1) = 40.5 and φ(½) = 8 both exceed φ(0).
  const FunctionProblem problem = sphere(vec({0}));
  MoreThuenteLineSearch params;
  params.max_zoom_iterations = 0;
  const SearchOutcome outcome = run_search(problem, vec({1}), vec({-10}), unbounded_limit(), params);
  ASSERT_TRUE(outcome.result.has_value());
  EXPECT_FALSE(outcome.result->success);
  EXPECT_EQ(outcome.cost, 4u);
  EXPECT_EQ(outcome.gradient, 2u);
}

TEST(StrongWolfeSearch, LastZoomIterationAcceptsSufficientDecreaseWithoutCurvature) {
  // f = ½x² from 1 along −3 with c2 = 0.1: the midpoint ½ decreases f but
  // |φ′(½)| = 1.5 > 0.1·3. As the last zoom iteration it is still accepted,
  // with its gradient evaluated a second time.
  const FunctionProblem problem = sphere(vec({0}));
  MoreThuenteLineSearch params;
  params.max_zoom_iterations = 0;
  params.c2 = 0.1;
  const SearchOutcome outcome = run_search(problem, vec({1}), vec({-3}), unbounded_limit(), params);
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 0.5);
  EXPECT_EQ(outcome.result->gradient, vec({-0.5}));
  EXPECT_EQ(outcome.cost, 4u);
  EXPECT_EQ(outcome.gradient, 3u);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(StrongWolfeSearch, ProblemErrorEndsTheSearchUnchangedAndIsCounted) {
  // The zoom example above makes 4 objective and 2 gradient calls; each of
  // them is made to fail in turn.
  for (int call = 1; call <= 6; ++call) {
    SCOPED_TRACE(::testing::Message() << "failing call " << call);
    FunctionProblem problem = sphere(vec({0}));
    if (call <= 4) {
      problem.fail_evaluate_at = call;
    } else {
      problem.fail_gradient_at = call - 4;
    }
    const SearchOutcome outcome = run_search(problem, vec({1}), vec({-3}), unbounded_limit());
    const ProblemError expected{call <= 4 ? "evaluate failed" : "gradient failed",
                                call <= 4 ? call : call - 4};
    EXPECT_TRUE(tarnwick::testing::HoldsError(outcome.result, expected));
    EXPECT_TRUE(CountsMatchCalls(outcome, problem));
  }
}

TEST(StrongWolfeSearch, AcceptedStepsMeetTheStrongWolfeConditions) {
  struct Case {
    const char* name;
    FunctionProblem problem;
    Vector x;
    Vector d;
  };
  const FunctionProblem rosen = rosenbrock();
  const Vector x_far = vec({-1.2, 1});
  const Vector newton = -rosen.hess(x_far).lu().solve(rosen.grad(x_far));
  // f = ½ xᵀ A x with an ill-conditioned A, ∇f = A x.
  const FunctionProblem ill = quadratic(mat({{1000, 0}, {0, 1}}), vec({0, 0}));
  // f = x⁴ + x², f′ = 4x³ + 2x: steep and far from quadratic.
  const FunctionProblem quartic([](const Vector& x) { return std::pow(x[0], 4) + x[0] * x[0]; },
                                [](const Vector& x) { return vec({4 * std::pow(x[0], 3) + 2 * x[0]}); },
                                [](const Vector& x) { return mat({{12 * x[0] * x[0] + 2}}); });
  const Case cases[] = {
      {"rosenbrock steepest descent", rosen, x_far, -rosen.grad(x_far)},
      {"rosenbrock newton", rosen, x_far, newton},
      {"rosenbrock near the valley floor", rosen, vec({0.5, 0.2}), -rosen.grad(vec({0.5, 0.2}))},
      {"ill-conditioned quadratic", ill, vec({1, 1}), -ill.grad(vec({1, 1}))},
      {"quartic, long step", quartic, vec({3}), vec({-0.01})},
      {"quartic, short step", quartic, vec({3}), vec({-100})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LT(c.problem.grad(c.x).dot(c.d), 0.0) << "not a descent direction";
    const SearchOutcome outcome = run_search(c.problem, c.x, c.d, unbounded_limit());
    EXPECT_TRUE(MeetsStrongWolfe(c.problem, c.x, c.d, outcome));
    EXPECT_TRUE(CountsMatchCalls(outcome, c.problem));
  }
}

// --- The maximum step is a limit of the box -------------------------------

// The largest step of any objective evaluation along x + α d (1-D).
double largest_trial_step(const FunctionProblem& problem, double x, double d) {
  double largest = 0.0;
  for (std::size_t k = 0; k < problem.evaluated.size(); ++k) {
    largest = std::fmax(largest, trial_step(problem, k, x, d));
  }
  return largest;
}

TEST(BoxLimitedSearch, FirstTrialIsTheMaximumStepWhenThatIsBelowOne) {
  // f = ½(x − 100)² from 0 along 1: the minimum lies far beyond α = 0.25,
  // so the search ends on the edge at its very first trial.
  for (const bool from_box : {true, false}) {
    SCOPED_TRACE(from_box ? "box limit" : "configured maximum step");
    const FunctionProblem problem = sphere(vec({100}));
    const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), StepLimit{0.25, from_box});
    ASSERT_TRUE(outcome.result && outcome.result->success);
    EXPECT_EQ(trial_step(problem, 1, 0, 1), 0.25);
    EXPECT_EQ(outcome.result->step, 0.25);
    EXPECT_EQ(outcome.result->value, problem.value(vec({0.25})));
    EXPECT_EQ(outcome.cost, 2u);
    EXPECT_EQ(outcome.gradient, 2u);
    EXPECT_EQ(largest_trial_step(problem, 0, 1), 0.25);
  }
}

TEST(BoxLimitedSearch, SecondExtrapolationJumpsToTheBoxLimitAndEndsThere) {
  // f = ½(x − 100)² from 0 along 1, box limit 10: trials 1, 1 + 0.8·9 = 8.2,
  // then the limit itself, where f still falls: success at α = 10.
  const FunctionProblem problem = sphere(vec({100}));
  const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), StepLimit{10, true});
  ASSERT_TRUE(outcome.result && outcome.result->success);
  ASSERT_EQ(problem.evaluated.size(), 4u);
  EXPECT_EQ(trial_step(problem, 1, 0, 1), 1.0);
  EXPECT_DOUBLE_EQ(trial_step(problem, 2, 0, 1), 8.2);
  EXPECT_EQ(trial_step(problem, 3, 0, 1), 10.0);
  EXPECT_EQ(outcome.result->step, 10.0);
  EXPECT_EQ(outcome.result->value, problem.value(vec({10})));
  EXPECT_EQ(outcome.result->gradient, problem.grad(vec({10})));
  EXPECT_EQ(outcome.gradient, 4u);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(BoxLimitedSearch, ConfiguredMaximumStepKeepsTheEightyPercentRule) {
  // The same search when 10 is the configured maximum step rather than a
  // box limit: the third trial is 8.2 + 0.8·1.8 = 9.64, and no trial goes
  // beyond 10.
  const FunctionProblem problem = sphere(vec({100}));
  const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), StepLimit{10, false});
  ASSERT_GE(problem.evaluated.size(), 4u);
  EXPECT_DOUBLE_EQ(trial_step(problem, 3, 0, 1), 9.64);
  EXPECT_LE(largest_trial_step(problem, 0, 1), 10.0);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

TEST(BoxLimitedSearch, DirectionEndingExactlyOnTheBoundIsAcceptedThere) {
  // x = 0.5 with upper bound 1 and d = 0.5, so the box limit is α = 1;
  // f = ½(x − 100)² still falls at the bound. Success at α = 1 after one
  // trial, never beyond the bound.
  const FunctionProblem problem = sphere(vec({100}));
  const SearchOutcome outcome = run_search(problem, vec({0.5}), vec({0.5}), StepLimit{1, true});
  ASSERT_TRUE(outcome.result && outcome.result->success);
  EXPECT_EQ(outcome.result->step, 1.0);
  EXPECT_EQ(outcome.result->value, problem.value(vec({1})));
  EXPECT_EQ(outcome.cost, 2u);
  EXPECT_EQ(outcome.gradient, 2u);
  for (const Vector& point : problem.evaluated) EXPECT_LE(point[0], 1.0);
}

TEST(BoxLimitedSearch, SearchEndingBeforeTheSecondExtrapolationIsUnchanged) {
  // f = ½(x − 15)² from 0 along 1 with limit 20: the second trial
  // 1 + 0.8·19 = 16.2 meets both conditions, whether or not 20 is a box
  // limit.
  SearchOutcome outcomes[2];
  for (const bool from_box : {true, false}) {
    const FunctionProblem problem = sphere(vec({15}));
    outcomes[from_box] = run_search(problem, vec({0}), vec({1}), StepLimit{20, from_box});
    EXPECT_TRUE(MeetsStrongWolfe(problem, vec({0}), vec({1}), outcomes[from_box]));
  }
  ASSERT_TRUE(outcomes[0].result && outcomes[1].result);
  EXPECT_DOUBLE_EQ(outcomes[1].result->step, 16.2);
  EXPECT_EQ(outcomes[0].result->step, outcomes[1].result->step);
  EXPECT_EQ(outcomes[0].cost, outcomes[1].cost);
  EXPECT_EQ(outcomes[0].gradient, outcomes[1].gradient);
}

TEST(BoxLimitedSearch, ObjectiveRisingAtTheBoxLimitIsStillZoomedInto) {
  // f = −x + 1000·max(0, x − 9)², f′ = −1 + 2000·max(0, x − 9): a straight
  // descent that turns up sharply just before the limit 10, where
  // f(10) = 990 fails sufficient decrease. The zoom then finds a strong
  // Wolfe step near the minimiser x = 9.0005.
  const FunctionProblem problem(
      [](const Vector& x) {
        const double over = std::fmax(0.0, x[0] - 9.0);
        return -x[0] + 1000.0 * over * over;
      },
      [](const Vector& x) { return vec({-1.0 + 2000.0 * std::fmax(0.0, x[0] - 9.0)}); },
      [](const Vector& x) { return mat({{x[0] > 9.0 ? 2000.0 : 0.0}}); });
  const SearchOutcome outcome = run_search(problem, vec({0}), vec({1}), StepLimit{10, true});
  EXPECT_EQ(trial_step(problem, 3, 0, 1), 10.0);
  EXPECT_TRUE(MeetsStrongWolfe(problem, vec({0}), vec({1}), outcome));
  ASSERT_TRUE(outcome.result.has_value());
  EXPECT_LT(outcome.result->step, 10.0);
  EXPECT_TRUE(CountsMatchCalls(outcome, problem));
}

}  // namespace
}  // namespace tarnwick::optimizer
