#include "optimizer/algorithms/gradient/lbfgsb.hpp"

#include <algorithm>

namespace tarnwick::optimizer {

std::expected<LBFGSBConfig, OptimizerError> LBFGSBConfig::with_bounds(
    const std::vector<BoundPair>& pairs) && {
  auto converted = bounds_from_pairs(pairs);
  if (!converted) return std::unexpected(std::move(converted.error()));
  bounds = std::move(*converted);
  return std::move(*this);
}

StepLimit step_limit(const Vector& x, const Vector& d, const Box& box, double max_step) {
  TARNWICK_REQUIRE(d.size() == x.size() && box.lower.size() == x.size());
  double t_max = std::numeric_limits<double>::infinity();
  for (Eigen::Index i = 0; i < d.size(); ++i) {
    if (d[i] < 0.0) t_max = std::min(t_max, (box.lower[i] - x[i]) / d[i]);
    if (d[i] > 0.0) t_max = std::min(t_max, (box.upper[i] - x[i]) / d[i]);
  }
  if (std::isfinite(t_max) && t_max < max_step) return StepLimit{t_max, true};
  return StepLimit{max_step, false};
}

MinimizationSummary LBFGSB::summarize(const GradientStatus& status, const Vector& start,
                                      const LBFGSBConfig& config) {
  const Eigen::Index n = status.best_point.size();
  MinimizationSummary summary;
  summary.bounds = config.bounds;
  summary.parameter_names = config.parameter_names;
  summary.message = status.message;
  summary.initial_point = start;
  summary.best_point = status.best_point;
  summary.std_errors = status.std_errors ? *status.std_errors : unknown_uncertainties(n);
  summary.covariance = status.covariance ? *status.covariance : Matrix(Matrix::Identity(n, n));
  summary.best_value = status.best_value;
  summary.cost_evaluations = status.cost_evaluations;
  summary.gradient_evaluations = status.gradient_evaluations;
  summary.hessian_evaluations = status.hessian_evaluations;
  return summary;
}

void LBFGSB::start_run(Vector x, double f, Vector g, Box box, const LBFGSBConfig& config) {
  x_ = std::move(x);
  f_ = f;
  g_ = std::move(g);
  f_previous_ = std::numeric_limits<double>::infinity();
  box_ = std::move(box);
  memory_.set_limit(config.memory_limit);
  memory_.reset(x_.size());
  line_search_ = config.line_search;
}

void drop_components_leaving_box(Vector& d, const Vector& x, const Box& box) {
  TARNWICK_REQUIRE(d.size() == x.size() && box.lower.size() == x.size());
  for (Eigen::Index i = 0; i < d.size(); ++i) {
    if ((d[i] < 0.0 && x[i] == box.lower[i]) || (d[i] > 0.0 && x[i] == box.upper[i])) {
      d[i] = 0.0;
    }
  }
}

std::vector<bool> LBFGSB::on_bound(const Vector& point, const Box& box,
                                   const std::vector<bool>& eligible) {
  TARNWICK_REQUIRE(eligible.empty() || eligible.size() == static_cast<std::size_t>(point.size()));
  std::vector<bool> fixed(static_cast<std::size_t>(point.size()));
  for (Eigen::Index i = 0; i < point.size(); ++i) {
    const auto k = static_cast<std::size_t>(i);
    fixed[k] = (eligible.empty() || eligible[k]) && box.on_bound(i, point[i]);
  }
  return fixed;
}

void LBFGSB::accept(const LineSearchResult& result, const Vector& d) {
  Vector x_new = box_.clip(x_ + result.step * d);
  // y uses the gradient at the unclipped point x + α d, as returned.
  memory_.offer(x_new - x_, result.gradient - g_);
  x_ = std::move(x_new);
  f_ = result.value;
  g_ = result.gradient;
}

bool LBFGSB::run_is_over(GradientStatus& status) {
  if (status.message.kind() == StatusType::Success) return true;
  if (!std::isfinite(status.best_value)) {
    status.message.fail();
    status.message.set_text("f(x) is not finite");
    return true;
  }
  return false;
}

}  // namespace tarnwick::optimizer
