#include "optimizer/algorithms/gradient/terminators.hpp"

#include <cmath>
#include <string>

#include "optimizer/algorithms/gradient/gradient_status.hpp"
#include "optimizer/algorithms/gradient/lbfgsb.hpp"

namespace tarnwick::optimizer {

namespace {

// Distance from a bound within which a coordinate counts as on it.
constexpr double kBoundMargin = 1.4901161193847656e-8;  // 2⁻²⁶

std::expected<double, OptimizerError> checked_tolerance(double eps) {
  if (eps <= 0.0) return std::unexpected(ConfigurationError{"eps_abs must be greater than 0"});
  return eps;
}

bool stop_with(GradientStatus& status, const char* text) {
  status.message.succeed();
  status.message.set_text(text);
  return true;
}

// g with the components zeroed that point out of the box at a coordinate
// within kBoundMargin of a finite end.
Vector projected_gradient(const Vector& x, const Vector& g, const Box& box) {
  Vector p = g;
  for (Eigen::Index j = 0; j < p.size(); ++j) {
    const bool at_lower = std::isfinite(box.lower[j]) && x[j] <= box.lower[j] + kBoundMargin;
    const bool at_upper = std::isfinite(box.upper[j]) && x[j] >= box.upper[j] - kBoundMargin;
    if ((at_lower && p[j] > 0.0) || (at_upper && p[j] < 0.0)) p[j] = 0.0;
  }
  return p;
}

}  // namespace

std::expected<LBFGSBFTerminator, OptimizerError> LBFGSBFTerminator::create(double eps) {
  auto checked = checked_tolerance(eps);
  if (!checked) return std::unexpected(checked.error());
  return LBFGSBFTerminator(*checked);
}

bool LBFGSBFTerminator::check_for_termination(std::uint64_t /*step*/, LBFGSB& state,
                                              GradientStatus& status,
                                              const LBFGSBConfig& /*config*/) {
  const double change = std::abs(state.f_previous() - state.f());
  if (eps_ > change) return stop_with(status, "F_EVAL CONVERGED");
  state.set_f_previous(state.f());
  return false;
}

std::expected<LBFGSBGTerminator, OptimizerError> LBFGSBGTerminator::create(double eps) {
  auto checked = checked_tolerance(eps);
  if (!checked) return std::unexpected(checked.error());
  return LBFGSBGTerminator(*checked);
}

bool LBFGSBGTerminator::check_for_termination(std::uint64_t /*step*/, LBFGSB& state,
                                              GradientStatus& status,
                                              const LBFGSBConfig& /*config*/) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < state.g().size(); ++i) sum += state.g()[i] * state.g()[i];
  if (eps_ > std::sqrt(sum)) return stop_with(status, "GRADIENT CONVERGED");
  return false;
}

std::expected<LBFGSBInfNormGTerminator, OptimizerError> LBFGSBInfNormGTerminator::create(
    double eps) {
  auto checked = checked_tolerance(eps);
  if (!checked) return std::unexpected(checked.error());
  return LBFGSBInfNormGTerminator(*checked);
}

bool LBFGSBInfNormGTerminator::check_for_termination(std::uint64_t /*step*/, LBFGSB& state,
                                                     GradientStatus& status,
                                                     const LBFGSBConfig& /*config*/) {
  const Vector p = projected_gradient(state.x(), state.g(), state.box());
  double largest = 0.0;
  for (Eigen::Index j = 0; j < p.size(); ++j) largest = std::fmax(largest, std::abs(p[j]));
  if (eps_ > largest) return stop_with(status, "PROJECTED GRADIENT WITHIN TOLERANCE");
  return false;
}

bool MaxSteps::check_for_termination(std::uint64_t step, LBFGSB& /*state*/,
                                     GradientStatus& status, const LBFGSBConfig& /*config*/) {
  const std::uint64_t last = n_ == 0 ? 0 : n_ - 1;
  if (step < last) return false;
  status.message.reset();
  status.message.set_kind(StatusType::Message);
  status.message.set_text("Maximum number of steps reached (" + std::to_string(n_) + ")");
  return true;
}

}  // namespace tarnwick::optimizer
