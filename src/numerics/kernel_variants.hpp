// Every variant of every kernel family on this floor, portable and vector,
// for the one file that chooses among them (dispatch.cpp) and for the tests,
// which call each variant the machine runs. A vector variant lives in its
// own file, compiled for its instruction set by a TARNWICK_TARGET_* attribute
// (cpu_features.hpp), and is called only where dispatch.cpp has seen the
// processor run it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "numerics/exact_log.hpp"
#include "numerics/log_range.hpp"

namespace tarnwick::numerics {

// Density scan: whether v[0] … v[n − 1] are all densities (not NaN,
// infinite or negative). Portable in density_scan.cpp.
using DensityBlockTest = bool (*)(const double* v, std::size_t n);
[[nodiscard]] bool densities_valid(const double* v, std::size_t n);
// The first value that is not a density, testing blocks with `test`.
[[nodiscard]] std::optional<std::size_t> scan_densities(std::span<const double> values,
                                                        DensityBlockTest test);

// Two-component mixture, as two_component_mixture (mixture.hpp). Portable
// in mixture.cpp.
using TwoComponentMixture = bool (*)(const double* f0, const double* f1, double y0, double y1,
                                     std::size_t n, double floor, double* density);
bool portable_two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                                    std::size_t n, double floor, double* density);

// Log pass over a range in blocks of kExactLogBlock events: the mixture with
// `mixture`, the logarithms with exact_log's `kernel` (Library or FourLane),
// the terms into four lanes (log_terms_blocked.cpp).
[[nodiscard]] RangeSum blocked_range_sum(const LogTermsInput& in, std::size_t begin,
                                         std::size_t end, TwoComponentMixture mixture,
                                         LogKernel kernel);

// The library's log of every value (exact_log.cpp).
std::size_t library_log(std::span<const double> x, std::span<double> out);

// exp over an array, as exp_in_place (vector_exp.hpp). Portable in
// vector_exp.cpp.
void portable_exp_in_place(std::span<double> values) noexcept;

// The power law, as power_law_in_place (power_law.hpp). Portable in
// power_law.cpp.
void portable_power_law_in_place(std::span<double> values, double power,
                                 double offset) noexcept;

namespace avx2 {
// vector_exp_avx2.cpp (needs AVX2 and FMA)
void exp_in_place(std::span<double> values) noexcept;
// power_law_avx2.cpp (needs AVX2 and FMA)
void power_law_in_place(std::span<double> values, double power, double offset) noexcept;
// density_scan_avx2.cpp
[[nodiscard]] bool densities_valid(const double* v, std::size_t n);
// mixture_avx2.cpp
bool two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                           std::size_t n, double floor, double* density);
}  // namespace avx2

namespace avx512 {
// vector_exp_avx512.cpp
void exp_in_place(std::span<double> values) noexcept;
// power_law_avx512.cpp
void power_law_in_place(std::span<double> values, double power, double offset) noexcept;
// density_scan_avx512.cpp
[[nodiscard]] bool densities_valid(const double* v, std::size_t n);
// The most components the eight-lane pass takes.
inline constexpr std::size_t kEightLaneMostComponents = 16;
// The range with the eight-lane logarithm (log_terms_eight_lanes.cpp), for
// at most kEightLaneMostComponents components; the kernel must be available.
[[nodiscard]] RangeSum eight_lane_range_sum(const LogTermsInput& in, std::size_t begin,
                                            std::size_t end);
}  // namespace avx512

}  // namespace tarnwick::numerics
