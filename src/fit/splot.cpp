#include "fit/splot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fit/joint_likelihood.hpp"
#include "fit/parameter_scale.hpp"
#include "fit/sweights.hpp"
#include "fit/validate_inputs.hpp"
#include "optimizer/algorithms/gradient/lbfgsb.hpp"
#include "optimizer/algorithms/gradient/terminators.hpp"
#include "optimizer/core/callbacks.hpp"

namespace tarnwick::fit {

namespace {

namespace opt = optimizer;

// The lower bound of every yield (and the least start value): the machine
// epsilon, so that no fitted yield is exactly 0.
constexpr double kMachineEpsilon = std::numeric_limits<double>::epsilon();

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
  callbacks = opt::with_terminator(std::move(callbacks), std::make_unique<opt::LBFGSBFTerminator>(*f_test));
  callbacks = opt::with_terminator(std::move(callbacks), std::make_unique<opt::LBFGSBGTerminator>(*g_test));
  callbacks = opt::with_terminator(std::move(callbacks), std::make_unique<opt::LBFGSBInfNormGTerminator>(*pg_test));
  if (max_steps) {
    callbacks = opt::with_terminator(std::move(callbacks), std::make_unique<opt::MaxSteps>(*max_steps));
  }
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

}  // namespace

std::expected<SPlotResult, SPlotError> splot(const EventView& events,
                                             std::span<ParametricPdf* const> pdfs,
                                             std::span<const ShapeParameter> shape_parameters,
                                             SPlotConfig config) {
  auto validated = validate_inputs(events, pdfs.size(), shape_parameters, config);
  if (!validated) return std::unexpected(std::move(validated.error()));
  // The validated copies are what the fit uses from here on.
  config.event_weights.reset();
  config.initial_yields.reset();
  const std::size_t n_comp = pdfs.size();
  const std::size_t n_shape = shape_parameters.size();
  const double tolerance = config.tolerance;

  const std::vector<double> yields0 =
      start_yields(std::move(validated->initial_yields), n_shape > 0, tolerance);
  opt::Vector x0(static_cast<Eigen::Index>(n_comp + n_shape));
  std::vector<opt::BoundPair> bounds;
  bounds.reserve(n_comp + n_shape);
  std::vector<std::string> names;
  names.reserve(n_shape);
  for (std::size_t k = 0; k < n_comp; ++k) {
    x0[static_cast<Eigen::Index>(k)] = yields0[k];
    bounds.emplace_back(kMachineEpsilon, std::numeric_limits<double>::infinity());
  }
  for (std::size_t j = 0; j < n_shape; ++j) {
    x0[static_cast<Eigen::Index>(n_comp + j)] = shape_parameters[j].initial;
    bounds.emplace_back(shape_parameters[j].lower, shape_parameters[j].upper);
    names.push_back(shape_parameters[j].name);
  }

  opt::Box box{opt::Vector(x0.size()), opt::Vector(x0.size())};
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    box.lower[static_cast<Eigen::Index>(i)] = bounds[i].first;
    box.upper[static_cast<Eigen::Index>(i)] = bounds[i].second;
  }

  const JointLikelihood likelihood(std::move(names), events, pdfs, validated->event_weights, box);
  const auto f0 = likelihood.evaluate(x0);
  if (!f0) return std::unexpected(std::move(f0.error()));
  auto scale = parameter_scale(likelihood, x0, *f0, box);
  if (!scale) return std::unexpected(std::move(scale.error()));

  auto run_config = opt::LBFGSBConfig{}.with_bounds(bounds);
  if (!run_config) return std::unexpected(Optimizer{run_config.error()});
  run_config->scale = std::move(*scale);
  auto callbacks = make_callbacks(tolerance, config.max_steps);
  if (!callbacks) return std::unexpected(std::move(callbacks.error()));

  auto summary =
      opt::LBFGSB{}.process(likelihood, x0, std::move(*run_config), std::move(*callbacks));
  if (!summary) return std::unexpected(std::move(summary.error()));

  const opt::Vector& best = summary->best_point;
  const std::vector<double> fitted_yields(best.data(), best.data() + n_comp);
  const std::span<const double> fitted_shapes(best.data() + n_comp, n_shape);

  auto model = likelihood.evaluate_model(fitted_shapes);
  if (!model) return std::unexpected(std::move(model.error()));
  auto information = yield_information(*model, fitted_yields);
  if (!information) return std::unexpected(std::move(information.error()));
  auto covariance = opt::EigenProvider{}.lu_inverse(*information);
  if (!covariance) {
    return std::unexpected(
        SingularCovariance{"the event-summed yield information matrix is not invertible"});
  }
  if (!covariance_is_valid(*information, *covariance, tolerance)) {
    return std::unexpected(
        SingularCovariance{"the component PDFs are not independently identifiable"});
  }
  auto sweights = calculate_sweights(*model, fitted_yields, *covariance);
  if (!sweights) return std::unexpected(std::move(sweights.error()));

  SPlotResult result;
  result.covariance = to_table(*covariance);
  result.fit_covariance = to_table(summary->covariance);
  result.sweights = std::move(*sweights);
  result.yields = fitted_yields;
  result.yield_errors.assign(summary->std_errors.data(), summary->std_errors.data() + n_comp);
  for (std::size_t j = 0; j < n_shape; ++j) {
    const auto& name = shape_parameters[j].name;
    result.shape_errors.insert_or_assign(
        name, summary->std_errors[static_cast<Eigen::Index>(n_comp + j)]);
    result.shape_parameters.insert_or_assign(name, fitted_shapes[j]);
  }
  result.message = summary->message.display();
  result.success = summary->message.kind() == opt::StatusType::Success;
  result.minimum_nll = summary->best_value;
  result.objective_evaluations = summary->cost_evaluations;
  result.gradient_evaluations = summary->gradient_evaluations;
  result.hessian_evaluations = summary->hessian_evaluations;
  return result;
}

}  // namespace tarnwick::fit
