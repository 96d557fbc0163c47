// The one place where this floor chooses a kernel: each public entry point
// of a kernel family picks its variant (kernel_variants.hpp) from what
// cpu_features reports and, for the logarithms, from whether the kernel's
// table passed its checks. A choice made from the processor alone is made
// once, on first use.
#include "base/check.hpp"
#include "numerics/cpu_features.hpp"
#include "numerics/density_scan.hpp"
#include "numerics/exact_log.hpp"
#include "numerics/kernel_variants.hpp"
#include "numerics/log_eight_lanes.hpp"
#include "numerics/log_four_lanes.hpp"
#include "numerics/log_range.hpp"
#include "numerics/mixture.hpp"
#include "numerics/power_law.hpp"
#include "numerics/vector_exp.hpp"

namespace tarnwick::numerics {

std::optional<std::size_t> first_invalid_density(std::span<const double> values) noexcept {
#ifdef TARNWICK_X86_64
  static const DensityBlockTest test = cpu_has_avx512() ? avx512::densities_valid
                                       : cpu_has_avx2() ? avx2::densities_valid
                                                        : densities_valid;
#else
  constexpr DensityBlockTest test = densities_valid;
#endif
  return scan_densities(values, test);
}

void exp_in_place(std::span<double> values) noexcept {
  using Exp = void (*)(std::span<double>) noexcept;
#ifdef TARNWICK_X86_64
  static const Exp exp = cpu_has_avx512()     ? avx512::exp_in_place
                         : cpu_has_avx2_fma() ? avx2::exp_in_place
                                              : portable_exp_in_place;
#else
  constexpr Exp exp = portable_exp_in_place;
#endif
  exp(values);
}

void power_law_in_place(std::span<double> values, double power, double offset) noexcept {
  using PowerLaw = void (*)(std::span<double>, double, double) noexcept;
#ifdef TARNWICK_X86_64
  static const PowerLaw power_law = cpu_has_avx512()     ? avx512::power_law_in_place
                                    : cpu_has_avx2_fma() ? avx2::power_law_in_place
                                                         : portable_power_law_in_place;
#else
  constexpr PowerLaw power_law = portable_power_law_in_place;
#endif
  power_law(values, power, offset);
}

namespace {

TwoComponentMixture chosen_mixture() {
#ifdef TARNWICK_X86_64
  static const TwoComponentMixture mixture =
      cpu_has_avx2() ? avx2::two_component_mixture : portable_two_component_mixture;
  return mixture;
#else
  return portable_two_component_mixture;
#endif
}

}  // namespace

bool two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                           std::size_t n, double floor, double* density) {
  return chosen_mixture()(f0, f1, y0, y1, n, floor, density);
}

bool log_kernel_available(LogKernel kernel) {
  switch (kernel) {
    case LogKernel::Library:
      return true;
#ifdef TARNWICK_VECTOR_LOG
    case LogKernel::FourLane: {
      static const bool four = cpu_has_avx2_fma() && avx2::log_table_valid();
      return four;
    }
    case LogKernel::EightLane: {
      static const bool eight = cpu_has_avx512() && avx512::log_table().valid;
      return eight;
    }
#else  // not x86-64 with glibc ≥ 2.28: the library's log for every value
    case LogKernel::FourLane:
    case LogKernel::EightLane:
      return false;
#endif
  }
  return false;
}

LogKernel fastest_log_kernel() {
  static const LogKernel fastest = log_kernel_available(LogKernel::EightLane) ? LogKernel::EightLane
                                   : log_kernel_available(LogKernel::FourLane)
                                       ? LogKernel::FourLane
                                       : LogKernel::Library;
  return fastest;
}

std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel) {
  TARNWICK_REQUIRE(x.size() <= kExactLogBlock && out.size() >= x.size() &&
                   log_kernel_available(kernel));
  switch (kernel) {
#ifdef TARNWICK_VECTOR_LOG
    case LogKernel::FourLane:
      return avx2::four_lane_log(x, out);
    case LogKernel::EightLane:
      return avx512::eight_lane_log(x, out);
#else
    case LogKernel::FourLane:
    case LogKernel::EightLane:
#endif
    case LogKernel::Library:
      break;
  }
  return library_log(x, out);
}

std::size_t exact_log(std::span<const double> x, std::span<double> out) {
  return exact_log(x, out, fastest_log_kernel());
}

RangeSum log_terms_range(const LogTermsInput& in, std::size_t begin, std::size_t end,
                         LogKernel kernel) {
#ifdef TARNWICK_VECTOR_LOG
  if (kernel == LogKernel::EightLane && in.f.size() <= avx512::kEightLaneMostComponents) {
    return avx512::eight_lane_range_sum(in, begin, end);
  }
#endif
  return blocked_range_sum(in, begin, end, chosen_mixture(), kernel);
}

}  // namespace tarnwick::numerics
