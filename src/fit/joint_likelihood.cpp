#include "fit/joint_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "fit/log_terms.hpp"
#include "fit/return_if_error.hpp"
#include "fit/sweights.hpp"

namespace tarnwick::fit {

namespace {

// The first event whose PDF values are all zero, if any, from `first` on.
std::optional<std::size_t> first_all_zero_event(std::span<const std::span<const double>> values,
                                                std::size_t first, std::size_t n_events) {
  for (std::size_t i = first; i < n_events; ++i) {
    bool all_zero = true;
    for (const auto& f : values) {
      if (f[i] != 0.0) {
        all_zero = false;
        break;
      }
    }
    if (all_zero) return i;
  }
  return std::nullopt;
}

SPlotError all_zero_error(std::size_t event) {
  return PdfEvaluation{"all PDFs are zero for event " + std::to_string(event)};
}

}  // namespace

DifferenceSide difference_side(double v, double h, double lower, double upper) {
  if (v - h >= lower && v + h <= upper) return DifferenceSide::Both;
  if (v - h < lower && v + 2.0 * h <= upper) return DifferenceSide::Above;
  if (v + h > upper && v - 2.0 * h >= lower) return DifferenceSide::Below;
  return DifferenceSide::Both;
}

JointLikelihood::JointLikelihood(std::vector<std::string> shape_names, EventView events,
                                 std::span<ParametricPdf* const> pdfs,
                                 std::span<const double> event_weights, optimizer::Box bounds,
                                 WorkerThreads* threads)
    : shape_names_(std::move(shape_names)),
      events_(events),
      pdfs_(pdfs),
      event_weights_(event_weights),
      weights_are_one_(std::ranges::all_of(event_weights, [](double w) { return w == 1.0; })),
      bounds_(std::move(bounds)),
      threads_(threads),
      recent_(pdfs.size() + shape_names_.size(),
              RecentValues::capacity_for(pdfs.size() + shape_names_.size(),
                                         shape_names_.size())),
      pdf_values_(pdfs.size()) {
  for (const std::string& name : shape_names_) {
    parameter_slots_.push_back(parameters_.try_emplace(name, 0.0).first);
  }
  TARNWICK_REQUIRE(event_weights_.size() == events_.size());
  TARNWICK_REQUIRE(bounds_.lower.size() == bounds_.upper.size());
}

std::pair<double, double> JointLikelihood::difference_points(Eigen::Index j, double v,
                                                             double h) const {
  if (j >= bounds_.lower.size()) return {v + h, v - h};
  switch (difference_side(v, h, bounds_.lower[j], bounds_.upper[j])) {
    case DifferenceSide::Above:
      return {v + 2.0 * h, v};
    case DifferenceSide::Below:
      return {v, v - 2.0 * h};
    case DifferenceSide::Both:
      break;
  }
  return {v + h, v - h};
}

template <class Evaluate>
auto JointLikelihood::central_difference(optimizer::Vector& p, Eigen::Index j, double step_factor,
                                         const Evaluate& evaluate) const
    -> std::expected<DifferenceOf<Evaluate>, SPlotError> {
  const double v = p[j];
  const double h = step_factor * (std::abs(v) + 1.0);
  const auto [first, second] = difference_points(j, v, h);
  p[j] = first;
  auto at_first = evaluate(p);
  TARNWICK_RETURN_IF_ERROR(at_first);
  p[j] = second;
  auto at_second = evaluate(p);
  TARNWICK_RETURN_IF_ERROR(at_second);
  p[j] = v;
  return (*at_first - *at_second) / (2.0 * h);
}

std::optional<SPlotError> JointLikelihood::non_finite_point(std::span<const double> point) {
  for (const double v : point) {
    if (!std::isfinite(v)) {
      // An overflowing gradient or step; no PDF may see such a value.
      return Optimization{"the fit reached a parameter value that is not finite"};
    }
  }
  return std::nullopt;
}

const ParameterMap& JointLikelihood::parameters_at(std::span<const double> shape_values) const {
  TARNWICK_REQUIRE(shape_values.size() == shape_names_.size());
  // The map's nodes stay; only their values change (a repeated name keeps
  // the later value, as insert_or_assign would).
  for (std::size_t j = 0; j < shape_names_.size(); ++j) {
    parameter_slots_[j]->second = shape_values[j];
  }
  return parameters_;
}

std::expected<std::vector<std::span<const double>>, SPlotError>
JointLikelihood::evaluate_pdf_values(const ParameterMap& parameters) const {
  auto values = checked_pdf_values(parameters);
  TARNWICK_RETURN_IF_ERROR(values);
  if (auto zero = first_all_zero_event(*values, 0, events_.size())) {
    return std::unexpected(all_zero_error(*zero));
  }
  return std::vector<std::span<const double>>(values->begin(), values->end());
}

std::expected<std::span<const std::span<const double>>, SPlotError>
JointLikelihood::checked_pdf_values(const ParameterMap& parameters) const {
  const std::size_t n_events = events_.size();
  for (std::size_t k = 0; k < pdfs_.size(); ++k) {
    auto f = pdfs_[k]->evaluate_batch(events_, parameters);
    TARNWICK_RETURN_IF_ERROR(f);
    if (f->values.size() != n_events) {
      return std::unexpected(PdfEvaluation{pdf_count_message(k, f->values.size(), n_events)});
    }
    if (f->first_invalid) {
      return std::unexpected(PdfEvaluation{"PDF " + std::to_string(k) +
                                           " returned an invalid value for event " +
                                           std::to_string(*f->first_invalid)});
    }
    pdf_values_[k] = f->values;
  }
  return std::span<const std::span<const double>>(pdf_values_);
}

std::expected<EvaluatedModel, SPlotError> JointLikelihood::evaluate_model(
    std::span<const double> shape_values) const {
  if (auto error = non_finite_point(shape_values)) return std::unexpected(std::move(*error));
  auto values = evaluate_pdf_values(parameters_at(shape_values));
  TARNWICK_RETURN_IF_ERROR(values);
  const std::size_t n_events = events_.size();
  EvaluatedModel model;
  model.n_events = n_events;
  model.n_components = values->size();
  model.pdf_values = std::move(*values);
  model.event_weights = event_weights_;
  return model;
}

void JointLikelihood::set_seeded_shape_point(std::span<const double> shape_values) {
  TARNWICK_REQUIRE(shape_values.size() == shape_names_.size());
  seeded_shape_.emplace(shape_values.begin(), shape_values.end());
}

std::expected<double, SPlotError> JointLikelihood::evaluate(const optimizer::Vector& x) const {
  TARNWICK_REQUIRE(static_cast<std::size_t>(x.size()) == pdfs_.size() + shape_names_.size());
  const std::span<const double> point(x.data(), static_cast<std::size_t>(x.size()));
  if (auto error = non_finite_point(point)) return std::unexpected(std::move(*error));
  if (const auto known = recent_.find(point)) {
    ++repeats_;
    return *known;
  }
  auto value = computed_value(point);
  // Compared with ==, as the PDFs' caches compare points.
  const bool seeded =
      seeded_shape_ && std::ranges::equal(point.subspan(pdfs_.size()), *seeded_shape_);
  if (value && !seeded) recent_.remember(point, *value);
  return value;
}

std::expected<double, SPlotError> JointLikelihood::computed_value(
    std::span<const double> point) const {
  auto values = checked_pdf_values(parameters_at(point.subspan(pdfs_.size())));
  TARNWICK_RETURN_IF_ERROR(values);
  return value_of(point, *values, threads_);
}

std::expected<double, SPlotError> JointLikelihood::value_of(
    std::span<const double> point, std::span<const std::span<const double>> f,
    WorkerThreads* threads) const {
  const std::size_t n_comp = pdfs_.size();
  const std::size_t n_events = events_.size();
  double yield_sum = 0.0;
  for (std::size_t k = 0; k < n_comp; ++k) yield_sum += point[k];

  const LogTermsInput input{f, point.first(n_comp), event_weights_, weights_are_one_,
                            kDensityFloor};
  const LogTerms terms = subtract_log_terms(yield_sum, input, threads);
  if (terms.stopped_at) {
    // An all-zero event, even a later one, takes precedence over a
    // non-finite mixture density.
    const std::size_t i = *terms.stopped_at;
    if (auto zero = first_all_zero_event(f, i, n_events)) {
      return std::unexpected(all_zero_error(*zero));
    }
    return std::unexpected(
        Optimization{"mixture density is not finite for event " + std::to_string(i)});
  }
  const double nll = terms.nll;
  if (!std::isfinite(nll)) {
    return std::unexpected(Optimization{"negative log-likelihood is not finite"});
  }
  return nll;
}

std::expected<optimizer::Vector, SPlotError> JointLikelihood::gradient(
    const optimizer::Vector& x) const {
  return gradient_with_step(x, optimizer::kCubeRootEpsilon);
}

std::expected<optimizer::Vector, SPlotError> JointLikelihood::gradient_with_step(
    const optimizer::Vector& x, double step_factor) const {
  if (auto batch = gradient_off_thread(x, step_factor)) return std::move(*batch);
  optimizer::Vector p = x;
  optimizer::Vector g(x.size());
  for (Eigen::Index j = 0; j < p.size(); ++j) {
    auto difference = central_difference(
        p, j, step_factor, [this](const optimizer::Vector& q) { return evaluate(q); });
    TARNWICK_RETURN_IF_ERROR(difference);
    g[j] = *difference;
  }
  return g;
}

std::expected<std::pair<optimizer::Vector, optimizer::Matrix>, SPlotError>
JointLikelihood::gradient_with_hessian(const optimizer::Vector& x) const {
  auto g = gradient(x);
  TARNWICK_RETURN_IF_ERROR(g);
  const Eigen::Index n = x.size();
  const auto n_comp = static_cast<Eigen::Index>(pdfs_.size());
  optimizer::Matrix h = optimizer::Matrix::Zero(n, n);
  optimizer::Vector p = x;
  for (Eigen::Index j = n_comp; j < n; ++j) {
    auto column = central_difference(
        p, j, kHessianStepFactor,
        [this](const optimizer::Vector& q) { return gradient_with_step(q, kHessianStepFactor); });
    TARNWICK_RETURN_IF_ERROR(column);
    h.col(j) = *column;
  }
  // Shape–shape pairs: the mean of the two columns' entries; yield–shape
  // pairs: the shape column's entry.
  for (Eigen::Index i = n_comp; i < n; ++i) {
    for (Eigen::Index j = i + 1; j < n; ++j) {
      const double mean = (h(i, j) + h(j, i)) / 2.0;
      h(i, j) = mean;
      h(j, i) = mean;
    }
  }
  for (Eigen::Index j = n_comp; j < n; ++j) {
    for (Eigen::Index k = 0; k < n_comp; ++k) h(j, k) = h(k, j);
  }
  const std::span<const double> point(x.data(), static_cast<std::size_t>(n));
  auto model = evaluate_model(point.subspan(pdfs_.size()));
  TARNWICK_RETURN_IF_ERROR(model);
  auto information = yield_information(*model, point.first(pdfs_.size()));
  TARNWICK_RETURN_IF_ERROR(information);
  // I(j, k) and I(k, j) are summed from terms that may differ in the last
  // bit: symmetrised like the rest.
  for (Eigen::Index j = 0; j < n_comp; ++j) {
    h(j, j) = (*information)(j, j);
    for (Eigen::Index k = j + 1; k < n_comp; ++k) {
      const double mean = ((*information)(j, k) + (*information)(k, j)) / 2.0;
      h(j, k) = mean;
      h(k, j) = mean;
    }
  }
  return std::pair{std::move(*g), std::move(h)};
}

}  // namespace tarnwick::fit
