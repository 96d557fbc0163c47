// The points of a finite-difference gradient evaluated at once, on the
// fit's threads: each point's PDF values into buffers of its own, then its
// log pass on one thread. Where a PDF says its values are a function of the
// point alone, computed without Python (a library model evaluated
// natively, once off the output it was seeded with), the values are those
// the points would give one after another, on however many threads; the
// likelihood's memory is then filled in the same order. Anything else (a
// Python PDF, a point the native arithmetic hands to Python, an error, the
// seeded shape point) leaves the points to the sequential path, which
// evaluates them again and reports its own errors.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>

#include "fit/joint_likelihood.hpp"
#include "fit/log_terms.hpp"
#include "fit/worker_threads.hpp"

namespace tarnwick::fit {

// The 2n points of a gradient's differences in the order one after another
// would evaluate them, and the step of each coordinate.
struct JointLikelihood::GradientPoints {
  std::size_t dimension = 0;
  std::vector<double> coordinates;  // 2n × n
  std::vector<double> steps;

  [[nodiscard]] std::size_t size() const { return 2 * dimension; }
  [[nodiscard]] std::span<const double> at(std::size_t i) const {
    return {coordinates.data() + i * dimension, dimension};
  }
};

namespace {

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return std::ranges::equal(a, b, [](double u, double v) {
    return std::bit_cast<std::uint64_t>(u) == std::bit_cast<std::uint64_t>(v);
  });
}

}  // namespace

std::optional<std::expected<optimizer::Vector, SPlotError>>
JointLikelihood::gradient_off_thread(const optimizer::Vector& x, double step_factor) const {
  if (threads_ == nullptr || threads_->size() < 2 ||
      events_.size() < kFewestEventsForGradientThreads ||
      events_.size() >= 2 * kEventsPerThread) {
    return std::nullopt;
  }
  for (ParametricPdf* pdf : pdfs_) {
    auto ready = pdf->prepare_off_thread();
    if (!ready) return std::unexpected(std::move(ready.error()));
    if (!*ready) return std::nullopt;
  }
  const Eigen::Index n = x.size();
  GradientPoints points{static_cast<std::size_t>(n), {}, {}};
  points.coordinates.resize(points.size() * points.dimension);
  for (Eigen::Index j = 0; j < n; ++j) {
    const double v = x[j];
    const double h = step_factor * (std::abs(v) + 1.0);
    const auto [first, second] = difference_points(j, v, h);
    points.steps.push_back(h);
    for (const auto& [k, value] : {std::pair{0, first}, std::pair{1, second}}) {
      double* point =
          points.coordinates.data() + (2 * static_cast<std::size_t>(j) + k) * points.dimension;
      std::copy(x.data(), x.data() + n, point);
      point[j] = value;
    }
  }
  auto values = values_off_thread(points);
  if (!values) return std::nullopt;
  optimizer::Vector g(n);
  for (Eigen::Index j = 0; j < n; ++j) {
    const auto i = 2 * static_cast<std::size_t>(j);
    g[j] = ((*values)[i] - (*values)[i + 1]) / (2.0 * points.steps[i / 2]);
  }
  return g;
}

std::optional<std::vector<double>> JointLikelihood::values_off_thread(
    const GradientPoints& points) const {
  // The points to compute: those neither remembered now nor equal to an
  // earlier one of the batch (which one after another would find
  // remembered).
  std::vector<std::optional<double>> known(points.size());
  std::vector<std::size_t> to_compute;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::span<const double> point = points.at(i);
    if (non_finite_point(point)) return std::nullopt;
    if (seeded_shape_ && std::ranges::equal(point.subspan(pdfs_.size()), *seeded_shape_)) {
      return std::nullopt;
    }
    known[i] = recent_.find(point);
    bool repeated = false;
    for (std::size_t k = 0; k < i && !repeated; ++k) repeated = same_bits(point, points.at(k));
    if (!known[i] && !repeated) to_compute.push_back(i);
  }
  if (slots_.size() < to_compute.size()) slots_.resize(to_compute.size());
  std::vector<std::optional<std::expected<double, SPlotError>>> computed(to_compute.size());
  std::atomic<bool> given_up = false;
  auto job = [&](std::size_t c) {
    if (given_up.load(std::memory_order_relaxed)) return;
    computed[c] = value_off_thread(points.at(to_compute[c]), c);
    if (!computed[c] || !*computed[c]) given_up.store(true, std::memory_order_relaxed);
  };
  if (!to_compute.empty()) threads_->run(to_compute.size(), job);
  if (given_up.load()) return std::nullopt;
  std::vector<double> values(points.size());
  for (std::size_t c = 0; c < to_compute.size(); ++c) values[to_compute[c]] = **computed[c];
  // The memory as one point after another would leave it: each point looked
  // up in order, a hit counted as a repeat, a miss remembered.
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (const auto remembered = recent_.find(points.at(i))) {
      ++repeats_;
      values[i] = *remembered;
      continue;
    }
    if (known[i]) values[i] = *known[i];  // remembered before, forgotten since
    recent_.remember(points.at(i), values[i]);
  }
  return values;
}

std::optional<std::expected<double, SPlotError>> JointLikelihood::value_off_thread(
    std::span<const double> point, std::size_t slot) const {
  OffThreadSlot& buffers = slots_[slot];
  const std::size_t n_comp = pdfs_.size();
  if (buffers.parameters.size() != shape_names_.size()) buffers.parameters = parameters_;
  for (std::size_t j = 0; j < shape_names_.size(); ++j) {
    buffers.parameters.insert_or_assign(shape_names_[j], point[n_comp + j]);
  }
  buffers.values.resize(n_comp);
  buffers.views.resize(n_comp);
  const std::size_t n_events = events_.size();
  for (std::size_t k = 0; k < n_comp; ++k) {
    auto f = pdfs_[k]->evaluate_into(buffers.parameters, buffers.values[k]);
    if (!f) return std::nullopt;
    if (!*f) return std::unexpected(std::move(f->error()));
    if ((*f)->values.size() != n_events || (*f)->first_invalid) return std::nullopt;
    buffers.views[k] = (*f)->values;
  }
  return value_of(point, buffers.views, nullptr);
}

}  // namespace tarnwick::fit
