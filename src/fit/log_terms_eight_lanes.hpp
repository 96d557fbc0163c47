// The log terms of a range of events with the eight-lane logarithm
// (AVX-512): mixture, stop test and logarithm eight events at a time, the
// terms summed into eight double-double lanes. The same sum as
// blocked_range_sum (log_terms.hpp) up to the exact merge of the lanes.
#pragma once

#include <cstddef>

#include "fit/log_range.hpp"

namespace tarnwick::fit {

inline constexpr std::size_t kEightLaneMostComponents = 16;

// The range [begin, end) with the eight-lane kernel, which must be available,
// for at most kEightLaneMostComponents components.
[[nodiscard]] RangeSum eight_lane_range_sum(const LogTermsInput& in, std::size_t begin,
                                            std::size_t end);

}  // namespace tarnwick::fit
