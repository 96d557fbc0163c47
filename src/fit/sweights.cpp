#include "fit/sweights.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "numerics/exact_sum.hpp"
#include "numerics/lane_sums.hpp"

namespace tarnwick::fit {

namespace {

using numerics::BoundedSum;
using numerics::ExactSum;
using numerics::LaneSums;

// m_i summed as y_0 f_0(i), then + y_k f_k(i) in component order.
double mixture_density(const EvaluatedModel& model, std::span<const double> yields,
                       std::size_t i) {
  double m = yields[0] * model.value(i, 0);
  for (std::size_t k = 1; k < model.n_components; ++k) m += yields[k] * model.value(i, k);
  return m;
}

bool usable_density(double m) { return std::isfinite(m) && m > 0.0; }

SPlotError not_positive(std::size_t i) {
  return Optimization{"mixture density is not positive for event " + std::to_string(i)};
}

}  // namespace

std::expected<optimizer::Matrix, SPlotError> yield_information(const EvaluatedModel& model,
                                                               std::span<const double> yields) {
  const std::size_t n = model.n_components;
  TARNWICK_REQUIRE(yields.size() == n && n > 0);
  // Entry (j, k) is the correctly rounded sum of w_i (f_j(i)/m_i) (f_k(i)/m_i),
  // taken left to right: the ratios first, so that PDFs of any scale give
  // terms of the scale of the result. Fast double-double sums first; the
  // rare entry they cannot prove is summed again exactly.
  std::vector<double> ratios(n);
  const auto event_terms = [&](std::size_t i, auto&& add) -> bool {
    const double m = mixture_density(model, yields, i);
    if (!usable_density(m)) return false;
    const double w = model.event_weights[i];
    for (std::size_t k = 0; k < n; ++k) ratios[k] = model.value(i, k) / m;
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < n; ++k) add(j * n + k, w * ratios[j] * ratios[k]);
    }
    return true;
  };
  std::vector<LaneSums<1>> lanes(n * n);
  for (std::size_t i = 0; i < model.n_events; ++i) {
    const auto add = [&](std::size_t e, double t) { lanes[e].add_to_lane(0, t); };
    if (!event_terms(i, add)) return std::unexpected(not_positive(i));
  }
  std::vector<std::optional<double>> entries(n * n);
  bool proven = true;
  for (std::size_t e = 0; e < n * n; ++e) {
    BoundedSum sum;
    sum.add(lanes[e]);
    entries[e] = sum.value();
    proven &= entries[e].has_value();
  }
  if (!proven) {
    std::vector<ExactSum> exact(n * n);
    for (std::size_t i = 0; i < model.n_events; ++i) {
      event_terms(i, [&](std::size_t e, double t) { exact[e].add(t); });
    }
    for (std::size_t e = 0; e < n * n; ++e) entries[e] = exact[e].value();
  }
  optimizer::Matrix info(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      info(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k)) = *entries[j * n + k];
    }
  }
  return info;
}

bool covariance_is_valid(const optimizer::Matrix& information, const optimizer::Matrix& covariance,
                         double tolerance) {
  const Eigen::Index n = information.rows();
  TARNWICK_REQUIRE(information.cols() == n && covariance.rows() == n && covariance.cols() == n);
  if (n == 0) return true;
  const double threshold = std::max(10.0 * tolerance, 1e-8);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      double c = 0.0;
      for (Eigen::Index k = 0; k < n; ++k) c += information(i, k) * covariance(k, j);
      if (!std::isfinite(c)) return false;
      const double identity = i == j ? 1.0 : 0.0;
      if (std::abs(c - identity) > threshold) return false;
    }
  }
  return true;
}

std::expected<Table, SPlotError> calculate_sweights(const EvaluatedModel& model,
                                                    std::span<const double> yields,
                                                    const optimizer::Matrix& covariance) {
  const std::size_t n = model.n_components;
  TARNWICK_REQUIRE(yields.size() == n && n > 0);
  TARNWICK_REQUIRE(covariance.rows() == static_cast<Eigen::Index>(n) &&
                   covariance.cols() == static_cast<Eigen::Index>(n));
  Table sweights{model.n_events, n, std::vector<double>(model.n_events * n, 0.0)};
  for (std::size_t i = 0; i < model.n_events; ++i) {
    const double m = mixture_density(model, yields, i);
    if (!usable_density(m)) return std::unexpected(not_positive(i));
    const double w = model.event_weights[i];
    for (std::size_t r = 0; r < n; ++r) {
      double sum = 0.0;
      for (std::size_t k = 0; k < n; ++k) {
        sum += covariance(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(k)) *
               model.value(i, k);
      }
      sweights(i, r) = sum * w / m;
    }
  }
  return sweights;
}

}  // namespace tarnwick::fit
