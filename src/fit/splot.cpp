#include "fit/splot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fit/joint_likelihood.hpp"
#include "fit/log_terms.hpp"
#include "fit/parameter_scale.hpp"
#include "fit/return_if_error.hpp"
#include "fit/sweights.hpp"
#include "fit/validate_inputs.hpp"
#include "fit/worker_threads.hpp"
#include "optimizer/algorithms/gradient/callbacks.hpp"
#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/algorithms/gradient/terminators.hpp"

namespace tarnwick::fit {

namespace {

namespace opt = optimizer;

// The lower bound of every yield (and the least start value): the machine
// epsilon, so that no fitted yield is exactly 0.
using optimizer::kMachineEpsilon;

// Without shape parameters the start yields are pulled in by a factor
// 1 − min(max(√t, 10⁻⁶), ½), so that the first step of the run does not
// start exactly at the usual optimum Σ_k y_k = Σ_i w_i.
std::vector<double> start_yields(std::vector<double> yields, bool has_shape_parameters,
                                 double tolerance) {
  for (double& y : yields) y = std::max(y, kMachineEpsilon);
  if (!has_shape_parameters) {
    const double factor = 1.0 - std::min(std::max(std::sqrt(tolerance), 1e-6), 0.5);
    for (double& y : yields) y = std::max(factor * y, kMachineEpsilon);
  }
  return yields;
}

// The convergence tests in order (objective change, gradient norm,
// projected gradient), all with the fit's tolerance, then the step limit.
std::expected<opt::Callbacks, SPlotError> make_callbacks(double tolerance,
                                                          std::optional<std::uint64_t> max_steps) {
  auto f_test = opt::LBFGSBFTerminator::create(tolerance);
  if (!f_test) return std::unexpected(Optimizer{f_test.error()});
  auto g_test = opt::LBFGSBGTerminator::create(tolerance);
  if (!g_test) return std::unexpected(Optimizer{g_test.error()});
  auto pg_test = opt::LBFGSBInfNormGTerminator::create(tolerance);
  if (!pg_test) return std::unexpected(Optimizer{pg_test.error()});
  opt::Callbacks callbacks;
  const auto add = [&callbacks](std::unique_ptr<opt::Terminator> terminator) {
    callbacks = opt::with_terminator(std::move(callbacks), std::move(terminator));
  };
  add(std::make_unique<opt::LBFGSBFTerminator>(*f_test));
  add(std::make_unique<opt::LBFGSBGTerminator>(*g_test));
  add(std::make_unique<opt::LBFGSBInfNormGTerminator>(*pg_test));
  if (max_steps) add(std::make_unique<opt::MaxSteps>(*max_steps));
  return callbacks;
}

Table to_table(const opt::Matrix& m) {
  Table table{static_cast<std::size_t>(m.rows()), static_cast<std::size_t>(m.cols()), {}};
  table.values.resize(table.rows * table.cols);
  for (std::size_t r = 0; r < table.rows; ++r) {
    for (std::size_t c = 0; c < table.cols; ++c) {
      table(r, c) = m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
    }
  }
  return table;
}

// Where the run starts and the box it keeps to: the yields first, in
// component order, each in [ε, +∞), then the shape parameters in the order
// given, each in its own [lower, upper]. The bounds are built once, as the
// optimizer's configuration holds them; the box is the same bounds as two
// vectors, for the likelihood and the parameter scale. `names` are the
// shape parameters'.
struct StartPoint {
  opt::Vector x0;
  opt::LBFGSBConfig config;
  opt::Box box;
  std::vector<std::string> names;
};

// Before: `yields0` holds one usable start yield per component (see
// start_yields). After: the point, the default configuration with its
// bounds installed, and their box; an error when the optimizer rejects the
// bounds (which valid shape parameters never make it do).
std::expected<StartPoint, SPlotError> make_start_point(
    const std::vector<double>& yields0, std::span<const ShapeParameter> shape_parameters) {
  const std::size_t n_comp = yields0.size();
  const std::size_t n_shape = shape_parameters.size();
  StartPoint start{opt::Vector(static_cast<Eigen::Index>(n_comp + n_shape)), {}, {}, {}};
  std::vector<opt::BoundPair> bounds;
  bounds.reserve(n_comp + n_shape);
  start.names.reserve(n_shape);
  for (std::size_t k = 0; k < n_comp; ++k) {
    start.x0[static_cast<Eigen::Index>(k)] = yields0[k];
    bounds.emplace_back(kMachineEpsilon, std::numeric_limits<double>::infinity());
  }
  for (std::size_t j = 0; j < n_shape; ++j) {
    start.x0[static_cast<Eigen::Index>(n_comp + j)] = shape_parameters[j].initial;
    bounds.emplace_back(shape_parameters[j].lower, shape_parameters[j].upper);
    start.names.push_back(shape_parameters[j].name);
  }
  auto config = opt::LBFGSBConfig{}.with_bounds(bounds);
  if (!config) return std::unexpected(SPlotError{Optimizer{std::move(config).error()}});
  start.config = std::move(*config);
  start.box = opt::box_of(start.config.bounds, start.x0.size());
  return start;
}

// Before: `likelihood` is built over `start.box`. Scales the coordinates by
// the curvature at the start point, then minimises from there with the
// convergence tests of the tolerance and the step limit. After: the
// optimizer's summary; an error of a likelihood evaluation or of the
// optimizer's configuration ends the fit.
std::expected<opt::MinimizationSummary, SPlotError> minimize(
    const JointLikelihood& likelihood, StartPoint start, double tolerance,
    std::optional<std::uint64_t> max_steps) {
  const auto f0 = likelihood.evaluate(start.x0);
  TARNWICK_RETURN_IF_ERROR(f0);
  auto scale = parameter_scale(likelihood, start.x0, *f0, start.box);
  TARNWICK_RETURN_IF_ERROR(scale);
  opt::LBFGSBConfig run_config = std::move(start.config);
  run_config.scale = std::move(*scale);
  // Only shape parameters are held fixed where they end on a bound: a yield
  // on its lower bound keeps its (exact, two-sided) curvature and its
  // correlations with the rest.
  run_config.held_fixed_on_bound.assign(static_cast<std::size_t>(start.x0.size()), true);
  std::fill_n(run_config.held_fixed_on_bound.begin(), likelihood.n_components(), false);
  auto callbacks = make_callbacks(tolerance, max_steps);
  TARNWICK_RETURN_IF_ERROR(callbacks);
  return opt::LBFGSB{}.process(likelihood, std::move(start.x0), std::move(run_config),
                               std::move(*callbacks));
}

// Before: `model` holds the PDF values at the fitted shape point and
// `yields` the fitted yields. After: the inverse of the event-summed yield
// information, or SingularCovariance when it has none or when information ×
// inverse is not the identity within max(10 t, 10⁻⁸).
std::expected<opt::Matrix, SPlotError> splot_covariance(const EvaluatedModel& model,
                                                        std::span<const double> yields,
                                                        double tolerance) {
  auto information = yield_information(model, yields);
  TARNWICK_RETURN_IF_ERROR(information);
  auto covariance = opt::kEigen.lu_inverse(*information);
  if (!covariance) {
    return std::unexpected(
        SingularCovariance{"the event-summed yield information matrix is not invertible"});
  }
  if (!covariance_is_valid(*information, *covariance, tolerance)) {
    return std::unexpected(
        SingularCovariance{"the component PDFs are not independently identifiable"});
  }
  return std::move(*covariance);
}

// The result record of a finished fit: the optimizer's summary (its first
// n_comp coordinates the yields), the sPlot covariance and the sWeights.
SPlotResult make_result(opt::MinimizationSummary&& summary, const opt::Matrix& covariance,
                        Table&& sweights, std::span<const ShapeParameter> shape_parameters,
                        std::size_t n_comp) {
  const opt::Vector& best = summary.best_point;
  SPlotResult result;
  result.covariance = to_table(covariance);
  result.fit_covariance = to_table(summary.covariance);
  result.sweights = std::move(sweights);
  result.yields.assign(best.data(), best.data() + n_comp);
  result.yield_errors.assign(summary.std_errors.data(), summary.std_errors.data() + n_comp);
  for (std::size_t j = 0; j < shape_parameters.size(); ++j) {
    const auto& name = shape_parameters[j].name;
    const auto i = static_cast<Eigen::Index>(n_comp + j);
    result.shape_errors.insert_or_assign(name, summary.std_errors[i]);
    result.shape_parameters.insert_or_assign(name, best[i]);
  }
  result.message = summary.message.display();
  result.success = summary.message.kind() == opt::StatusType::Success;
  result.minimum_nll = summary.best_value;
  result.objective_evaluations = summary.cost_evaluations;
  result.gradient_evaluations = summary.gradient_evaluations;
  result.hessian_evaluations = summary.hessian_evaluations;
  return result;
}

// The threads of a fit: those of the log pass over many events; over fewer
// (but not too few), one per CPU (at most eight) for the points of a
// gradient where every PDF may evaluate them off the caller's thread.
std::size_t thread_count(std::size_t n_events, std::span<ParametricPdf* const> pdfs,
                         bool has_shape_parameters) {
  if (n_events >= 2 * kEventsPerThread || n_events < kFewestEventsForGradientThreads ||
      !has_shape_parameters) {
    return pass_thread_count(n_events);
  }
  const bool off_thread = std::ranges::all_of(
      pdfs, [](const ParametricPdf* pdf) { return pdf->may_evaluate_off_thread(); });
  constexpr std::size_t kMostThreads = 8;
  return off_thread ? std::min(usable_cpus(), kMostThreads) : 1;
}

// Hands the fit's threads to its PDFs for the lifetime of this object.
class SharedThreads {
 public:
  SharedThreads(std::span<ParametricPdf* const> pdfs, WorkerThreads* threads) : pdfs_(pdfs) {
    for (ParametricPdf* pdf : pdfs_) pdf->share_threads(threads);
  }
  ~SharedThreads() {
    for (ParametricPdf* pdf : pdfs_) pdf->share_threads(nullptr);
  }
  SharedThreads(const SharedThreads&) = delete;
  SharedThreads& operator=(const SharedThreads&) = delete;

 private:
  std::span<ParametricPdf* const> pdfs_;
};

}  // namespace

std::expected<SPlotResult, SPlotError> splot(const EventView& events,
                                             std::span<ParametricPdf* const> pdfs,
                                             std::span<const ShapeParameter> shape_parameters,
                                             SPlotConfig config) {
  auto validated = validate_inputs(events, pdfs.size(), shape_parameters, config);
  TARNWICK_RETURN_IF_ERROR(validated);
  // The validated copies are what the fit uses from here on.
  config.event_weights.reset();
  config.initial_yields.reset();
  const std::size_t n_comp = pdfs.size();
  const double tolerance = config.tolerance;

  auto start = make_start_point(
      start_yields(std::move(validated->initial_yields), !shape_parameters.empty(), tolerance),
      shape_parameters);
  TARNWICK_RETURN_IF_ERROR(start);
  // The threads of the log pass, or of the gradient's points where few
  // events leave the pass on one, live for this call only; PDFs that
  // compute without Python share them.
  WorkerThreads threads(thread_count(events.size(), pdfs, !shape_parameters.empty()));
  const SharedThreads shared(pdfs, &threads);
  JointLikelihood likelihood(std::move(start->names), events, pdfs, validated->event_weights,
                             start->box, &threads);
  // The PDFs' caches start with their first outputs at the declared starts
  // and move off them at the first other shape point. Without shape
  // parameters there is none: every value comes from the first outputs.
  if (!shape_parameters.empty()) {
    std::vector<double> initial_shape;
    for (const ShapeParameter& parameter : shape_parameters) {
      initial_shape.push_back(parameter.initial);
    }
    likelihood.set_seeded_shape_point(initial_shape);
  }
  auto summary = minimize(likelihood, std::move(*start), tolerance, config.max_steps);
  TARNWICK_RETURN_IF_ERROR(summary);

  // The sPlot part, at the fitted point.
  const opt::Vector& best = summary->best_point;
  const std::span<const double> fitted_yields(best.data(), n_comp);
  auto model = likelihood.evaluate_model(
      std::span<const double>(best.data() + n_comp, shape_parameters.size()));
  TARNWICK_RETURN_IF_ERROR(model);
  auto covariance = splot_covariance(*model, fitted_yields, tolerance);
  TARNWICK_RETURN_IF_ERROR(covariance);
  auto sweights = calculate_sweights(*model, fitted_yields, *covariance);
  TARNWICK_RETURN_IF_ERROR(sweights);
  return make_result(std::move(*summary), *covariance, std::move(*sweights), shape_parameters,
                     n_comp);
}

}  // namespace tarnwick::fit
