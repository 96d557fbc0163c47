// exact_log's four-lane kernel (x86-64 with AVX2 and FMA, where
// cpu_features.hpp defines TARNWICK_VECTOR_LOG): log_four_lanes.cpp.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwick::numerics::avx2 {

// Whether the kernel's table passed the checks made when it was built; the
// kernel may not run otherwise. Builds the table on first use.
[[nodiscard]] bool log_table_valid();

// exact_log(x, out, LogKernel::FourLane), on a processor with AVX2 and FMA
// and a valid table.
std::size_t four_lane_log(std::span<const double> x, std::span<double> out);

}  // namespace tarnwick::numerics::avx2
