// The final report of a minimisation run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "optimizer/core/bounds.hpp"
#include "optimizer/core/status.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

struct MinimizationSummary {
  std::optional<BoundList> bounds;
  std::optional<std::vector<std::string>> parameter_names;
  StatusMessage message;
  Vector initial_point;
  Vector best_point;
  // √diag(covariance), or unknown_uncertainties(n) when no Hessian was set.
  Vector std_errors;
  // The pseudo-inverse of the final Hessian, or the identity when none.
  Matrix covariance;
  double best_value = 0.0;
  std::uint64_t cost_evaluations = 0;
  std::uint64_t gradient_evaluations = 0;
  std::uint64_t hessian_evaluations = 0;
};

// n quiet NaNs: the uncertainties of a run that has no Hessian.
[[nodiscard]] Vector unknown_uncertainties(Eigen::Index n);

}  // namespace tarnwick::optimizer
