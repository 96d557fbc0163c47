// Six small fits whose results were computed independently from the same
// algorithm. Where the run is the same step for step, messages, counts and
// values agree to the last digits. Near the optimum the finite-difference
// derivatives are dominated by rounding noise (the objective changes by a
// few ulps per step), so the last step of a run can differ between two
// implementations whose sums round differently: there the counts are not
// compared and values agree to the noise level (kNoiseRelative). Standard
// errors of a yield at its bound come from a Hessian entry that is noise
// only, and are checked for being finite and positive.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "fit/splot.hpp"
#include "test_pdfs.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

struct Tolerance {
  bool same_counts = true;
  double values = kSameAlgorithmRelative;
  double errors = kSvdRelative;
};

struct Expected {
  const char* message;
  bool success;
  std::uint64_t objective_evaluations;
  std::uint64_t gradient_evaluations;
  double minimum_nll;
  std::vector<double> yields;
  std::vector<double> yield_errors;
  std::vector<double> shape_values;  // "mu" when present
  std::vector<double> shape_errors;
  std::vector<double> covariance;  // row-major
  std::vector<double> first_sweights;  // first rows, row-major
  std::vector<double> column_sums;
};

void ExpectMatches(const SPlotResult& r, const Expected& e, Tolerance tol = {}) {
  EXPECT_EQ(r.message, e.message);
  EXPECT_EQ(r.success, e.success);
  if (tol.same_counts) {
    EXPECT_EQ(r.objective_evaluations, e.objective_evaluations);
    EXPECT_EQ(r.gradient_evaluations, e.gradient_evaluations);
  }
  EXPECT_EQ(r.hessian_evaluations, 1u);
  ExpectRelative(r.minimum_nll, e.minimum_nll, tol.values);
  ASSERT_EQ(r.yields.size(), e.yields.size());
  for (std::size_t k = 0; k < e.yields.size(); ++k) {
    ExpectRelative(r.yields[k], e.yields[k], tol.values);
    if (e.yields[k] > 1.0) {
      ExpectRelative(r.yield_errors[k], e.yield_errors[k], tol.errors);
    } else {
      EXPECT_TRUE(std::isfinite(r.yield_errors[k]) && r.yield_errors[k] > 0.0);
    }
  }
  ASSERT_EQ(r.shape_parameters.size(), e.shape_values.size());
  if (!e.shape_values.empty()) {
    ExpectRelative(r.shape_parameters.at("mu"), e.shape_values[0], tol.values);
    ExpectRelative(r.shape_errors.at("mu"), e.shape_errors[0], tol.errors);
  }
  ASSERT_EQ(r.covariance.values.size(), e.covariance.size());
  for (std::size_t i = 0; i < e.covariance.size(); ++i) {
    ExpectRelative(r.covariance.values[i], e.covariance[i], tol.values);
  }
  for (std::size_t i = 0; i < e.first_sweights.size(); ++i) {
    ExpectRelative(r.sweights.values[i], e.first_sweights[i], tol.values);
  }
  for (std::size_t c = 0; c < e.column_sums.size(); ++c) {
    double sum = 0.0;
    for (std::size_t i = 0; i < r.sweights.rows; ++i) sum += r.sweights(i, c);
    ExpectRelative(sum, e.column_sums[c], tol.values);
  }
}

SPlotConfig defaults() { return SPlotConfig{{}, {}, 1000, 1e-8}; }

TEST(ReferenceFit, OneFlatPdf) {
  const EventRows events = constant_events(100, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: GRADIENT CONVERGED", true, 44, 6, -360.5170185988096,
                     {100.0000005362184}, {10.000233178275382}, {}, {}, {100.00000107243672},
                     {1.0000000053621831, 1.0000000053621831, 1.0000000053621831},
                     {100.00000053621834}});
}

TEST(ReferenceFit, LargeYield) {
  EventRows events(2, 2);
  events.row(0)[1] = 0.1;
  events.row(1)[0] = 1.0;
  events.row(1)[1] = 0.7;
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  SPlotConfig config = defaults();
  config.event_weights = std::vector<double>{1e5, 1e5};
  auto r = splot(events, pdfs, {}, config);
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: GRADIENT CONVERGED", true, 22, 6, -2241214.529106035,
                     {200000.00111724218}, {447.2124721425537}, {}, {}, {200000.0022344844},
                     {100000.0005586211, 100000.0005586211}, {200000.0011172422}});
}

class GaussFlatFit : public ::testing::Test {
 protected:
  const EventRows events = read_one_column("gauss_flat.csv");
  GaussPdf signal{1, 0.05, "mu"};
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  std::vector<ShapeParameter> shapes{{"mu", 0.35, 0.0, 1.0}};
};

TEST_F(GaussFlatFit, ConvergesOnTheObjectiveChange) {
  auto r = splot(events, pdfs, shapes, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 282, 48, -6206.629193675972,
                     {425.8769033195847, 574.1179795202473},
                     {24.310895494195567, 27.20109359425634},
                     {0.2973521668412148},
                     {0.003240201337694559},
                     {591.0406632005937, -165.1660594417104, -165.16605944171042,
                      739.2812213887097},
                     {1.0852688130210915, -0.08527412378098188, 0.9701203032173015,
                      0.029874419830804674, 1.1115875451878756, -0.11159286367503586},
                     {425.87690331958106, 574.1179795202447}},
                {.same_counts = false, .values = kNoiseRelative, .errors = kNoiseErrorRelative});
}

TEST_F(GaussFlatFit, StopsAtTheStepLimit) {
  SPlotConfig config = defaults();
  config.max_steps = 3;
  auto r = splot(events, pdfs, shapes, config);
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Message: Maximum number of steps reached (3)", false, 11, 7,
                     -6199.847797707529,
                     {499.9746722391144, 500.0253277618069},
                     {26.774820481065994, 23.92033555044973},
                     {0.29744936402404976},
                     {0.00310823816140403},
                     {716.8545640119114, -137.8624613797294, -137.8624613797294,
                      572.243721844384},
                     {1.1938712305617765, -0.07643219744235537, 1.0952590552523824,
                      0.005490287763889053, 1.2156091809364735, -0.09449109242563608},
                     {499.9746722391149, 500.0253277618066}});
}

TEST_F(GaussFlatFit, WeightedEvents) {
  SPlotConfig config = defaults();
  std::vector<double> weights(events.size());
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 0.5 + (i % 3) * 0.25;
  config.event_weights = weights;
  auto r = splot(events, pdfs, shapes, config);
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 84, 32, -4434.13770256092,
                     {317.4580802046778, 432.286356893718},
                     {21.03644584822149, 23.615230876745294},
                     {0.295545642027826},
                     {0.0037861155607071357},
                     {442.6640039316552, -125.20828101167346, -125.20828101167346,
                      557.4914323297587},
                     {0.5404838971538751, -0.040487608963480644, 0.7382684933236033,
                      0.01172593939657293, 1.1095294713938186, -0.10953689518433676},
                     {317.4580802046789, 432.28635689371754}},
                {.same_counts = true, .values = kNoiseRelative, .errors = kNoiseErrorRelative});
}

TEST(ReferenceFit, EmptyWindowPutsTheSignalOnItsBound) {
  const EventRows events = read_one_column("empty_window.csv");
  GaussPdf signal(1, 0.05, 0.5);
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: PROJECTED GRADIENT WITHIN TOLERANCE", true, 14, 14,
                     -4561.061103508983,
                     {2.220446049250313e-16, 801.9999881139247},
                     {2.1166508645056474, 28.318472663692816},
                     {},
                     {},
                     {23072.614135902586, -1390.5103158599986, -1390.5103158599998,
                      885.8014443720485},
                     {-1.733803412055008, 1.104490595386667, -1.716640233852001,
                      1.1034562272737323, -1.6893287995039565, 1.1018102572515147},
                     {-8.555156583156531e-12, 801.9999881139316}},
                {.same_counts = true, .values = kNoiseRelative, .errors = kNoiseErrorRelative});
}

}  // namespace
}  // namespace tarnwick::fit::testing
