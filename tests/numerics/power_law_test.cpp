// The double-double ln(1 + y) against values known exactly, and the edges
// of the power-law pass.
#include "numerics/power_law.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"
#include "numerics/vector_exp.hpp"

namespace tarnwick::numerics {
namespace {

constexpr dd::DoubleDouble kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

TEST(PowerLaw, Log1pIsExactToAbout64BitsAtPowersOfTwo) {
  // 1 + y = 2ᵏ (to k = 53; beyond, y = 2ᵏ and ln(1 + y) = k ln 2 + 2⁻ᵏ to
  // 2⁻²ᵏ), across the reduction's boundaries and binades; y = 2⁻⁶⁰ (1 + y
  // not a double).
  for (const int k : {1, 2, 3, 10, 52, 53, 54, 100, 999}) {
    const double y = k <= 53 ? std::ldexp(1.0, k) - 1.0 : std::ldexp(1.0, k);
    const dd::DoubleDouble log = log1p_double_double(y);
    dd::DoubleDouble expected = dd::two_product(k, kLn2.hi);
    expected.lo += k * kLn2.lo + (k <= 53 ? 0.0 : std::ldexp(1.0, -k));
    const double error = (log.hi - expected.hi) + (log.lo - expected.lo);
    EXPECT_LE(std::fabs(error), 0x1p-63 * expected.hi) << k;
  }
  const dd::DoubleDouble tiny = log1p_double_double(0x1p-60);
  EXPECT_EQ(tiny.hi, 0x1p-60);
  EXPECT_EQ(tiny.lo, -0x1p-121);
  // ln(45/32)² = 2 ln(45/32): 45/32 just below √2 is the series' longest
  // reach (t = 0.169), its square takes k = 1.
  const dd::DoubleDouble once = log1p_double_double(13.0 / 32.0);
  const dd::DoubleDouble twice = log1p_double_double(1001.0 / 1024.0);
  const double error = (twice.hi - 2.0 * once.hi) + (twice.lo - 2.0 * once.lo);
  EXPECT_LE(std::fabs(error), 0x1p-63 * twice.hi);
}

TEST(PowerLaw, EdgesTakeThePlainArithmeticAndOverflowStaysInfinite) {
  // 0, 1 + y a power of two, beyond 2¹⁰⁰⁰, infinite, NaN, −1, and an
  // exponent that overflows.
  std::vector<double> y = {0.0, 1.0, 0x1p1001, INFINITY, NAN, -1.0};
  power_law_in_place(y, 3.0, 2.0);
  std::vector<double> e2 = {2.0};
  exp_in_place(e2);
  EXPECT_EQ(y[0], e2[0]);
  EXPECT_NEAR(y[1], std::exp(2.0) / 8.0, 2e-16 * y[1]);
  EXPECT_EQ(y[2], std::exp(2.0 - 3.0 * std::log1p(0x1p1001)));
  EXPECT_EQ(y[3], 0.0);
  EXPECT_TRUE(std::isnan(y[4]));
  EXPECT_EQ(y[5], INFINITY);
  std::vector<double> overflow = {1e-3};
  power_law_in_place(overflow, 3.0, 800.0);
  EXPECT_EQ(overflow[0], INFINITY);
}

TEST(PowerLaw, EveryVariantGivesThePortableBits) {
  // Values across the decades and the edges, in blocks of 256 that mix
  // both paths; powers and offsets from the Crystal Balls' ranges.
  std::vector<double> y;
  for (int i = 0; i < 3000; ++i) y.push_back(std::pow(10.0, -12.0 + 18.0 * i / 2999.0));
  for (const double edge : {0.0, -0.5, -1.0, 0x1p1001, double{INFINITY}, double{NAN}}) y.push_back(edge);
  for (const auto& [power, offset] : {std::pair{3.0, -1.125}, {1.0000001, 0.0}, {200.0, 650.0}}) {
    std::vector<double> portable = y;
    portable_power_law_in_place(portable, power, offset);
    const auto same_bits = [&](void (*variant)(std::span<double>, double, double) noexcept) {
      std::vector<double> values = y;
      variant(values, power, offset);
      for (std::size_t i = 0; i < y.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(values[i]), std::bit_cast<std::uint64_t>(portable[i]))
            << y[i] << " " << power;
      }
    };
#ifdef TARNWICK_X86_64
    if (cpu_has_avx2_fma()) same_bits(avx2::power_law_in_place);
    if (cpu_has_avx512()) same_bits(avx512::power_law_in_place);
#endif
    same_bits(power_law_in_place);
  }
}

}  // namespace
}  // namespace tarnwick::numerics
