// The two-component mixture: every variant this machine runs against the
// event-by-event expression.
#include "numerics/mixture.hpp"
#include "bit_pattern.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics::testing {
namespace {

// The likelihood's density floor.
constexpr double kFloor = 1e-300;

// The variants this machine runs, and the dispatched entry point.
std::vector<TwoComponentMixture> variants() {
  std::vector<TwoComponentMixture> v{portable_two_component_mixture, two_component_mixture};
#ifdef TARNWICK_X86_64
  if (cpu_has_avx2()) v.push_back(avx2::two_component_mixture);
#endif
  return v;
}

TEST(TwoComponentMixture, EveryVariantHasTheBitsAndStopsOfTheEventByEventExpression) {
  for (const TwoComponentMixture mixture : variants()) {
    std::mt19937_64 rng(15);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (const std::size_t n : {std::size_t{256}, std::size_t{255}, std::size_t{3}}) {
      for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> f0(n), f1(n);
        for (std::size_t j = 0; j < n; ++j) {
          f0[j] = std::ldexp(unit(rng), static_cast<int>(rng() % 40) - 20);
          f1[j] = std::ldexp(unit(rng), static_cast<int>(rng() % 40) - 20);
        }
        // 0: plain, 1: an all-zero event, 2: overflow, 3: -0, 4: floor
        const int kind = trial % 5;
        const std::size_t at = rng() % n;
        double y0 = 1e3 * unit(rng);
        double y1 = -1e2 * unit(rng);
        if (kind == 1) f0[at] = f1[at] = 0.0;
        if (kind == 2) y0 = 1e300, f0[at] = 1e300;
        if (kind == 3) f0[at] = -0.0, f1[at] = 0.0;
        if (kind == 4) f1[at] = 0.0, f0[at] = 1e-310;
        std::vector<double> density(n);
        const bool stops = mixture(f0.data(), f1.data(), y0, y1, n, kFloor, density.data());
        bool expected_stops = false;
        for (std::size_t j = 0; j < n; ++j) {
          double m = 0.0;
          m += y0 * f0[j];
          m += y1 * f1[j];
          expected_stops |= (f0[j] == 0.0 && f1[j] == 0.0) || !(std::abs(m) < inf);
          if (std::abs(m) < inf) {
            ASSERT_EQ(bits_of(density[j]), bits_of(std::max(m, kFloor))) << j;
          }
        }
        EXPECT_EQ(stops, expected_stops);
        EXPECT_EQ(stops, kind == 1 || kind == 2 || kind == 3);
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::numerics::testing
