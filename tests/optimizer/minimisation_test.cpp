// Whole minimisations against known minimisers, with and without a box,
// stopped by the convergence terminators as a fit would install them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "test_callbacks.hpp"
#include "test_problems.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::convergence_callbacks;
using testing::FunctionProblem;
using testing::max_steps;
using testing::quadratic;
using testing::rosenbrock;
using tarnwick::testing::inside_box;
using tarnwick::testing::kGradientTolerance;
using tarnwick::testing::kInf;
using tarnwick::testing::kMachineEpsilon;
using tarnwick::testing::kMinimiserTolerance;
using tarnwick::testing::kObjectiveChangeTolerance;
using tarnwick::testing::kProjectedGradientTolerance;
using tarnwick::testing::mat;
using tarnwick::testing::projected_gradient;
using tarnwick::testing::vec;

// Enough steps for every problem here; reaching the limit fails the test.
constexpr std::uint64_t kStepLimit = 2000;

using Result = std::expected<MinimizationSummary, testing::ProblemError>;

Result minimise(const FunctionProblem& problem, const Vector& start,
                const std::vector<BoundPair>& pairs = {}) {
  LBFGSBConfig config;
  if (!pairs.empty()) {
    auto bounded = std::move(config).with_bounds(pairs);
    EXPECT_TRUE(bounded.has_value());
    config = std::move(*bounded);
  }
  Callbacks callbacks = convergence_callbacks(kObjectiveChangeTolerance, kGradientTolerance,
                                              kGradientTolerance);
  callbacks = with_terminator(std::move(callbacks), max_steps(kStepLimit));
  return LBFGSB{}.process(problem, start, std::move(config), std::move(callbacks));
}

// What every converged run must show: success, a reported value that is f
// at the reported point, counters equal to the calls made, and no call at a
// point outside the box (a box-limited step may overshoot a bound by
// rounding; the problem must see the bound).
::testing::AssertionResult ConvergedRun(const Result& result, const FunctionProblem& problem) {
  if (!result) return ::testing::AssertionFailure() << "the run returned an error";
  if (result->bounds) {
    for (const auto* points : {&problem.evaluated, &problem.differentiated}) {
      for (const Vector& x : *points) {
        if (!inside_box(x, *result->bounds)) {
          return ::testing::AssertionFailure() << "the problem was called outside the box at "
                                               << x.transpose();
        }
      }
    }
  }
  if (result->message.kind() != StatusType::Success) {
    return ::testing::AssertionFailure() << "ended with " << result->message.display();
  }
  if (result->best_value != problem.value(result->best_point)) {
    return ::testing::AssertionFailure() << "best_value is not f(best_point)";
  }
  if (result->cost_evaluations != problem.evaluate_calls() ||
      result->gradient_evaluations != problem.gradient_calls() ||
      result->hessian_evaluations != static_cast<std::uint64_t>(problem.hessian_calls)) {
    return ::testing::AssertionFailure() << "counters differ from the problem's calls";
  }
  return ::testing::AssertionSuccess();
}

double distance(const Vector& a, const Vector& b) { return (a - b).cwiseAbs().maxCoeff(); }

// f = ½(x − c)ᵀA(x − c) with a coupled, moderately conditioned A.
Matrix coupled_hessian() { return mat({{4, 1, 0.5}, {1, 3, -1}, {0.5, -1, 2}}); }

TEST(Minimisation, UnboundedQuadraticReachesItsMinimiser) {
  const Vector c = vec({1, -2, 3});
  const FunctionProblem problem = quadratic(coupled_hessian(), c);
  const Result result = minimise(problem, vec({10, 10, -10}));
  ASSERT_TRUE(ConvergedRun(result, problem));
  EXPECT_LT(distance(result->best_point, c), kMinimiserTolerance);
  EXPECT_LT((result->covariance - coupled_hessian().inverse()).cwiseAbs().maxCoeff(),
            tarnwick::testing::kRoundingTolerance);
}

TEST(Minimisation, QuadraticWithItsMinimiserInsideTheBoxReachesIt) {
  const Vector c = vec({1, -2, 3});
  const FunctionProblem problem = quadratic(coupled_hessian(), c);
  const Result result = minimise(problem, vec({-4, 4, -4}), {{-5, 5}, {-5, 5}, {-5, 5}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  EXPECT_LT(distance(result->best_point, c), kMinimiserTolerance);
}

TEST(Minimisation, QuadraticWithItsMinimiserOnABoundEndsOnThatBound) {
  // f = ½(x − c)ᵀA(x − c), A = [[2, ½], [½, 1]], c = (−1, 2), x_0 ≥ 0.
  // On x_0 = 0 the model in x_1 is minimal where ½·1 + (x_1 − 2) = 0, so
  // x* = (0, 1.5); there ∂f/∂x_0 = 2·1 + ½·(−½) = 1.75 > 0 points out of
  // the box.
  const FunctionProblem problem = quadratic(mat({{2, 0.5}, {0.5, 1}}), vec({-1, 2}));
  const Result result = minimise(problem, vec({3, -3}), {{0, kInf}, {-kInf, kInf}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& x = result->best_point;
  EXPECT_EQ(x[0], 0.0);
  EXPECT_NEAR(x[1], 1.5, kMinimiserTolerance);
  const Vector pg = projected_gradient(x, problem.grad(x), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
}

TEST(Minimisation, ObjectiveFallingAllTheWayToTheBoundEndsOnIt) {
  // f = x_0 + 10⁻³x_0² + ½(x_1 − 3)², ∇f = (1 + 2·10⁻³x_0, x_1 − 3),
  // x_0 ≥ 0: nearly linear along x_0, so the line search keeps
  // extrapolating until it meets the bound; x* = (0, 3).
  const FunctionProblem problem(
      [](const Vector& x) { return x[0] + 1e-3 * x[0] * x[0] + 0.5 * (x[1] - 3) * (x[1] - 3); },
      [](const Vector& x) { return vec({1 + 2e-3 * x[0], x[1] - 3}); },
      [](const Vector&) { return mat({{2e-3, 0}, {0, 1}}); });
  const Result result = minimise(problem, vec({5, 0}), {{0, kInf}, {-kInf, kInf}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& x = result->best_point;
  EXPECT_EQ(x[0], 0.0);
  EXPECT_NEAR(x[1], 3.0, kMinimiserTolerance);
  const Vector pg = projected_gradient(x, problem.grad(x), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
}

TEST(Minimisation, ExtendedLikelihoodWithoutSignalPutsTheSignalYieldOnItsBound) {
  // Extended likelihood of a signal and a background yield over two classes
  // of events, n_c events each, with density ratios r_c = s_c/b_c:
  //   f(y_s, y_b) = y_s + y_b − Σ_c n_c ln(y_s r_c + y_b),
  //   ∂f/∂y_s = 1 − Σ_c n_c r_c / D_c,  ∂f/∂y_b = 1 − Σ_c n_c / D_c,
  //   H = Σ_c n_c / D_c² · [[r_c², r_c], [r_c, 1]],  D_c = y_s r_c + y_b.
  // With mean ratio ½ < 1 the data hold no signal: at y_b = N the slope
  // along y_s is 1 − ½ > 0, so the minimiser is y_s at its lower bound ε
  // and y_b = N − ε/2. The run starts from equal yields, as a fit does.
  constexpr double kN = 10000;
  const std::vector<double> ratios{0.2, 0.8};
  const auto value = [ratios](const Vector& y) {
    double f = y[0] + y[1];
    for (const double r : ratios) f -= 0.5 * kN * std::log(y[0] * r + y[1]);
    return f;
  };
  const auto grad = [ratios](const Vector& y) {
    Vector g = vec({1, 1});
    for (const double r : ratios) {
      const double d = y[0] * r + y[1];
      g[0] -= 0.5 * kN * r / d;
      g[1] -= 0.5 * kN / d;
    }
    return g;
  };
  const auto hess = [ratios](const Vector& y) {
    Matrix h = Matrix::Zero(2, 2);
    for (const double r : ratios) {
      const double w = 0.5 * kN / std::pow(y[0] * r + y[1], 2);
      h += w * mat({{r * r, r}, {r, 1}});
    }
    return h;
  };
  const FunctionProblem problem(value, grad, hess);
  const Result result =
      minimise(problem, vec({kN / 2, kN / 2}), {{kMachineEpsilon, kInf}, {kMachineEpsilon, kInf}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& y = result->best_point;
  EXPECT_EQ(y[0], kMachineEpsilon);
  EXPECT_NEAR(y[1] / kN, 1.0, kMinimiserTolerance);
  const Vector pg = projected_gradient(y, problem.grad(y), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
}

TEST(Minimisation, BoundReachedByALargeGradientNextToATinyOne) {
  // f = a·x_0 + ½x_1², ∇f = (a, x_1), with x_0 ∈ [0, 1] and x_1 free,
  // from a start where x_1's gradient is 1e-12 of x_0's: the first step
  // takes x_0 to its bound while x_1 is already almost at its minimiser.
  // x* = (0, 0).
  constexpr double kSlope = 8.1323632216729038;
  const FunctionProblem problem(
      [](const Vector& x) { return kSlope * x[0] + 0.5 * x[1] * x[1]; },
      [](const Vector& x) { return vec({kSlope, x[1]}); },
      [](const Vector&) { return mat({{0, 0}, {0, 1}}); });
  const Result result = minimise(problem, vec({0.29186466052722249, 1.8189894035458565e-12}),
                                 {{0, 1}, {-kInf, kInf}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& x = result->best_point;
  EXPECT_EQ(x[0], 0.0);
  EXPECT_LT(std::abs(x[1]), kMinimiserTolerance);
  const Vector pg = projected_gradient(x, problem.grad(x), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
}

TEST(Minimisation, RosenbrockInTwoDimensionsReachesOneOne) {
  const FunctionProblem problem = rosenbrock();
  const Result result = minimise(problem, vec({-1.2, 1}));
  ASSERT_TRUE(ConvergedRun(result, problem));
  EXPECT_LT(distance(result->best_point, vec({1, 1})), kMinimiserTolerance);
}

TEST(Minimisation, RosenbrockInTwoDimensionsWithABoxEndsOnTheActiveBound) {
  // With x_0 ≤ 0.5 the minimiser follows the valley y = x² to (0.5, 0.25),
  // where ∂f/∂x_0 = −2·(1 − 0.5) = −1 points out of the box.
  const FunctionProblem problem = rosenbrock();
  const Result result = minimise(problem, vec({-1.2, 1}), {{-2, 0.5}, {-2, 2}});
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& x = result->best_point;
  EXPECT_EQ(x[0], 0.5);
  EXPECT_NEAR(x[1], 0.25, kMinimiserTolerance);
  const Vector pg = projected_gradient(x, problem.grad(x), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
}

Vector alternating_start(Eigen::Index n) {
  Vector start(n);
  for (Eigen::Index i = 0; i < n; ++i) start[i] = i % 2 == 0 ? -1.2 : 1.0;
  return start;
}

TEST(Minimisation, RosenbrockInTenDimensionsReachesAllOnes) {
  const FunctionProblem problem = rosenbrock();
  const Result result = minimise(problem, alternating_start(10));
  ASSERT_TRUE(ConvergedRun(result, problem));
  EXPECT_LT(distance(result->best_point, Vector::Ones(10)), kMinimiserTolerance);
}

TEST(Minimisation, RosenbrockInTenDimensionsWithABoxAroundTheMinimiserReachesIt) {
  // The box [−1, 2]¹⁰ cuts the start (−1.2 is projected to −1) but not the
  // minimiser.
  const FunctionProblem problem = rosenbrock();
  const Result result =
      minimise(problem, alternating_start(10), std::vector<BoundPair>(10, BoundPair{-1, 2}));
  ASSERT_TRUE(ConvergedRun(result, problem));
  EXPECT_LT(distance(result->best_point, Vector::Ones(10)), kMinimiserTolerance);
}

TEST(Minimisation, RosenbrockInTenDimensionsWithABoxBelowTheMinimiserIsStationary) {
  // Upper bounds of 0.7 exclude the minimiser; the result must lie in the
  // box with a zero projected gradient and some bound active.
  const FunctionProblem problem = rosenbrock();
  const std::vector<BoundPair> pairs(10, BoundPair{-2, 0.7});
  const Result result = minimise(problem, alternating_start(10), pairs);
  ASSERT_TRUE(ConvergedRun(result, problem));
  const Vector& x = result->best_point;
  EXPECT_TRUE(inside_box(x, *result->bounds));
  EXPECT_EQ(x.maxCoeff(), 0.7);
  const Vector pg = projected_gradient(x, problem.grad(x), *result->bounds);
  EXPECT_LT(pg.cwiseAbs().maxCoeff(), kProjectedGradientTolerance);
  EXPECT_LT(result->best_value, problem.value(box_of(result->bounds, 10).clip(alternating_start(10))));
}

}  // namespace
}  // namespace tarnwick::optimizer
