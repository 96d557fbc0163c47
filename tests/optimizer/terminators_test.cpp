// The three convergence terminators: their tolerance check, and the exact
// stopping inequality of each, on a run held at a chosen point.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/algorithms/gradient/terminators.hpp"
#include "test_callbacks.hpp"
#include "test_problems.hpp"
#include "test_util.hpp"

namespace tarnwick::optimizer {
namespace {

using testing::FunctionProblem;
using testing::Log;
using testing::max_steps;
using testing::recorder;
using tarnwick::testing::IsConfigurationError;
using tarnwick::testing::kInf;
using tarnwick::testing::kNaN;
using tarnwick::testing::mat;
using tarnwick::testing::vec;

constexpr double kMargin = 1.4901161193847656e-8;  // 2⁻²⁶

// f = f0 at `start` and +∞ everywhere else, ∇f = g0 everywhere: every line
// search away from the start fails, so a run rests at (start, f0, g0).
FunctionProblem frozen(const Vector& start, double f0, const Vector& g0) {
  return FunctionProblem([start, f0](const Vector& x) { return x == start ? f0 : kInf; },
                         [g0](const Vector&) { return g0; },
                         [start](const Vector&) {
                           return Matrix(Matrix::Identity(start.size(), start.size()));
                         });
}

LBFGSBConfig config_with(const std::optional<BoundList>& bounds) {
  LBFGSBConfig config;
  config.bounds = bounds;
  config.skip_hessian = true;
  return config;
}

// An algorithm state with x, f and g as given (f_previous is +∞).
LBFGSB state_at(const Vector& x, double f, const Vector& g,
                const std::optional<BoundList>& bounds = std::nullopt) {
  LBFGSB state;
  const FunctionProblem problem = frozen(x, f, g);
  const auto result = state.process(problem, x, config_with(bounds),
                                    with_terminator(Callbacks{}, max_steps(1)));
  EXPECT_TRUE(result.has_value());
  EXPECT_EQ(state.x(), x);
  EXPECT_EQ(state.f(), f);
  EXPECT_TRUE(state.g() == g || g.hasNaN());
  return state;
}

// Runs one check of `terminator` on `state`; the text of the status
// message when it stopped the run, "" when it did not.
template <class T>
std::string check(T terminator, LBFGSB& state,
                  const std::optional<BoundList>& bounds = std::nullopt) {
  GradientStatus status;
  status.message.step();
  if (!terminator.check_for_termination(0, state, status, config_with(bounds))) {
    EXPECT_EQ(status.message.kind(), StatusType::Step) << "a check that did not stop";
    return "";
  }
  EXPECT_EQ(status.message.kind(), StatusType::Success);
  return status.message.text().value_or("<no text>");
}

LBFGSBFTerminator f_terminator(double eps) { return *LBFGSBFTerminator::create(eps); }
LBFGSBGTerminator g_terminator(double eps) { return *LBFGSBGTerminator::create(eps); }
LBFGSBInfNormGTerminator pg_terminator(double eps) {
  return *LBFGSBInfNormGTerminator::create(eps);
}

TEST(Terminators, NonPositiveToleranceIsAConfigurationError) {
  constexpr const char* kText = "eps_abs must be greater than 0";
  for (const double eps : {0.0, -0.0, -1.0, -kInf}) {
    SCOPED_TRACE(::testing::Message() << "eps " << eps);
    EXPECT_TRUE(IsConfigurationError(LBFGSBFTerminator::create(eps), kText));
    EXPECT_TRUE(IsConfigurationError(LBFGSBGTerminator::create(eps), kText));
    EXPECT_TRUE(IsConfigurationError(LBFGSBInfNormGTerminator::create(eps), kText));
  }
  EXPECT_TRUE(LBFGSBFTerminator::create(1e-300).has_value());
  EXPECT_TRUE(LBFGSBGTerminator::create(kNaN).has_value());
}

TEST(FTerminator, StopsOnAnAbsoluteChangeBelowItsTolerance) {
  LBFGSB state = state_at(vec({1}), 5.0, vec({100}));
  // The first check of a run compares with +∞ and only remembers f.
  EXPECT_EQ(check(f_terminator(1e-8), state), "");
  EXPECT_EQ(state.f_previous(), 5.0);
  EXPECT_EQ(check(f_terminator(1e-8), state), "F_EVAL CONVERGED");

  state.set_f_previous(5.0 + 2e-8);
  EXPECT_EQ(check(f_terminator(1e-8), state), "");
  EXPECT_EQ(state.f_previous(), 5.0);
  state.set_f_previous(5.0 + 1e-9);
  EXPECT_EQ(check(f_terminator(1e-8), state), "F_EVAL CONVERGED");
}

TEST(FTerminator, ChangeIsNotRelativeToTheValue) {
  LBFGSB large = state_at(vec({1}), 1e12, vec({1}));
  large.set_f_previous(1e12 + 1e-3);  // relative change 1e-15
  EXPECT_EQ(check(f_terminator(1e-8), large), "");
  LBFGSB small = state_at(vec({1}), 1e-12, vec({1}));
  small.set_f_previous(2e-12);  // relative change 50 %
  EXPECT_EQ(check(f_terminator(1e-8), small), "F_EVAL CONVERGED");
}

TEST(FTerminator, NaNNeverStops) {
  LBFGSB state = state_at(vec({1}), 5.0, vec({1}));
  state.set_f_previous(kNaN);
  EXPECT_EQ(check(f_terminator(1e-8), state), "");
  state.set_f_previous(5.0);
  EXPECT_EQ(check(f_terminator(kNaN), state), "");
}

TEST(FTerminator, UnchangedValueAfterAFailedLineSearchEndsTheRunAsSuccess) {
  // The gradient is large, but every line search fails, so the value seen
  // after the second step equals the one after the first.
  const FunctionProblem problem = frozen(vec({1, 1}), 3.0, vec({50, -50}));
  auto log = std::make_shared<Log>();
  Callbacks callbacks = with_observer(Callbacks{}, recorder(log));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<LBFGSBFTerminator>(f_terminator(1e-8)));
  callbacks = with_terminator(std::move(callbacks), max_steps(5));
  const auto result = LBFGSB{}.process(problem, vec({1, 1}), config_with(std::nullopt), std::move(callbacks));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->message.display(), "Success: F_EVAL CONVERGED");
  EXPECT_EQ(log->size(), 2u);
  EXPECT_EQ(result->best_point, vec({1, 1}));
}

TEST(GTerminator, ComparesWithTheEuclideanNormOfThePlainGradient) {
  // ‖(3e-9, 4e-9)‖₂ = 5e-9, while its largest component is 4e-9. Both
  // coordinates sit on their lower bound with the gradient pointing out of
  // the box, which the plain norm ignores.
  const BoundList bounds{Lower{0}, Lower{0}};
  LBFGSB state = state_at(vec({0, 0}), 1.0, vec({3e-9, 4e-9}), bounds);
  EXPECT_EQ(check(g_terminator(5.0001e-9), state, bounds), "GRADIENT CONVERGED");
  EXPECT_EQ(check(g_terminator(5e-9), state, bounds), "");
  EXPECT_EQ(check(g_terminator(4.5e-9), state, bounds), "");
}

TEST(ProjectedGradientTerminator, IgnoresComponentsPointingOutOfTheBoxAtABound) {
  const BoundList lower{Lower{0}};
  LBFGSB out_of_box = state_at(vec({1e-9}), 1.0, vec({5}), lower);
  EXPECT_EQ(check(pg_terminator(1e-8), out_of_box, lower), "PROJECTED GRADIENT WITHIN TOLERANCE");
  LBFGSB into_box = state_at(vec({1e-9}), 1.0, vec({-5}), lower);
  EXPECT_EQ(check(pg_terminator(5), into_box, lower), "");
  EXPECT_EQ(check(pg_terminator(5.5), into_box, lower), "PROJECTED GRADIENT WITHIN TOLERANCE");

  const BoundList upper{Upper{1}};
  LBFGSB at_upper = state_at(vec({1 - 1e-9}), 1.0, vec({-5}), upper);
  EXPECT_EQ(check(pg_terminator(1e-8), at_upper, upper), "PROJECTED GRADIENT WITHIN TOLERANCE");

  const BoundList both{LowerUpper{0, 1}, LowerUpper{0, 1}};
  LBFGSB corners = state_at(vec({0, 1}), 1.0, vec({2, -3}), both);
  EXPECT_EQ(check(pg_terminator(1e-8), corners, both), "PROJECTED GRADIENT WITHIN TOLERANCE");
  LBFGSB wrong_corners = state_at(vec({1, 0}), 1.0, vec({2, -3}), both);
  EXPECT_EQ(check(pg_terminator(2.9), wrong_corners, both), "");
}

TEST(ProjectedGradientTerminator, BoundMarginIsTwoToTheMinus26Absolute) {
  const BoundList bounds{Lower{0}};
  LBFGSB inside_margin = state_at(vec({kMargin}), 1.0, vec({5}), bounds);
  EXPECT_EQ(check(pg_terminator(1e-8), inside_margin, bounds),
            "PROJECTED GRADIENT WITHIN TOLERANCE");
  LBFGSB beyond_margin = state_at(vec({2 * kMargin}), 1.0, vec({5}), bounds);
  EXPECT_EQ(check(pg_terminator(1e-8), beyond_margin, bounds), "");
  // Not scaled by the bound: 1e9 + 1 is far from 1e9.
  const BoundList far{Lower{1e9}};
  LBFGSB large = state_at(vec({1e9 + 1}), 1.0, vec({5}), far);
  EXPECT_EQ(check(pg_terminator(1e-8), large, far), "");
}

TEST(ProjectedGradientTerminator, WithoutBoundsIsTheInfinityNormAndSkipsNaN) {
  LBFGSB state = state_at(vec({0, 0}), 1.0, vec({1e-9, -3e-9}));
  EXPECT_EQ(check(pg_terminator(3e-9), state), "");
  EXPECT_EQ(check(pg_terminator(3.1e-9), state), "PROJECTED GRADIENT WITHIN TOLERANCE");
  LBFGSB with_nan = state_at(vec({0, 0}), 1.0, vec({kNaN, 1e-12}));
  EXPECT_EQ(check(pg_terminator(1e-10), with_nan), "PROJECTED GRADIENT WITHIN TOLERANCE");
}

}  // namespace
}  // namespace tarnwick::optimizer
