// Eight small fits whose results were computed independently from the same
// algorithm: messages and counts agree exactly, values to the last digits,
// standard errors to the agreement of two SVDs. A shape parameter that ends
// on its bound is held fixed for the covariance, so its error is NaN; a
// yield on its bound keeps its error (NaN only where its variance is 0 up to
// rounding, as with a free peak position over an empty window).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "fit/splot.hpp"
#include "test_pdfs.hpp"
#include "test_util.hpp"

namespace tarnwick::fit::testing {
namespace {

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

void ExpectMatches(const SPlotResult& r, const Expected& e) {
  constexpr double values = kSameAlgorithmRelative;
  EXPECT_EQ(r.message, e.message);
  EXPECT_EQ(r.success, e.success);
  EXPECT_EQ(r.objective_evaluations, e.objective_evaluations);
  EXPECT_EQ(r.gradient_evaluations, e.gradient_evaluations);
  EXPECT_EQ(r.hessian_evaluations, 1u);
  ExpectRelative(r.minimum_nll, e.minimum_nll, kSameAlgorithmRelative);
  ASSERT_EQ(r.yields.size(), e.yields.size());
  for (std::size_t k = 0; k < e.yields.size(); ++k) {
    ExpectRelative(r.yields[k], e.yields[k], values);
    ExpectRelativeOrNaN(r.yield_errors[k], e.yield_errors[k], kSvdRelative);
  }
  ASSERT_EQ(r.shape_parameters.size(), e.shape_values.size());
  if (!e.shape_values.empty()) {
    ExpectRelative(r.shape_parameters.at("mu"), e.shape_values[0], values);
    ExpectRelativeOrNaN(r.shape_errors.at("mu"), e.shape_errors[0], kSvdRelative);
  }
  ASSERT_EQ(r.covariance.values.size(), e.covariance.size());
  for (std::size_t i = 0; i < e.covariance.size(); ++i) {
    ExpectRelative(r.covariance.values[i], e.covariance[i], values);
  }
  for (std::size_t i = 0; i < e.first_sweights.size(); ++i) {
    ExpectRelative(r.sweights.values[i], e.first_sweights[i], values);
  }
  for (std::size_t c = 0; c < e.column_sums.size(); ++c) {
    double sum = 0.0;
    for (std::size_t i = 0; i < r.sweights.rows; ++i) sum += r.sweights(i, c);
    ExpectRelative(sum, e.column_sums[c], values);
  }
}

SPlotConfig defaults() { return SPlotConfig{{}, {}, 1000, 1e-8}; }

TEST(ReferenceFit, OneFlatPdf) {
  const EventRows events = constant_events(100, 0.5);
  FlatPdf flat;
  std::array<ParametricPdf*, 1> pdfs{&flat};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 5, 5,
       -360.5170185988091, {100.0000000033574},
       {10.00000000033574}, {}, {},
       {100.0000000067148},
       {1.000000000033574, 1.000000000033574, 1.000000000033574},
       {100.0000000033574}});
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
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 207, 5,
       -2241214.529106035, {199999.99817138448},
       {447.2135914110493}, {}, {},
       {199999.99634276898},
       {99999.99908569224, 99999.99908569224},
       {199999.99817138448}});
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
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 17, 17,
       -6206.629193689047, {425.8792207191261, 574.1207902283396},
       {24.313434832144313, 27.191628487763243}, {0.29735217543659076}, {0.003240205600975853},
       {591.0469431685754, -165.1677054456637, -165.1677054456637, 739.288489617684},
       {1.0852746110837603, -0.08527458027190686, 0.970125448724376, 0.029874578618591337, 1.111593460826077, -0.11159342922136391},
       {425.87922071912254, 574.1207902283392}});
}

TEST_F(GaussFlatFit, StopsAtTheStepLimit) {
  SPlotConfig config = defaults();
  config.max_steps = 3;
  auto r = splot(events, pdfs, shapes, config);
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Message: Maximum number of steps reached (3)", false, 7, 7,
       -6206.599818846329, {424.2307952843096, 580.6064041685427},
       {24.306656645408555, 27.485159520808978}, {0.2974952254123676}, {0.003247568773762044},
       {590.7327598121749, -168.17643873210469, -168.17643873210469, 755.3517237025869},
       {1.085474471056215, -0.08663629872376931, 0.9672946667001411, 0.0326156729397481, 1.112008703642647, -0.11341125887666037},
       {424.23079528430634, 580.6064041685408}});
}

TEST_F(GaussFlatFit, WeightedEvents) {
  SPlotConfig config = defaults();
  std::vector<double> weights(events.size());
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 0.5 + (i % 3) * 0.25;
  config.event_weights = weights;
  auto r = splot(events, pdfs, shapes, config);
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 17, 17,
       -4434.137702581547, {317.46044174160244, 432.28956100604233},
       {21.040947633485043, 23.612509203595916}, {0.29554564237110265}, {0.003786121466215505},
       {442.67058414102036, -125.21013818514807, -125.21013818514805, 557.4996977245654},
       {0.5404879150716121, -0.04048790998522725, 0.7382739805017211, 0.011726026410717403, 1.109537718433988, -0.10953770797853234},
       {317.46044174160124, 432.2895610060411}});
}

TEST_F(GaussFlatFit, ShapeParameterEndingOnItsBoundHasNoError) {
  shapes = {{"mu", 0.35, 0.31, 1.0}};
  auto r = splot(events, pdfs, shapes, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 15, 15,
       -6199.052872248861, {423.11206846243437, 576.8879315330086},
       {24.353654909484447, 27.32903895854529}, {0.31}, {kNaN},
       {593.1005074502559, -169.98843892852824, -169.98843892852824, 746.8763703976864},
       {1.1292563220356149, -0.1292563219357681, 0.863027562883379, 0.1369724371771056, 1.1441805365147726, -0.1441805364127192},
       {423.1120684624354, 576.8879315330082}});
}

TEST(ReferenceFit, EmptyWindowPutsTheSignalOnItsBound) {
  const EventRows events = read_one_column("empty_window.csv");
  GaussPdf signal(1, 0.05, 0.5);
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  auto r = splot(events, pdfs, {}, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 15, 15,
       -4561.061103508945, {2.220446049250313e-16, 802.0000000063391},
       {151.89672419168429, 29.76241708333112}, {}, {},
       {23072.614820164603, -1390.510357098202, -1390.5103570982037, 885.80147064216},
       {-1.7338034377646026, 1.1044906117645368, -1.7166402593070922, 1.103456243636264, -1.6893288245540616, 1.1018102735896393},
       {2.0325963134837366e-12, 802.0000000063375}});
}

TEST(ReferenceFit, YieldEndingOnItsBoundWithAShapeParameter) {
  const EventRows events = read_one_column("empty_window.csv");
  GaussPdf signal{1, 0.05, "mu"};
  FlatPdf background;
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<ShapeParameter> shapes{{"mu", 0.5, 0.45, 0.55}};
  auto r = splot(events, pdfs, shapes, defaults());
  ASSERT_TRUE(r) << to_string(r.error());
  ExpectMatches(*r, {"Success: F_EVAL CONVERGED", true, 15, 15,
       -4561.061103508945, {2.220446049250313e-16, 801.9999999723906},
       {kNaN, 28.31960451603767}, {0.49797764009396184}, {kNaN},
       {21714.588600668718, -1334.8315239361698, -1334.8315239361705, 884.0542921103204},
       {-1.6643784588305763, 1.1023120849635344, -1.6508476260067138, 1.101480322385364, -1.6289968859494628, 1.1001371214071582},
       {6.048495038157853e-13, 801.999999972389}});
}

}  // namespace
}  // namespace tarnwick::fit::testing
