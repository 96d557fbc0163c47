#include "numerics/density_scan.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics::testing {
namespace {

using Scan = std::function<std::optional<std::size_t>(std::span<const double>)>;

// The dispatched entry point, and the scan with every block test this
// machine runs.
std::vector<Scan> scans() {
  std::vector<Scan> all{first_invalid_density, [](std::span<const double> v) {
                          return scan_densities(v, densities_valid);
                        }};
#ifdef TARNWICK_X86_64
  if (cpu_has_avx2()) {
    all.emplace_back(
        [](std::span<const double> v) { return scan_densities(v, avx2::densities_valid); });
  }
  if (cpu_has_avx512()) {
    all.emplace_back(
        [](std::span<const double> v) { return scan_densities(v, avx512::densities_valid); });
  }
#endif
  return all;
}

TEST(FirstInvalidDensity, EveryVariantFindsTheFirstNonDensityAnywhere) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Scan& first_invalid : scans()) {
    for (const std::size_t n : {1u, 3u, 4u, 8u, 41u, 515u, 1030u}) {
      // Zeros of both signs and the smallest subnormal are densities.
      std::vector<double> values(n, 0.5);
      values[n / 2] = -0.0;
      values[n - 1] = std::numeric_limits<double>::denorm_min();
      EXPECT_EQ(first_invalid(values), std::nullopt) << n;
      for (const double bad : {nan, -nan, inf, -inf, -1e-300, -0x1p-1074}) {
        for (const std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
          std::vector<double> with_bad = values;
          with_bad[at] = bad;
          if (at + 1 < n) with_bad[n - 1] = nan;  // a later one is not the first
          EXPECT_EQ(first_invalid(with_bad), at) << n << " " << bad;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::numerics::testing
