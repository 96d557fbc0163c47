// The log pass over a range in blocks of kExactLogBlock events, for every
// log kernel but the eight-lane one (log_terms_eight_lanes.cpp): the
// floored mixture densities and the stop test into a buffer, their
// logarithms into another (exact_log: std::log bit for bit), then the terms
// into four double-double lanes.
#include <algorithm>
#include <array>
#include <cmath>

#include "numerics/kernel_variants.hpp"
#include "numerics/mixture.hpp"

namespace tarnwick::numerics {

namespace {

constexpr std::size_t kBlock = kExactLogBlock;
constexpr std::size_t kLanes = 4;

// N is the number of components when known at compile time (the common
// two-component fit), 0 for any number. Never inlined: its buffers then live
// only while it runs, not in the frame of the caller while the PDFs are
// called (a PDF may itself run a fit, and every level of such nesting would
// carry them on the stack).
template <std::size_t N>
[[gnu::noinline]] RangeSum blocked_range(const LogTermsInput& in, std::size_t begin,
                                         std::size_t end, TwoComponentMixture mixture,
                                         LogKernel kernel) {
  std::array<double, kBlock> density;
  std::array<double, kBlock> terms;
  LaneSums<kLanes> lanes;
  RangeSum result;
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t length = std::min(kBlock, end - start);
    bool stops = false;
    if constexpr (N == 2) {
      stops = mixture(in.f[0].data() + start, in.f[1].data() + start, in.yields[0], in.yields[1],
                      length, in.floor, density.data());
    } else {
      for (std::size_t j = 0; j < length; ++j) {
        const Mixture m = mixture_at(in.f, in.yields, start + j);
        stops |= m.stops();
        density[j] = std::max(m.density, in.floor);
      }
    }
    if (stops) {
      result.stopped_at = first_stop(in.f, in.yields, start);
      return result;
    }
    exact_log(std::span<const double>(density).first(length), terms, kernel);
    if (!in.weights_are_one) {
      for (std::size_t j = 0; j < length; ++j) terms[j] *= in.weights[start + j];
    }
    for (std::size_t j = 0; j < length; ++j) terms[j] = -terms[j];
    lanes.add(terms.data(), length);
  }
  result.sum.add(lanes);
  return result;
}

}  // namespace

RangeSum blocked_range_sum(const LogTermsInput& in, std::size_t begin, std::size_t end,
                           TwoComponentMixture mixture, LogKernel kernel) {
  return in.f.size() == 2 ? blocked_range<2>(in, begin, end, mixture, kernel)
                          : blocked_range<0>(in, begin, end, mixture, kernel);
}

// std::log is what exact_log reproduces, so this is every kernel's term.
double negative_log_term(const LogTermsInput& in, std::size_t i) {
  const double log_m = std::log(std::max(mixture_at(in.f, in.yields, i).density, in.floor));
  return -(in.weights_are_one ? log_m : in.weights[i] * log_m);
}

}  // namespace tarnwick::numerics
