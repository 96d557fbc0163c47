// exact_log against std::log, bit for bit, on about 10⁶ values from several
// distributions; the two-component mixture against the event-by-event
// expression; and the likelihood pass across block boundaries.
#include "fit/exact_log.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "fit/exact_sum.hpp"
#include "fit/joint_likelihood.hpp"
#include "fit/log_terms.hpp"
#include "fit/mixture_block.hpp"
#include "fit/worker_threads.hpp"
#include "test_pdfs.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

std::uint64_t bits_of(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

double from_bits(std::uint64_t b) {
  double v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

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

TEST(TwoComponentMixture, SameBitsAndStopsAsTheEventByEventExpression) {
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
      const int kind = trial % 5;  // 0: plain, 1: an all-zero event, 2: overflow, 3: -0, 4: floor
      const std::size_t at = rng() % n;
      double y0 = 1e3 * unit(rng);
      double y1 = -1e2 * unit(rng);
      if (kind == 1) f0[at] = f1[at] = 0.0;
      if (kind == 2) y0 = 1e300, f0[at] = 1e300;
      if (kind == 3) f0[at] = -0.0, f1[at] = 0.0;
      if (kind == 4) f1[at] = 0.0, f0[at] = 1e-310;
      std::vector<double> density(n);
      const bool stops = two_component_mixture(f0.data(), f1.data(), y0, y1, n, kDensityFloor,
                                               density.data());
      bool expected_stops = false;
      for (std::size_t j = 0; j < n; ++j) {
        double m = 0.0;
        m += y0 * f0[j];
        m += y1 * f1[j];
        expected_stops |= (f0[j] == 0.0 && f1[j] == 0.0) || !(std::abs(m) < inf);
        if (std::abs(m) < inf) {
          ASSERT_EQ(bits_of(density[j]), bits_of(std::max(m, kDensityFloor))) << j;
        }
      }
      EXPECT_EQ(stops, expected_stops);
      EXPECT_EQ(stops, kind == 1 || kind == 2 || kind == 3);
    }
  }
}

// The likelihood pass: the value is the exact sum of the event-by-event
// terms rounded once, with the same bits for every kernel and any number of
// threads, and the first offending event is reported wherever it lies.
TEST(LikelihoodPass, ExactValueAndFirstStopForEveryKernelAndThreadCount) {
  const std::vector<double> yields{350.0, 650.0};
  std::vector<std::unique_ptr<WorkerThreads>> pools;
  for (const std::size_t t : {1, 2, 3}) pools.push_back(std::make_unique<WorkerThreads>(t));
  // Every kernel on every pool, and the pass without threads.
  const auto passes = [&](double s, const LogTermsInput& in, auto&& check) {
    for (const LogKernel kernel : kernels()) {
      check(subtract_log_terms(s, in, nullptr, kernel), kernel, 0);
      for (auto& pool : pools) check(subtract_log_terms(s, in, pool.get(), kernel), kernel,
                                     pool->size());
    }
  };
  // 1000 events: one range; 65,836 and 300,001: several, the last short.
  for (const std::size_t n : {std::size_t{1000}, std::size_t{65'836}, std::size_t{300'001}}) {
    std::mt19937_64 rng(16);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> a(n), b(n), w(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = 3.0 * unit(rng);
      b[i] = unit(rng);
      w[i] = 0.5 + unit(rng);
    }
    const std::vector<std::span<const double>> f{a, b};
    for (const bool weighted : {true, false}) {
      const std::vector<double> weights = weighted ? w : std::vector<double>(n, 1.0);
      ExactSum exact;
      exact.add(1000.0);
      for (std::size_t i = 0; i < n; ++i) {
        double m = 0.0;
        m += 350.0 * a[i];
        m += 650.0 * b[i];
        exact.add(-(weights[i] * std::log(std::max(m, kDensityFloor))));
      }
      const double expected = exact.value();
      passes(1000.0, {f, yields, weights, !weighted, kDensityFloor},
             [&](const LogTerms& terms, LogKernel kernel, std::size_t threads) {
               EXPECT_EQ(terms.stopped_at, std::nullopt);
               EXPECT_EQ(bits_of(terms.nll), bits_of(expected))
                   << n << " " << weighted << " " << static_cast<int>(kernel) << " " << threads;
             });
    }
    // Stops in the first and later ranges; with two, the first one counts,
    // whichever thread meets it first.
    for (const std::size_t at : {std::size_t{300}, std::size_t{600}, n - 300, n - 5}) {
      for (const std::size_t later : {std::size_t{0}, n - 1}) {
        std::vector<double> a2 = a, b2 = b;
        a2[at] = b2[at] = 0.0;  // all zero
        if (later > at) a2[later] = 1e308;  // 350 · 1e308 overflows
        const std::vector<std::span<const double>> f2{a2, b2};
        passes(0.0, {f2, yields, w, false, kDensityFloor},
               [&](const LogTerms& terms, LogKernel kernel, std::size_t threads) {
                 EXPECT_EQ(terms.stopped_at, at)
                     << n << " " << later << " " << static_cast<int>(kernel) << " " << threads;
               });
      }
    }
  }
}

// Terms of ±10³⁰⁶ overflow the lanes, so the pass sums them again exactly;
// here they cancel, and the exact value is small and finite.
TEST(LikelihoodPass, LanesThatOverflowFallBackOnTheExactSum) {
  constexpr std::size_t n = 70'000;
  std::vector<double> a(n, 2.0), b(n, 1.0), w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = (i % 2 == 0 ? 1e306 : -1e306) * (1.0 + 1e-3 * (i % 7));
  a[17] = 5.0;
  const std::vector<std::span<const double>> f{a, b};
  const std::vector<double> yields{1.0, 1.0};
  ExactSum exact;
  exact.add(2.0);
  for (std::size_t i = 0; i < n; ++i) exact.add(-(w[i] * std::log(a[i] + b[i])));
  const double expected = exact.value();
  ASSERT_TRUE(std::isfinite(expected));
  WorkerThreads pool(2);
  for (const LogKernel kernel : kernels()) {
    for (WorkerThreads* threads : {static_cast<WorkerThreads*>(nullptr), &pool}) {
      const LogTerms terms = subtract_log_terms(2.0, {f, yields, w, false, kDensityFloor},
                                                threads, kernel);
      EXPECT_EQ(terms.stopped_at, std::nullopt);
      EXPECT_EQ(bits_of(terms.nll), bits_of(expected)) << static_cast<int>(kernel);
    }
  }
}

}  // namespace
}  // namespace tarnwick::fit::testing
