#include "fit/joint_likelihood.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>
#include <limits>

#include "fit/native_model_pdf.hpp"
#include "fit/recent_values.hpp"
#include "fit/worker_threads.hpp"
#include "fit/sweights.hpp"
#include "test_events.hpp"
#include "test_pdfs.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

using optimizer::Vector;
using tarnwick::testing::IsError;

Vector point(std::initializer_list<double> values) {
  Vector v(static_cast<Eigen::Index>(values.size()));
  Eigen::Index i = 0;
  for (const double x : values) v[i++] = x;
  return v;
}

TEST(JointLikelihood, OneFlatPdfIsYMinusNLogY) {
  // NLL(y) = y − N ln y for N unit events and a density of 1.
  const EventRows events = constant_events(10, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  const std::vector<double> w(10, 1.0);
  const JointLikelihood nll({}, events, pdfs, w);
  for (const double y : {1.0, 10.0, 37.5}) {
    auto value = nll.evaluate(point({y}));
    ASSERT_TRUE(value);
    EXPECT_NEAR(*value, y - 10.0 * std::log(y), 1e-12 * std::abs(*value));
  }
  // The derivative 1 − N/y vanishes at y = N.
  auto g = nll.gradient(point({10.0}));
  ASSERT_TRUE(g);
  EXPECT_NEAR((*g)[0], 0.0, 1e-6);
}

TEST(JointLikelihood, WeightsMultiplyOnlyTheLogTerms) {
  // NLL = y − Σ w_i ln y with Σ w = 0.5: y − 0.5 ln y.
  const EventRows events = constant_events(3, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  const std::vector<double> w{1.0, -1.0, 0.5};
  const JointLikelihood nll({}, events, pdfs, w);
  auto value = nll.evaluate(point({2.0}));
  ASSERT_TRUE(value);
  EXPECT_NEAR(*value, 2.0 - 0.5 * std::log(2.0), 1e-15);
}

TEST(JointLikelihood, ZeroMixtureIsFlooredNotAnError) {
  // Event 0 has density only in the first PDF, whose yield is 0.
  const EventRows events = constant_events(2, 0.5);
  FixedPdf a({1.0, 0.0});
  FixedPdf b({0.0, 1.0});
  std::array<ParametricPdf*, 2> pdfs{&a, &b};
  const std::vector<double> w(2, 1.0);
  const JointLikelihood nll({}, events, pdfs, w);
  auto value = nll.evaluate(point({0.0, 1.0}));
  ASSERT_TRUE(value);
  EXPECT_DOUBLE_EQ(*value, 1.0 + 690.7755278982137);
}

TEST(JointLikelihood, EvaluationCountsAndCallOrder) {
  // Every objective evaluation calls each PDF once, with all events, in
  // component order; a gradient costs 2n evaluations and a gradient with
  // Hessian 2n + 4n·n_shape, and one more evaluation of the PDFs for the
  // yield block.
  const EventRows events = constant_events(5, 0.25);
  std::vector<std::size_t> log;
  GaussPdf signal(1, 0.1, "mu");
  FlatPdf background;
  signal.call_log = &log;
  signal.id = 0;
  background.call_log = &log;
  background.id = 1;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<double> w(5, 1.0);
  const JointLikelihood nll({"mu"}, events, pdfs, w);
  const Vector x = point({2.0, 3.0, 0.3});

  ASSERT_TRUE(nll.evaluate(x));
  EXPECT_EQ(signal.calls, 1u);
  ASSERT_TRUE(nll.gradient(x));
  EXPECT_EQ(signal.calls, 1u + 2 * 3);
  // The Hessian's gradient at x repeats the last one's points: answered
  // from the recent values, without the PDFs.
  ASSERT_TRUE(nll.gradient_with_hessian(x));
  EXPECT_EQ(nll.repeats(), 2u * 3);
  EXPECT_EQ(signal.calls, 1u + 2 * 3 + (4 * 3 * 1 + 1));
  EXPECT_EQ(background.calls, signal.calls);
  for (const std::size_t size : signal.batch_sizes) EXPECT_EQ(size, 5u);
  ASSERT_EQ(log.size(), 2 * signal.calls);
  for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i], i % 2);
}

TEST(JointLikelihood, RepeatedPointsAreAnsweredFromRecentValuesButNotAtTheSeededPoint) {
  // Two shape parameters: the nested differences of column μ meet those of
  // column σ at the four points x ± h_μ ± h_σ. Values at the seeded shape
  // point are computed every time.
  const EventRows events = read_one_column("gauss_flat.csv");
  GaussMeanWidthPdf signal(1, "mu", "sigma");
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<double> w(events.size(), 1.0);
  JointLikelihood nll({"mu", "sigma"}, events, pdfs, w);
  const Vector x = point({400.0, 600.0, 0.3, 0.05});
  const JointLikelihood fresh({"mu", "sigma"}, events, pdfs, w);
  auto reference = fresh.gradient_with_hessian(x);
  ASSERT_TRUE(reference);
  EXPECT_EQ(fresh.repeats(), 4u);

  nll.set_seeded_shape_point(std::vector<double>{0.3, 0.05});
  auto gh = nll.gradient_with_hessian(x);
  ASSERT_TRUE(gh);
  EXPECT_EQ(nll.repeats(), 4u);
  EXPECT_EQ(gh->first, reference->first);
  EXPECT_EQ(gh->second, reference->second);
  const std::size_t calls = signal.calls;
  ASSERT_TRUE(nll.evaluate(x));
  ASSERT_TRUE(nll.evaluate(x));
  EXPECT_EQ(nll.repeats(), 4u);
  EXPECT_EQ(signal.calls, calls + 2);
  // Off the seeded point a repeat costs nothing.
  const Vector moved = point({400.0, 600.0, 0.31, 0.05});
  ASSERT_TRUE(nll.evaluate(moved));
  ASSERT_TRUE(nll.evaluate(moved));
  EXPECT_EQ(nll.repeats(), 5u);
  EXPECT_EQ(signal.calls, calls + 3);
}

TEST(LikelihoodPass, GradientPointsOnThreadsAreThoseOneAfterAnother) {
  // Two library models computed natively: a Gaussian (mu, sigma) and an
  // exponential (slope), read by name; events in [5.0, 5.6], enough for the
  // gradient's threads.
  const NativeModel peak{NativeShape::kGaussian, 0, 5.0, 5.6,
                         {{"mu", 0.0, ""}, {"sigma", 0.0, ""}}, {}, {}, {}};
  const NativeModel tail{NativeShape::kExponential, 0, 5.0, 5.6, {{"slope", 0.0, ""}},
                         {}, {}, {}};
  std::vector<double> x(kFewestEventsForGradientThreads + 1000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 5.0 + 0.6 * std::fmod(i * 0.618034, 1.0);
  const EventView events(x, 1);
  const std::vector<double> w(x.size(), 1.0);
  const Vector at = point({2700.0, 6500.0, 5.28, 0.03, -2.0});
  WorkerThreads threads(2);
  std::vector<Vector> gradients;
  std::vector<optimizer::Matrix> hessians;
  std::vector<std::size_t> repeats;
  for (WorkerThreads* shared : {static_cast<WorkerThreads*>(nullptr), &threads}) {
    NativeModelPdf signal(peak, events, {}, {});
    NativeModelPdf background(tail, events, {}, {});
    std::array<ParametricPdf*, 2> pdfs{&signal, &background};
    const JointLikelihood nll({"mu", "sigma", "slope"}, events, pdfs, w, {}, shared);
    ASSERT_TRUE(nll.evaluate(at));
    auto gh = nll.gradient_with_hessian(at);
    ASSERT_TRUE(gh);
    gradients.push_back(gh->first);
    hessians.push_back(gh->second);
    repeats.push_back(nll.repeats());
  }
  EXPECT_EQ(gradients[0], gradients[1]);
  EXPECT_EQ(hessians[0], hessians[1]);
  EXPECT_EQ(repeats[0], repeats[1]);
  EXPECT_GT(repeats[0], 0u);
}

TEST(RecentValues, KeepsTheNewestPointsByTheirBits) {
  RecentValues recent(2, 3);
  const std::vector<std::vector<double>> points{{1.0, 2.0}, {1.0, 3.0}, {0.0, 2.0}, {1.0, 4.0}};
  for (std::size_t i = 0; i < points.size(); ++i) {
    recent.remember(points[i], static_cast<double>(i));
  }
  // The first point was replaced by the fourth; −0 is not 0.
  EXPECT_EQ(recent.find(points[0]), std::nullopt);
  for (std::size_t i = 1; i < points.size(); ++i) EXPECT_EQ(recent.find(points[i]), double(i));
  EXPECT_EQ(recent.find(std::vector<double>{-0.0, 2.0}), std::nullopt);
  recent.remember(points[0], 7.0);
  EXPECT_EQ(recent.find(points[0]), 7.0);
  EXPECT_EQ(recent.find(points[1]), std::nullopt);
}

TEST(JointLikelihood, HessianOfAQuadraticIsSymmetricAndExact) {
  // One flat PDF: ∂²NLL/∂y² = N/y²; with a Gaussian whose mean is a shape
  // parameter the cross terms are symmetrised.
  const EventRows events = read_one_column("gauss_flat.csv");
  GaussPdf signal(1, 0.05, "mu");
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<double> w(events.size(), 1.0);
  const JointLikelihood nll({"mu"}, events, pdfs, w);
  auto gh = nll.gradient_with_hessian(point({400.0, 600.0, 0.3}));
  ASSERT_TRUE(gh);
  const auto& h = gh->second;
  for (Eigen::Index i = 0; i < 3; ++i) {
    for (Eigen::Index j = 0; j < 3; ++j) EXPECT_EQ(h(i, j), h(j, i));
  }
  // The yield block is the yield information at the point, exactly;
  // ∂²/∂μ² is a difference, positive here.
  auto model = nll.evaluate_model(std::vector<double>{0.3});
  ASSERT_TRUE(model);
  auto information = yield_information(*model, std::vector<double>{400.0, 600.0});
  ASSERT_TRUE(information);
  EXPECT_EQ(h(0, 0), (*information)(0, 0));
  EXPECT_EQ(h(1, 1), (*information)(1, 1));
  EXPECT_EQ(h(0, 1), ((*information)(0, 1) + (*information)(1, 0)) / 2.0);
  EXPECT_GT(h(2, 2), 0.0);
}

TEST(JointLikelihood, NoPdfSeesANonFinitePoint) {
  // An overflowing gradient or step ends the run with the likelihood's own
  // error before any PDF is called.
  const EventRows events = constant_events(5, 0.25);
  GaussPdf signal(1, 0.1, "mu");
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<double> w(5, 1.0);
  const JointLikelihood nll({"mu"}, events, pdfs, w);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const Vector& x : {point({nan, 3.0, 0.3}), point({2.0, 3.0, inf}), point({2.0, -inf, 0.3})}) {
    EXPECT_TRUE(IsError<Optimization>(
        nll.evaluate(x), "optimization failed: the fit reached a parameter value that is not finite"));
  }
  EXPECT_TRUE(IsError<Optimization>(nll.evaluate_model(std::vector<double>{nan}),
                                    "optimization failed: the fit reached a parameter value that "
                                    "is not finite"));
  EXPECT_EQ(signal.calls + background.calls, 0u);
}

TEST(JointLikelihood, PdfValueChecks) {
  const EventRows events = constant_events(3, 0.5);
  const std::vector<double> w(3, 1.0);
  const Vector x = point({1.0, 1.0});
  {
    FixedPdf ok({1, 1, 1});
    FixedPdf too_long({1, 1, 1, 1});
    std::array<ParametricPdf*, 2> pdfs{&ok, &too_long};
    EXPECT_TRUE(IsError<PdfEvaluation>(JointLikelihood({}, events, pdfs, w).evaluate(x),
                                       "PDF evaluation failed: PDF 1 returned 4 values, "
                                       "expected 3"));
  }
  {
    // −0 is accepted; the first negative value is reported, and the later
    // PDF is not called.
    FixedPdf bad({-0.0, -1e-300, -1.0});
    FixedPdf later({1, 1, 1});
    std::array<ParametricPdf*, 2> pdfs{&bad, &later};
    EXPECT_TRUE(IsError<PdfEvaluation>(JointLikelihood({}, events, pdfs, w).evaluate(x),
                                       "PDF evaluation failed: PDF 0 returned an invalid value "
                                       "for event 1"));
    EXPECT_EQ(later.calls, 0u);
  }
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()}) {
    FixedPdf ok({1, 1, 1});
    FixedPdf nan({1, 1, bad});
    std::array<ParametricPdf*, 2> pdfs{&ok, &nan};
    EXPECT_TRUE(IsError<PdfEvaluation>(JointLikelihood({}, events, pdfs, w).evaluate(x),
                                       "PDF evaluation failed: PDF 1 returned an invalid value "
                                       "for event 2"));
  }
}

TEST(JointLikelihood, AllZeroEventIsFoundAfterEveryPdfWasCalled) {
  std::vector<double> a(10, 1.0);
  std::vector<double> b(10, 1.0);
  a[7] = 0.0;
  b[7] = 0.0;
  const EventRows events = constant_events(10, 0.5);
  FixedPdf pa(a);
  FixedPdf pb(b);
  std::array<ParametricPdf*, 2> pdfs{&pa, &pb};
  const std::vector<double> w(10, 1.0);
  const JointLikelihood nll({}, events, pdfs, w);
  EXPECT_TRUE(IsError<PdfEvaluation>(nll.evaluate(point({1.0, 1.0})),
                                     "PDF evaluation failed: all PDFs are zero for event 7"));
  EXPECT_EQ(pb.calls, 1u);
  EXPECT_TRUE(IsError<PdfEvaluation>(nll.evaluate_model(std::span<const double>{}),
                                     "PDF evaluation failed: all PDFs are zero for event 7"));
}

TEST(JointLikelihood, NonFiniteMixtureAndObjective) {
  const EventRows events = constant_events(3, 0.5);
  const std::vector<double> w(3, 1.0);
  FixedPdf huge({1.0, 1e308, 1.0});
  std::array<ParametricPdf*, 1> pdfs{&huge};
  const JointLikelihood nll({}, events, pdfs, w);
  EXPECT_TRUE(IsError<Optimization>(nll.evaluate(point({1e10})),
                                    "optimization failed: mixture density is not finite for "
                                    "event 1"));
  // An all-zero event later in the data takes precedence over the overflow.
  FixedPdf overflow({1e308, 1.0, 0.0});
  std::array<ParametricPdf*, 1> one{&overflow};
  EXPECT_TRUE(IsError<PdfEvaluation>(JointLikelihood({}, events, one, w).evaluate(point({1e10})),
                                     "PDF evaluation failed: all PDFs are zero for event 2"));
  // Finite densities whose weighted sum overflows.
  const std::vector<double> heavy(3, 1e308);
  FixedPdf small({1e-300, 1e-300, 1e-300});
  std::array<ParametricPdf*, 1> tiny{&small};
  EXPECT_TRUE(IsError<Optimization>(JointLikelihood({}, events, tiny, heavy).evaluate(point({1.0})),
                                    "optimization failed: negative log-likelihood is not finite"));
}

TEST(JointLikelihood, PdfErrorsPassThroughUnchanged) {
  const EventRows events = constant_events(3, 0.5);
  const std::vector<double> w(3, 1.0);
  FlatPdf flat;
  flat.fail_at_call = 2;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  const JointLikelihood nll({}, events, pdfs, w);
  auto g = nll.gradient(point({3.0}));
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error(), SPlotError(PdfEvaluation{"test PDF failed"}));
  EXPECT_EQ(flat.calls, 2u);  // the minus probe was never made
}

}  // namespace
}  // namespace tarnwick::fit::testing
