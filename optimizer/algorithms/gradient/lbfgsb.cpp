#include "optimizer/algorithms/gradient/lbfgsb.hpp"

#include "optimizer/algorithms/gradient/subspace_minimisation.hpp"

namespace tarnwick::optimizer {

std::expected<LBFGSBConfig, OptimizerError> LBFGSBConfig::with_bounds(
    const std::vector<BoundPair>& pairs) && {
  auto converted = bounds_from_pairs(pairs);
  if (!converted) return std::unexpected(std::move(converted.error()));
  bounds = std::move(*converted);
  return std::move(*this);
}

Vector LBFGSB::clip(const Vector& point, const std::optional<BoundList>& bounds) {
  Vector out = point;
  if (!bounds) return out;
  const auto m = std::min<Eigen::Index>(point.size(), static_cast<Eigen::Index>(bounds->size()));
  for (Eigen::Index i = 0; i < m; ++i) {
    const ScalarBound& bound = (*bounds)[static_cast<std::size_t>(i)];
    const double lower = lower_end(bound);
    const double upper = upper_end(bound);
    if (out[i] < lower) {
      out[i] = lower;
    } else if (out[i] > upper) {
      out[i] = upper;
    }
  }
  return out;
}

Vector LBFGSB::bound_constrained_direction(const std::optional<BoundList>& bounds) const {
  return optimizer::bound_constrained_direction(x_, g_, memory_, bounds);
}

StepLimit LBFGSB::step_limit(const Vector& d, const std::optional<BoundList>& bounds,
                             double max_step) const {
  double t_max = std::numeric_limits<double>::infinity();
  if (bounds) {
    const auto m = std::min<Eigen::Index>(d.size(), static_cast<Eigen::Index>(bounds->size()));
    for (Eigen::Index i = 0; i < m; ++i) {
      const ScalarBound& bound = (*bounds)[static_cast<std::size_t>(i)];
      double candidate = std::numeric_limits<double>::infinity();
      if (d[i] < 0.0 && std::isfinite(lower_end(bound))) {
        candidate = (lower_end(bound) - x_[i]) / d[i];
      } else if (d[i] > 0.0 && std::isfinite(upper_end(bound))) {
        candidate = (upper_end(bound) - x_[i]) / d[i];
      }
      if (candidate < t_max) t_max = candidate;
    }
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

void LBFGSB::start_run(Vector x, double f, Vector g, const LBFGSBConfig& config) {
  x_ = std::move(x);
  f_ = f;
  g_ = std::move(g);
  f_previous_ = std::numeric_limits<double>::infinity();
  box_ = box_of(config.bounds, x_.size());
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

std::vector<bool> LBFGSB::on_bound(const Vector& point, const Box& box) {
  std::vector<bool> fixed(static_cast<std::size_t>(point.size()));
  for (Eigen::Index i = 0; i < point.size(); ++i) {
    fixed[static_cast<std::size_t>(i)] = box.on_bound(i, point[i]);
  }
  return fixed;
}

void LBFGSB::accept(const LineSearchResult& result, const Vector& d,
                    const std::optional<BoundList>& bounds) {
  Vector x_new = clip(x_ + result.step * d, bounds);
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
