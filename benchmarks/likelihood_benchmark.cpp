// Times the hot loop of a fit: one objective evaluation and one gradient of
// the joint likelihood on 10⁶ events × 2 components, with PDFs that return
// precomputed arrays (so only the engine's own work is measured), on the
// threads a fit of that size would use (or as many as given).
//
//   build/benchmarks/likelihood_benchmark [n_events] [repetitions] [threads]
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "fit/joint_likelihood.hpp"
#include "fit/log_terms.hpp"
#include "fit/worker_threads.hpp"
#include "fit/parametric_pdf.hpp"

namespace {

using tarnwick::fit::EventView;
using tarnwick::fit::ParameterMap;
using tarnwick::fit::PdfValues;
using tarnwick::fit::ParametricPdf;
using tarnwick::fit::SPlotError;

class PrecomputedPdf final : public ParametricPdf {
 public:
  // Tested once, as a caching PDF tests each output when it arrives.
  explicit PrecomputedPdf(std::vector<double> values)
      : values_(std::move(values)), tested_(PdfValues::tested(values_)) {}
  std::expected<PdfValues, SPlotError> evaluate_batch(const EventView&,
                                                      const ParameterMap&) override {
    return tested_;
  }

 private:
  std::vector<double> values_;
  PdfValues tested_;
};

template <class F>
double best_seconds(int repetitions, F&& f) {
  double best = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 20;

  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> columns(2 * n);
  std::vector<double> gauss(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = uniform(rng);
    columns[2 * i] = static_cast<double>(i);
    columns[2 * i + 1] = x;
    const double z = (x - 0.5) / 0.05;
    gauss[i] = std::exp(-0.5 * z * z) / (0.05 * std::sqrt(2.0 * 3.141592653589793));
  }
  PrecomputedPdf signal(std::move(gauss));
  PrecomputedPdf background(std::vector<double>(n, 1.0));
  std::array<ParametricPdf*, 2> pdfs{&signal, &background};
  const std::vector<double> weights(n, 1.0);
  const std::size_t n_threads =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : tarnwick::fit::pass_thread_count(n);
  tarnwick::fit::WorkerThreads threads(n_threads);
  const tarnwick::fit::JointLikelihood likelihood({}, EventView(columns, 2), pdfs, weights, {},
                                                  &threads);
  tarnwick::optimizer::Vector x(2);
  x << 0.1 * static_cast<double>(n), 0.9 * static_cast<double>(n);

  // Every repetition at a point of its own: the likelihood answers a point
  // it evaluated recently from memory.
  const double y0 = x[0];
  double moves = 0.0;
  const auto moved = [&] {
    x[0] = y0 * (1.0 + 1e-9 * ++moves);
    return x;
  };
  double sink = 0.0;
  const double t_value =
      best_seconds(repetitions, [&] { sink += likelihood.evaluate(moved()).value(); });
  const double t_gradient =
      best_seconds(repetitions, [&] { sink += likelihood.gradient(moved()).value()[0]; });
  std::printf("events: %zu, components: 2, threads: %zu, best of %d\n", n, threads.size(),
              repetitions);
  std::printf("objective: %.3f ms  (%.2f ns/event)\n", t_value * 1e3, t_value * 1e9 / n);
  std::printf("gradient:  %.3f ms  (%.2f ns/event, %d objective evaluations)\n", t_gradient * 1e3,
              t_gradient * 1e9 / n, 4);
  std::printf("(checksum %g)\n", sink);
  return 0;
}
