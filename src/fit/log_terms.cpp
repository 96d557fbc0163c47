// Two ways through the events, with the same bits: with AVX-512, the pass
// of log_terms_eight_lanes.cpp; otherwise blocks of 256 events in three
// steps each: the floored mixture densities and the stop test into a buffer,
// their logarithms into another (exact_log: std::log bit for bit), then the
// weighted sum.
//
// Compiled with -ffp-contract=off (src/fit/CMakeLists.txt): a product and
// the sum it enters are never fused.
#include "fit/log_terms.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "fit/exact_log.hpp"
#include "fit/log_terms_eight_lanes.hpp"
#include "fit/mixture_block.hpp"
#include "optimizer/core/linalg.hpp"

namespace tarnwick::fit {

namespace {

constexpr std::size_t kBlock = kExactLogBlock;

// N is the number of components when known at compile time (the common
// two-component fit), 0 for any number. Never inlined: its buffers then live
// only while it runs, not in the frame of the caller while the PDFs are
// called (a PDF may itself run a fit, and every level of such nesting would
// carry them on the stack).
template <std::size_t N>
[[gnu::noinline]] LogTerms blocked_log_terms(double nll,
                                             std::span<const std::span<const double>> f,
                                             std::span<const double> yields,
                                             std::span<const double> weights, double floor,
                                             LogKernel kernel) {
  const std::size_t n_events = weights.size();
  std::array<double, kBlock> density;
  std::array<double, kBlock> logs;
  for (std::size_t start = 0; start < n_events; start += kBlock) {
    const std::size_t length = std::min(kBlock, n_events - start);
    bool stops = false;
    if constexpr (N == 2) {
      stops = two_component_mixture(f[0].data() + start, f[1].data() + start, yields[0],
                                    yields[1], length, floor, density.data());
    } else {
      for (std::size_t j = 0; j < length; ++j) {
        const Mixture m = mixture_at(f, yields, start + j);
        stops |= m.stops();
        density[j] = std::max(m.density, floor);
      }
    }
    if (stops) return {nll, first_stop(f, yields, start)};
    exact_log(std::span<const double>(density).first(length), logs, kernel);
    for (std::size_t j = 0; j < length; ++j) nll -= weights[start + j] * logs[j];
  }
  return {nll, std::nullopt};
}

}  // namespace

LogTerms subtract_log_terms(double nll, std::span<const std::span<const double>> f,
                            std::span<const double> yields, std::span<const double> weights,
                            bool weights_are_one, double floor, LogKernel kernel) {
  TARNWICK_REQUIRE(f.size() == yields.size());
  for (const auto& fk : f) TARNWICK_REQUIRE(fk.size() == weights.size());
  const bool two = f.size() == 2;
  if (kernel == LogKernel::EightLane && f.size() <= kEightLaneMostComponents) {
    return eight_lane_log_terms(nll, f, yields, weights, weights_are_one, floor);
  }
  return two ? blocked_log_terms<2>(nll, f, yields, weights, floor, kernel)
             : blocked_log_terms<0>(nll, f, yields, weights, floor, kernel);
}

}  // namespace tarnwick::fit
