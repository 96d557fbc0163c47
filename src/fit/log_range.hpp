// What a pass over a range of events reads and returns, shared by the pass
// (log_terms.hpp) and its eight-lane kernel (log_terms_eight_lanes.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "numerics/lane_sums.hpp"

namespace tarnwick::fit {

// What one pass reads. f[k][i] = f_k(i) for every component k,
// yields[k] = y_k, weights[i] = w_i; every f[k] has weights.size() values.
// `weights_are_one` says that every w_i is 1 (the weights are then not
// read: 1 · ln m is ln m exactly).
struct LogTermsInput {
  std::span<const std::span<const double>> f;
  std::span<const double> yields;
  std::span<const double> weights;
  bool weights_are_one;
  double floor;
};

// The terms −t_i of events [begin, end) summed into lanes, or the first
// event there that stops the pass.
struct RangeSum {
  numerics::BoundedSum sum;
  std::optional<std::size_t> stopped_at;
};

}  // namespace tarnwick::fit
