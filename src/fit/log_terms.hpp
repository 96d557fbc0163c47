// The sum of the log terms of the extended likelihood,
//
//   nll − Σ_i w_i ln max(m_i, floor),   m_i = Σ_k y_k f_k(i),
//
// summed in event order and, within m_i, in component order starting from 0
// (each product and sum rounded on its own), so that its bits do not depend
// on how the pass is vectorised or blocked.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "fit/exact_log.hpp"

namespace tarnwick::fit {

struct LogTerms {
  // The sum; meaningless when the pass stopped.
  double nll;
  // The first event whose PDF values are all zero or whose mixture density
  // is not finite, if any; the pass stops there.
  std::optional<std::size_t> stopped_at;
};

// f[k][i] = f_k(i) for every component k, yields[k] = y_k, weights[i] = w_i;
// every f[k] has weights.size() values. `weights_are_one` says that every
// w_i is 1 (the weights are then not read: 1 · ln m is ln m exactly). The
// logarithms come from `kernel` (which must be available; every kernel gives
// the same bits).
[[nodiscard]] LogTerms subtract_log_terms(double nll, std::span<const std::span<const double>> f,
                                          std::span<const double> yields,
                                          std::span<const double> weights, bool weights_are_one,
                                          double floor,
                                          LogKernel kernel = fastest_log_kernel());

}  // namespace tarnwick::fit
