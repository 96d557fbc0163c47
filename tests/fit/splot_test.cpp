// Whole fits through the driver.
#include "fit/splot.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "test_events.hpp"
#include "test_pdfs.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

using tarnwick::testing::IsError;

SPlotConfig defaults() { return SPlotConfig{{}, {}, 1000, 1e-8}; }

double column_sum(const Table& t, std::size_t c) {
  double sum = 0.0;
  for (std::size_t i = 0; i < t.rows; ++i) sum += t(i, c);
  return sum;
}

// Rows [i, x] with x drawn from a Gaussian(mean, width) for the first
// n_signal rows and from λe^(−λx) on [0, 1] (or flat when λ = 0) for the rest.
EventRows mass_sample(std::size_t n_signal, std::size_t n_background, double mean, double width,
                       double slope, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(mean, width);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  EventRows events(n_signal + n_background, 2);
  for (std::size_t i = 0; i < events.size(); ++i) {
    double x;
    if (i < n_signal) {
      do {
        x = gauss(rng);
      } while (x < 0.0 || x > 1.0);
    } else if (slope == 0.0) {
      x = uniform(rng);
    } else {
      // Inverse of the truncated exponential's distribution function.
      x = -std::log(1.0 - uniform(rng) * (1.0 - std::exp(-slope))) / slope;
    }
    events.row(i)[0] = static_cast<double>(i);
    events.row(i)[1] = x;
  }
  return events;
}

TEST(Splot, OnePdfRecoversTheEventCountAndUnitSweights) {
  const EventRows events = constant_events(250, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->success);
  EXPECT_NEAR(r->yields[0], 250.0, 1e-4);
  EXPECT_NEAR(r->yield_errors[0], std::sqrt(250.0), 1e-2);
  for (const double s : r->sweights.values) EXPECT_NEAR(s, 1.0, 1e-6);
  EXPECT_TRUE(r->shape_parameters.empty());
  EXPECT_TRUE(r->shape_errors.empty());
}

TEST(Splot, GaussianOverFlatRecoversTheTruthWithinItsErrors) {
  const EventRows events = mass_sample(3000, 7000, 0.4, 0.03, 0.0, 20261208);
  GaussMeanWidthPdf signal(1, "mu", "sigma");
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<ShapeParameter> shapes{{"sigma", 0.05, 0.005, 0.2}, {"mu", 0.5, 0.2, 0.8}};
  auto r = splot(events, pdfs, shapes, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->success) << r->message;
  // Five standard errors: the truth is the generator's, the sample is random.
  EXPECT_NEAR(r->yields[0], 3000.0, 5 * r->yield_errors[0]);
  EXPECT_NEAR(r->yields[1], 7000.0, 5 * r->yield_errors[1]);
  EXPECT_NEAR(r->shape_parameters.at("mu"), 0.4, 5 * r->shape_errors.at("mu"));
  EXPECT_NEAR(r->shape_parameters.at("sigma"), 0.03, 5 * r->shape_errors.at("sigma"));
  // Poisson-scale errors: between √y and a few times it (the shapes are shared).
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_GT(r->yield_errors[k], 0.9 * std::sqrt(r->yields[k]));
    EXPECT_LT(r->yield_errors[k], 2.0 * std::sqrt(r->yields[k]));
    EXPECT_NEAR(column_sum(r->sweights, k), r->yields[k], 1e-6 * r->yields[k]);
  }
  EXPECT_EQ(r->fit_covariance.rows, 4u);
  EXPECT_EQ(r->covariance.rows, 2u);
  EXPECT_EQ(r->sweights.rows, events.size());
}

TEST(Splot, LargeSampleKeepsPoissonYieldErrors) {
  // 360,000 events: the yield curvature 1/N lies below the absolute
  // pseudo-inverse threshold, so an unscaled pseudo-inverse would report
  // yield errors of exactly 0.
  const std::size_t n_signal = 60'000;
  const std::size_t n = 360'000;
  const EventRows events = mass_sample(n_signal, n - n_signal, 0.5, 0.05, 0.0, 7);
  std::vector<double> gauss(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double z = (events.row(i)[1] - 0.5) / 0.05;
    gauss[i] = std::exp(-0.5 * z * z) / (0.05 * std::sqrt(2.0 * std::numbers::pi));
  }
  FixedPdf signal(std::move(gauss));
  FixedPdf background(std::vector<double>(n, 1.0));
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->success) << r->message;
  // Without shape parameters the fit's Hessian is the yield information
  // matrix, so the fit's errors are the sPlot covariance's (both at least the
  // Poisson error). They agree only to a few per cent: the finite-difference
  // Hessian of a sum of 360,000 logarithms carries its rounding noise.
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_GT(r->yield_errors[k], std::sqrt(r->yields[k]));
    EXPECT_NEAR(r->yield_errors[k], std::sqrt(r->covariance(k, k)), 0.05 * r->yield_errors[k]);
  }
  EXPECT_NEAR(r->yields[0], static_cast<double>(n_signal), 5 * r->yield_errors[0]);
  EXPECT_NEAR(r->yields[0] + r->yields[1], static_cast<double>(n), 1e-3 * std::sqrt(n));
}

TEST(Splot, NoSignalPutsTheSignalYieldOnItsBound) {
  // 10⁴ events of exponential background only; the signal's mean, width and
  // the slope are bounded shape parameters. In this sample no upward
  // fluctuation beats the no-signal hypothesis (in some samples one does,
  // and a positive signal yield is then the right answer).
  const std::size_t n = 10'000;
  const EventRows events = mass_sample(0, n, 0.0, 0.0, 2.0, 2);
  GaussMeanWidthPdf signal(1, "mu", "sigma");
  ExponentialPdf background(1, "slope", 0.0, 1.0);
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<ShapeParameter> shapes{
      {"mu", 0.5, 0.3, 0.7}, {"sigma", 0.05, 0.02, 0.1}, {"slope", 1.0, 0.1, 5.0}};
  auto r = splot(events, pdfs, shapes, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->success) << r->message;
  EXPECT_LT(r->yields[0], 1.0);
  EXPECT_NEAR(r->yields[1], static_cast<double>(n), 0.01 * n);
  EXPECT_NEAR(r->shape_parameters.at("slope"), 2.0, 0.2);
  EXPECT_TRUE(std::isfinite(r->yield_errors[1]) && r->yield_errors[1] > 0.0);
}

TEST(Splot, IdenticalPdfsAreNotIdentifiable) {
  const EventRows events = mass_sample(0, 500, 0, 0, 0.0, 3);
  FlatPdf a;
  FlatPdf b;
  std::array<ParametricPdf*, 2> pdfs{&a, &b};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_FALSE(r);
  EXPECT_TRUE(std::holds_alternative<SingularCovariance>(r.error())) << to_string(r.error());
  EXPECT_TRUE(to_string(r.error()).starts_with("singular yield covariance: "));
  EXPECT_GT(a.calls, 10u);  // the whole fit ran before the inversion failed
}

TEST(Splot, ErrorsComeBeforeAnyPdfCallOrPassThrough) {
  const EventRows events = constant_events(4, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  SPlotConfig config = defaults();
  config.tolerance = 0.0;
  EXPECT_TRUE(IsError<InvalidInput>(splot(events, pdfs, {}, config),
                                    "invalid input: tolerance must be finite and positive"));
  EXPECT_EQ(flat.calls, 0u);

  // A PDF failing at the start check is returned as it is.
  flat.fail_at_call = 1;
  auto at_start = splot(events, pdfs, {}, defaults());
  ASSERT_FALSE(at_start);
  EXPECT_EQ(at_start.error(), SPlotError(PdfEvaluation{"test PDF failed"}));
  // So is one failing in the middle of the run.
  FlatPdf later;
  later.fail_at_call = 9;
  std::array<ParametricPdf*, 1> later_pdfs{&later};
  auto mid_run = splot(events, later_pdfs, {}, defaults());
  ASSERT_FALSE(mid_run);
  EXPECT_EQ(mid_run.error(), SPlotError(PdfEvaluation{"test PDF failed"}));
  EXPECT_EQ(later.calls, 9u);
}

TEST(Splot, SignedWeightsEnterTheSweights) {
  const EventRows events = read_one_column("gauss_flat.csv");
  GaussPdf signal(1, 0.05, 0.3);
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  SPlotConfig config = defaults();
  std::vector<double> w(events.size(), 1.0);
  w[0] = 0.0;
  w[1] = -0.5;
  config.event_weights = w;
  auto r = splot(events, pdfs, {}, config);
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_EQ(r->sweights(0, 0), 0.0);
  EXPECT_EQ(r->sweights(0, 1), 0.0);
  // Row 1 is −½ of the unit-weight row of the same event at the same fit.
  const double f0 = signal.value(events, 1, {});
  const double m = r->yields[0] * f0 + r->yields[1];
  const double unit = (r->covariance(0, 0) * f0 + r->covariance(0, 1)) / m;
  EXPECT_NEAR(r->sweights(1, 0), -0.5 * unit, 1e-12 * std::abs(unit));
}

}  // namespace
}  // namespace tarnwick::fit::testing
