// exact_log against std::log, bit for bit, with every kernel this machine
// runs, on about 10⁶ values from several distributions.
#include "numerics/exact_log.hpp"
#include "bit_pattern.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tarnwick::numerics::testing {
namespace {

// The likelihood's floor on densities: the smallest value it takes the
// logarithm of, and values around it.
constexpr double kDensityFloor = 1e-300;

struct Comparison {
  std::size_t values = 0;
  std::size_t mismatches = 0;
  std::size_t from_library = 0;
  double first_mismatch = 0.0;
};

// The kernels this machine runs.
std::vector<LogKernel> kernels() {
  std::vector<LogKernel> available;
  for (const LogKernel k : {LogKernel::Library, LogKernel::FourLane, LogKernel::EightLane}) {
    if (log_kernel_available(k)) available.push_back(k);
  }
  return available;
}

// Runs exact_log over `values` in blocks of every length pattern (full blocks
// and a shorter tail) and compares each result with std::log bit for bit.
Comparison compare(const std::vector<double>& values, LogKernel kernel) {
  Comparison c;
  std::array<double, kExactLogBlock> out;
  for (std::size_t start = 0; start < values.size(); start += kExactLogBlock) {
    const std::size_t n = std::min(kExactLogBlock, values.size() - start);
    const std::span<const double> block(values.data() + start, n);
    c.from_library += exact_log(block, out, kernel);
    for (std::size_t i = 0; i < n; ++i) {
      if (bits_of(out[i]) != bits_of(std::log(block[i]))) {
        if (c.mismatches == 0) c.first_mismatch = block[i];
        ++c.mismatches;
      }
    }
    c.values += n;
  }
  return c;
}

void expect_identical(const std::vector<double>& values) {
  for (const LogKernel kernel : kernels()) {
    const Comparison c = compare(values, kernel);
    EXPECT_EQ(c.values, values.size());
    EXPECT_EQ(c.mismatches, 0u) << "kernel " << static_cast<int>(kernel) << ", first at x = "
                                << std::hexfloat << c.first_mismatch;
    if (kernel == LogKernel::Library) {
      EXPECT_EQ(c.from_library, c.values);
    }
  }
}

// A block too long or an output too short is a fault of the caller: the
// shared check stops the program and names the condition.
TEST(ExactLogDeathTest, BrokenPreconditionStopsWithTheCheck) {
  const std::vector<double> x(kExactLogBlock + 1, 2.0);
  std::vector<double> out(x.size());
  EXPECT_DEATH(exact_log(x, out, LogKernel::Library), "internal fault: x.size\\(\\) <=");
  std::vector<double> short_out(3);
  EXPECT_DEATH(exact_log(std::span(x).first(4), short_out), "internal fault");
}

TEST(ExactLog, UniformMantissasOverTheWholeExponentRange) {
  // Every positive finite double is equally likely, by bit pattern: all
  // exponents, subnormals included.
  std::mt19937_64 rng(11);
  std::vector<double> values(300'000 + 77);  // a tail shorter than a block
  for (auto& v : values) v = from_bits(rng() % 0x7FF0000000000000);
  expect_identical(values);
}

TEST(ExactLog, NearOne) {
  std::mt19937_64 rng(12);
  std::uniform_int_distribution<int> scale(1, 60);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> values(200'000);
  for (auto& v : values) v = 1.0 + std::ldexp(unit(rng), -scale(rng));
  // And the doubles next to 1, 2 and 1/2, and next to the bucket edges of
  // both vector kernels (256 and 32 buckets) in three binades.
  std::vector<double> anchors{1.0, 2.0, 0.5};
  for (const int bits : {8, 5}) {
    const double width = std::ldexp(1.0, -bits);
    for (double edge = 1.0 + width / 2.0; edge < 2.0; edge += width) {
      for (const double binade : {0.5, 1.0, 2.0}) anchors.push_back(binade * edge);
    }
  }
  for (const double anchor : anchors) {
    double up = anchor;
    double down = anchor;
    for (int i = 0; i < 500; ++i) {
      values.push_back(up = std::nextafter(up, 4.0));
      values.push_back(down = std::nextafter(down, 0.0));
    }
  }
  expect_identical(values);
}

TEST(ExactLog, SubnormalsTheFloorAndSpecialValues) {
  std::mt19937_64 rng(13);
  std::vector<double> values;
  for (int i = 0; i < 50'000; ++i) values.push_back(from_bits(rng() % 0x0010000000000000));
  double up = kDensityFloor;
  double down = kDensityFloor;
  for (int i = 0; i < 20'000; ++i) {
    values.push_back(up = std::nextafter(up, 1.0));
    values.push_back(down = std::nextafter(down, 0.0));
  }
  values.push_back(kDensityFloor);
  const double inf = std::numeric_limits<double>::infinity();
  for (const double v : {0.0, -0.0, -1.0, -inf, inf, std::numeric_limits<double>::quiet_NaN(),
                         -std::numeric_limits<double>::quiet_NaN(), DBL_MIN, DBL_MAX,
                         std::numeric_limits<double>::denorm_min(), 1.0, 2.0, 0.5, 1024.0}) {
    values.push_back(v);
  }
  for (int e = -1074; e <= 1023; ++e) values.push_back(std::ldexp(1.0, e));
  expect_identical(values);
}

TEST(ExactLog, TypicalDensitiesAndMostComeFromTheVectorPath) {
  // Log-uniform on [1e-3, 1e6], the mixture densities of a fit; then yields
  // times a unit-scale density.
  std::mt19937_64 rng(14);
  std::uniform_real_distribution<double> exponent(-3.0, 6.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> values(400'000);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = i % 2 == 0 ? std::pow(10.0, exponent(rng)) : 1e5 * (0.9 + 9.0 * unit(rng));
  }
  for (const LogKernel kernel : kernels()) {
    const Comparison c = compare(values, kernel);
    EXPECT_EQ(c.mismatches, 0u) << "first at x = " << std::hexfloat << c.first_mismatch;
    if (kernel != LogKernel::Library) {
      // Only the values whose logarithm lies near a midpoint between doubles
      // (about 1 in 16) go to std::log.
      EXPECT_LT(static_cast<double>(c.from_library), 0.08 * static_cast<double>(c.values));
      EXPECT_GT(c.from_library, 0u);
    } else {
      EXPECT_EQ(c.from_library, c.values);
    }
  }
}

}  // namespace
}  // namespace tarnwick::numerics::testing
