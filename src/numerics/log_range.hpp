// The log part of the extended likelihood over a range of events,
//
//   Σ_i (−t_i),   t_i = w_i ln max(m_i, floor),   m_i = Σ_k y_k f_k(i),
//
// each t_i computed the same way by every kernel (m_i summed in component
// order from 0, each product and sum rounded on its own; std::log bit for
// bit; then the product with w_i), the terms summed into double-double
// lanes (lane_sums.hpp). One call per range: the mixture, the logarithm and
// the sum of a block stay on this floor.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "numerics/exact_log.hpp"
#include "numerics/lane_sums.hpp"

namespace tarnwick::numerics {

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
// event there that stops the pass: one whose PDF values are all zero or
// whose mixture density is not finite.
struct RangeSum {
  BoundedSum sum;
  std::optional<std::size_t> stopped_at;
};

// The range [begin, end) with `kernel`, which must be available; begin a
// multiple of kExactLogBlock (dispatch.cpp).
[[nodiscard]] RangeSum log_terms_range(const LogTermsInput& in, std::size_t begin,
                                       std::size_t end, LogKernel kernel);

// −t_i of one event, the same bits as every kernel's term (log_terms_blocked.cpp).
[[nodiscard]] double negative_log_term(const LogTermsInput& in, std::size_t i);

}  // namespace tarnwick::numerics
