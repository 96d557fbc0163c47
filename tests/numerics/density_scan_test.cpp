#include "numerics/density_scan.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace tarnwick::numerics::testing {
namespace {

TEST(FirstInvalidDensity, FindsTheFirstNonDensityAnywhere) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (const std::size_t n : {1u, 3u, 4u, 515u, 1030u}) {
    // Zeros of both signs and the smallest subnormal are densities.
    std::vector<double> values(n, 0.5);
    values[n / 2] = -0.0;
    values[n - 1] = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(first_invalid_density(values), std::nullopt) << n;
    for (const double bad : {nan, -nan, inf, -inf, -1e-300, -0x1p-1074}) {
      for (const std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
        std::vector<double> with_bad = values;
        with_bad[at] = bad;
        if (at + 1 < n) with_bad[n - 1] = nan;  // a later one is not the first
        EXPECT_EQ(first_invalid_density(with_bad), at) << n << " " << bad;
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::numerics::testing
