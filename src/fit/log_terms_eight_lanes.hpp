// The log terms with the eight-lane logarithm (AVX-512): the mixture, the
// stop test and the logarithm eight events at a time, with the ordered sum
// interleaved; on two threads for many events. Same bits as the pass of
// log_terms.cpp.
#pragma once

#include <cstddef>
#include <span>

#include "fit/log_terms.hpp"

namespace tarnwick::fit {

inline constexpr std::size_t kEightLaneMostComponents = 16;

// subtract_log_terms with the eight-lane kernel, which must be available, for
// at most kEightLaneMostComponents components.
[[nodiscard]] LogTerms eight_lane_log_terms(double nll,
                                            std::span<const std::span<const double>> f,
                                            std::span<const double> yields,
                                            std::span<const double> weights, bool weights_are_one,
                                            double floor);

}  // namespace tarnwick::fit
