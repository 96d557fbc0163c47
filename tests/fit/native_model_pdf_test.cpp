#include "fit/native_model_pdf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "fit/float_repr.hpp"
#include "fit/log_terms.hpp"
#include "fit/native_template.hpp"
#include "fit/normal_mass.hpp"
#include "fit/worker_threads.hpp"

namespace tarnwick::fit {
namespace {

// The direct formulas are evaluated in long double (64-bit mantissa), so
// their own rounding is 2⁻¹¹ of a double's ulp. A density exp(u) computed
// in double carries the rounding of its exponent u, |u|·ε relative, besides
// a few ulp of its own: the tolerance at exponent u.
constexpr double kEpsilon = 0x1p-52;
constexpr double tolerance(double exponent) { return kEpsilon * (4.0 + 2.0 * std::fabs(exponent)); }
constexpr double kRelative = tolerance(0.0);

NativeModel gaussian_model(double low, double high) {
  return {NativeShape::kGaussian, 1, low, high,
          {{"mu", 0.0, "ValueError: Gaussian: mu = "},
           {"", 0.02, "ValueError: Gaussian: sigma = "}},
          {},
          {},
          {}};
}

long double direct_gaussian(long double x, long double mu, long double sigma, long double low,
                            long double high) {
  // Φ(b) − Φ(a) from the upper tail, where the windows below lie.
  const long double root = std::sqrt(2.0L);
  const long double mass = 0.5L * (std::erfc((low - mu) / (sigma * root)) -
                                   std::erfc((high - mu) / (sigma * root)));
  const long double t = (x - mu) / sigma;
  return std::exp(-0.5L * t * t) / (sigma * std::sqrt(2.0L * 3.14159265358979323846264338L) * mass);
}

TEST(NativeModelPdf, GaussianMatchesTheDirectFormulaNearAndInTheTail) {
  // mu = 5.28, sigma = 0.02: a window around the peak, one 3σ–30σ above it.
  for (const auto& [low, high] : {std::pair{5.0, 5.6}, std::pair{5.34, 5.88}}) {
    std::vector<double> x;
    for (int i = 0; i <= 50; ++i) x.push_back(low + (high - low) * i / 50.0);
    std::vector<double> out;
    const double p[] = {5.28, 0.02};
    evaluate_native_model(gaussian_model(low, high), p, x, out);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const long double expected = direct_gaussian(x[i], p[0], p[1], low, high);
      if (expected < 1e-300L) continue;
      const double t = (x[i] - p[0]) / p[1];
      EXPECT_NEAR(out[i] / static_cast<double>(expected), 1.0, tolerance(0.5 * t * t)) << x[i];
    }
  }
}

TEST(NativeModelPdf, ExponentialAndUniformMatchTheirFormulasAndVanishOutside) {
  const std::vector<double> x = {-1.0, 0.0, 0.3, 1.0, 2.0};
  std::vector<double> out;
  for (const double slope : {-1e3, -2.5, 0.0, 1e-9, 7.0}) {
    const NativeModel model{NativeShape::kExponential, 0, 0.0, 1.0, {{"", slope, ""}}, {}, {}, {}};
    const double p[] = {slope};
    evaluate_native_model(model, p, x, out);
    for (std::size_t i = 1; i < 4; ++i) {
      const long double s = slope;
      const long double expected =
          slope == 0.0 ? 1.0L : s * std::exp(s * x[i]) / std::expm1(s);
      if (expected < 1e-300L) continue;  // below the doubles' normal range
      EXPECT_NEAR(out[i] / static_cast<double>(expected), 1.0, tolerance(slope * x[i]))
          << slope << " " << x[i];
    }
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[4], 0.0);
  }
  evaluate_native_model({NativeShape::kUniform, 0, 0.0, 1.6, {}, {}, {}, {}}, {}, x, out);
  EXPECT_EQ(out, (std::vector<double>{0.0, 0.625, 0.625, 0.625, 0.0}));
}

TEST(NativeFactors, ManyEventsOnSeveralThreadsGiveTheSameBitsAsOnOne) {
  // A Sum (whose arithmetic depends on every event lying in the window)
  // over a column of 2.5 blocks per thread's share, an odd last block.
  const NativeModel peak = gaussian_model(5.0, 5.6);
  NativeModel exponential{NativeShape::kExponential, 0, 5.0, 5.6, {{"", -2.0, ""}}, {}, {}, {}};
  const NativeModel sum{NativeShape::kSum, 0, 5.0, 5.6, {{"", 0.3, ""}},
                        {peak, exponential}, "ValueError: Sum: ", {}};
  std::vector<double> x(5 * kEventsPerThread + 77);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 5.0 + 0.6 * std::fmod(i * 0.618034, 1.0);
  const double p[] = {0.3, 5.28, 0.02, -2.0};
  WorkerThreads threads(2);
  ASSERT_EQ(threads.size(), 2U);
  const auto same_bits = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  for (const bool one_outside : {false, true}) {
    if (one_outside) x[17] = 5.7;  // the other arithmetic of a Sum
    NativeFactors factors(sum, EventView(x, 1));
    std::vector<double> alone;
    std::vector<double> shared;
    factors.evaluate(p, alone);
    factors.evaluate(p, shared, &threads);
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), shared.begin(), shared.end(), same_bits));
    EXPECT_EQ(shared[17] == 0.0, one_outside);
  }
}

TEST(NormalMass, ErfcxMatchesTheScaledComplementOnBothSidesOfTheSeriesSwitch) {
  for (const double z : {0.75, 3.0, 12.0, 25.9, 26.0, 40.0, 1e4}) {
    const long double zz = z;
    const long double expected = z < 100.0 ? std::exp(zz * zz) * std::erfc(zz)
                                           : 1.0L / (zz * std::sqrt(3.14159265358979323846L));
    EXPECT_NEAR(erfcx(z) / static_cast<double>(expected), 1.0, z < 100.0 ? kRelative : 1e-8)
        << z;
  }
}

TEST(FloatRepr, WritesTheShortestRoundTripInBothLayouts) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},        {-0.0, "-0.0"},   {0.1, "0.1"},         {1e-4, "0.0001"},
      {1e-5, "1e-05"},     {1.5e16, "1.5e+16"}, {1e16, "1e+16"},   {123456.0, "123456.0"},
      {-2.5e-300, "-2.5e-300"}, {1e100, "1e+100"}, {NAN, "nan"},    {-INFINITY, "-inf"},
      {9999999999999998.0, "9999999999999998.0"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(float_repr(value), text);
}

TEST(NativeModelPdf, CachesOnePointAndReportsAnInvalidValueWithTheModelMessage) {
  const std::vector<double> rows = {0.0, 5.2, 0.0, 5.3};  // two events, two columns
  const EventView events(rows, 2);
  NativeModel model = gaussian_model(5.0, 5.6);
  model.parameters[1] = {"sigma", 0.0, "ValueError: Gaussian: sigma = "};
  NativeModelPdf pdf(model, events, {1.0, 2.0}, {{"mu", 5.28}, {"sigma", 0.02}});
  auto seeded = pdf.evaluate_batch(events, {{"mu", 5.28}, {"sigma", 0.02}});
  ASSERT_TRUE(seeded);
  EXPECT_EQ(seeded->values[1], 2.0);  // the seed, not a computation
  ASSERT_TRUE(pdf.evaluate_batch(events, {{"mu", 5.25}, {"sigma", 0.02}}));
  ASSERT_TRUE(pdf.evaluate_batch(events, {{"mu", 5.25}, {"sigma", 0.02}}));
  EXPECT_EQ(pdf.computations(), 1u);
  auto invalid = pdf.evaluate_batch(events, {{"mu", 5.25}, {"sigma", -0.5}});
  ASSERT_FALSE(invalid);
  EXPECT_EQ(std::get<PdfEvaluation>(invalid.error()).message,
            "ValueError: Gaussian: sigma = -0.5 must be positive and finite");
  auto kept = pdf.evaluate_batch(events, {{"mu", 5.25}, {"sigma", 0.02}});
  ASSERT_TRUE(kept);
  EXPECT_EQ(pdf.computations(), 1u);
}

// A constant histogram of two bins on column 0, [0, 1) and [1, 3] with
// densities 0.5 and 0.25, and a Gaussian on column 1 (mu read, sigma 0.02).
NativeModel histogram_product() {
  NativeModel histogram{NativeShape::kTemplate, 0, 0.0, 3.0, {}, {}, {}, {}};
  histogram.table = std::make_shared<TemplateTable>(TemplateTable{false, false, {0.0, 1.0, 3.0},
                                                                  {0.5, 0.25}});
  NativeModel product{NativeShape::kProduct, 0, 0.0, 3.0, {}, {}, {}, {}};
  product.components = {histogram, gaussian_model(5.0, 5.6)};
  return product;
}

TEST(NativeModelPdf, AProductMultipliesItsFactorsEachOnItsColumnAndKeepsAFixedOne) {
  // Three events (x0, x1): inside both windows, outside the histogram's,
  // outside the Gaussian's.
  const std::vector<double> rows = {0.5, 5.3, 4.0, 5.3, 2.0, 7.0};
  const EventView events(rows, 2);
  NativeModelPdf pdf(histogram_product(), events, {}, {{"", NAN}});
  for (const double mu : {5.28, 5.3}) {
    auto values = pdf.evaluate_batch(events, {{"mu", mu}});
    ASSERT_TRUE(values);
    std::vector<double> gaussian;
    const double p[] = {mu, 0.02};
    evaluate_native_model(gaussian_model(5.0, 5.6), p, std::vector<double>{5.3}, gaussian);
    EXPECT_EQ(values->values[0], 0.5 * gaussian[0]);
    EXPECT_EQ(values->values[1], 0.0);
    EXPECT_EQ(values->values[2], 0.0);
  }
  EXPECT_EQ(pdf.computations(), 2u);
}

TEST(NativeModelPdf, AModelThatReadsNoParameterIsComputedOnce) {
  const std::vector<double> rows = {0.5, 2.5, 3.5};
  const EventView events(rows, 1);
  NativeModelPdf pdf(histogram_product().components[0], events, {}, {{"", NAN}});
  for (const double mu : {1.0, 2.0, 3.0}) {
    auto values = pdf.evaluate_batch(events, {{"mu", mu}});
    ASSERT_TRUE(values);
    EXPECT_EQ(std::vector<double>(values->values.begin(), values->values.end()),
              (std::vector<double>{0.5, 0.25, 0.0}));
  }
  EXPECT_EQ(pdf.computations(), 1u);
}

}  // namespace
}  // namespace tarnwick::fit
