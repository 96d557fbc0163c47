// The options of one fit.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick::fit {

struct SPlotConfig {
  // Absent: equal start yields summing to the total event weight.
  std::optional<std::vector<double>> initial_yields;
  // Absent: every event has weight 1. Signed weights are allowed.
  std::optional<std::vector<double>> event_weights;
  // Absent: no step limit.
  std::optional<std::uint64_t> max_steps;
  // Convergence tolerance of every termination test; must be finite and > 0.
  double tolerance = 1e-8;
};

}  // namespace tarnwick::fit
