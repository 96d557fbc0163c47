// The vectorised exp: within an ulp of std::exp, the edges handed to it, and
// the same bits from every variant this machine runs.
#include "numerics/vector_exp.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "numerics/cpu_features.hpp"
#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics {
namespace {

TEST(VectorExp, StaysWithinAnUlpOfStdExpAndHandsTheEdgesToIt) {
  // 1000 points across the fast range, then its edges and beyond: subnormal
  // and zero results, overflow, NaN (blocks of 256 mix both paths).
  std::vector<double> x;
  for (int i = 0; i < 1000; ++i) x.push_back(-708.0 + 1416.0 * i / 999.0 + 1e-3 * (i % 7));
  for (const double edge : {-708.0, 708.0, -708.5, -745.0, -800.0, 709.7, 710.0}) x.push_back(edge);
  x.push_back(NAN);
  std::vector<double> y = x;
  exp_in_place(y);
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double expected = std::exp(x[i]);
    if (std::fabs(x[i]) > 708.0) {
      EXPECT_EQ(y[i], expected) << x[i];
    } else {
      EXPECT_LE(std::fabs(y[i] - expected), std::nextafter(expected, INFINITY) - expected) << x[i];
    }
  }
  EXPECT_TRUE(std::isnan(y.back()));
  // Every variant this machine runs gives the portable variant's bits.
  std::vector<double> portable = x;
  portable_exp_in_place(portable);
  const auto same_bits = [&](void (*variant)(std::span<double>) noexcept) {
    std::vector<double> z = x;
    variant(z);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(z[i]), std::bit_cast<std::uint64_t>(portable[i]))
          << x[i];
    }
  };
#ifdef TARNWICK_X86_64
  if (cpu_has_avx2_fma()) same_bits(avx2::exp_in_place);
  if (cpu_has_avx512()) same_bits(avx512::exp_in_place);
#endif
  same_bits(portable_exp_in_place);
}

}  // namespace
}  // namespace tarnwick::numerics
