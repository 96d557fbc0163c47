// L-BFGS-B: limited-memory BFGS for bound-constrained minimisation
// (Byrd, Lu, Nocedal & Zhu, "A limited memory algorithm for bound
// constrained optimization", SIAM J. Sci. Comput. 16(5), 1995).
//
// minimise f(x) subject to l ≤ x ≤ u (either end may be missing).
// Each step computes a direction from the generalized Cauchy point and a
// subspace minimisation of the compact quasi-Newton model, limits the step
// to the box, runs a strong-Wolfe line search along it, projects the new
// point into the box and updates the stored correction pairs. After the last
// step the Hessian is evaluated once and pseudo-inverted into the covariance
// and the standard errors of the summary.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "optimizer/algorithms/gradient/callbacks.hpp"
#include "optimizer/algorithms/gradient/gradient_status.hpp"
#include "optimizer/algorithms/gradient/limited_memory.hpp"
#include "optimizer/algorithms/gradient/subspace_minimisation.hpp"
#include "optimizer/algorithms/line_search/line_search_setting.hpp"
#include "optimizer/algorithms/line_search/strong_wolfe.hpp"
#include "optimizer/core/bounds.hpp"
#include "optimizer/core/optimizer_error.hpp"
#include "optimizer/core/summary.hpp"
#include "optimizer/core/transformed_problem.hpp"
#include "optimizer/interfaces/eigen_types.hpp"
#include "optimizer/interfaces/problem.hpp"

namespace tarnwick::optimizer {

struct LBFGSBConfig {
  StrongWolfeLineSearch line_search{};
  // Box constraints, one per coordinate; absent means unbounded.
  std::optional<BoundList> bounds;
  // Copied into the summary only.
  std::optional<std::vector<std::string>> parameter_names;
  // Correction pairs kept; 0 behaves as 1.
  std::size_t memory_limit = 10;
  // Upper limit on the step handed to the line search.
  double max_step = 1e8;
  // When true, no Hessian is evaluated at the end of the run.
  bool skip_hessian = false;
  // The parameter transform: when present, one finite s > 0 per coordinate,
  // and the run works in z = s ⊙ x (see diagonal_scale.hpp). Points in the
  // summary, and the final Hessian and covariance, stay in x.
  std::optional<Vector> scale;
  // The coordinates that the final covariance leaves out when the run ends
  // exactly on one of their bounds (their Hessian is one-sided there); empty
  // means every coordinate. Others on a bound stay in.
  std::vector<bool> held_fixed_on_bound;

  // The configuration with its bounds replaced by the converted pairs, or
  // the conversion's configuration error (see bounds_from_pairs).
  [[nodiscard]] std::expected<LBFGSBConfig, OptimizerError> with_bounds(
      const std::vector<BoundPair>& pairs) &&;
};

// Sets to 0 every component of d that points out of the box at a coordinate
// of x already on that bound. The subspace step can leave such a component
// at rounding level (~1e-17); it would make the step limit 0 and the run
// stall on a bound it cannot leave.
void drop_components_leaving_box(Vector& d, const Vector& x, const Box& box);

// The largest step along d from x that stays in the box, when it is finite
// and below `max_step` (then flagged as a box limit), else `max_step`.
[[nodiscard]] StepLimit step_limit(const Vector& x, const Vector& d, const Box& box,
                                   double max_step);

class LBFGSB {
 public:
  // Runs a whole minimisation from `start` until a callback stops it. A
  // problem error (from any evaluation) ends the run at once and is returned
  // unchanged; every other ending, including a non-finite objective, gives a
  // summary.
  template <class E>
  [[nodiscard]] std::expected<MinimizationSummary, E> process(const Problem<E>& problem,
                                                              Vector start, LBFGSBConfig config,
                                                              Callbacks callbacks);

  [[nodiscard]] static MinimizationSummary summarize(const GradientStatus& status,
                                                     const Vector& start,
                                                     const LBFGSBConfig& config);

  // The state between steps, read by the terminators.
  [[nodiscard]] const Vector& x() const { return x_; }
  [[nodiscard]] const Vector& g() const { return g_; }
  [[nodiscard]] double f() const { return f_; }
  [[nodiscard]] double f_previous() const { return f_previous_; }
  void set_f_previous(double value) { f_previous_ = value; }
  [[nodiscard]] const LimitedMemory& memory() const { return memory_; }
  // The run's box in the coordinates the run works in (see `scale`).
  [[nodiscard]] const Box& box() const { return box_; }

 private:
  template <class E>
  [[nodiscard]] std::expected<void, E> step(const TransformedProblem<E>& problem,
                                            GradientStatus& status, const LBFGSBConfig& config);

  void start_run(Vector x, double f, Vector g, Box box, const LBFGSBConfig& config);
  // Which coordinates of the point are exactly on an end of the box: they
  // are held fixed for the covariance.
  [[nodiscard]] static std::vector<bool> on_bound(const Vector& point, const Box& box,
                                                  const std::vector<bool>& eligible);
  // Takes an accepted line-search step: x⁺ = clip(x + α d), offers the pair
  // (x⁺ − x, g⁺ − g) to the memory, and moves to x⁺.
  void accept(const LineSearchResult& result, const Vector& d);
  // The checks made before the first step and after every step: a
  // converged status ends the run, and so does a non-finite objective value
  // (as a failure).
  [[nodiscard]] static bool run_is_over(GradientStatus& status);

  StrongWolfeLineSearch line_search_{};
  Vector x_;
  Vector g_;
  double f_ = std::numeric_limits<double>::infinity();
  double f_previous_ = std::numeric_limits<double>::infinity();
  LimitedMemory memory_;
  // The run's box in internal coordinates, built once by start_run.
  Box box_;
};

template <class E>
std::expected<MinimizationSummary, E> LBFGSB::process(const Problem<E>& problem, Vector start,
                                                      LBFGSBConfig config, Callbacks callbacks) {
  GradientStatus status;
  const Box caller_box = box_of(config.bounds, start.size());
  // The run works in internal coordinates and so does its box; without a
  // configured scale they are the caller's.
  const DiagonalScale scale = config.scale ? DiagonalScale(*config.scale, caller_box)
                                           : DiagonalScale::identity(caller_box);
  Box box = scale.internal_box();
  Vector x = box.clip(scale.to_internal(caller_box.clip(start)));
  const TransformedProblem<E> transformed(problem, scale);
  auto f = transformed.evaluate(x);
  if (!f) return std::unexpected(std::move(f.error()));
  auto g = transformed.gradient(x);
  if (!g) return std::unexpected(std::move(g.error()));
  start_run(std::move(x), *f, std::move(*g), std::move(box), config);
  status.cost_evaluations += 1;
  status.gradient_evaluations += 1;
  status.best_point = start;
  status.best_value = f_;
  status.message.initialize();

  if (!run_is_over(status)) {
    for (std::uint64_t step_index = 0;; ++step_index) {
      if (auto taken = step(transformed, status, config); !taken) {
        return std::unexpected(std::move(taken.error()));
      }
      if (run_is_over(status)) break;
      bool stop = false;
      for (auto& callback : callbacks.entries) {
        if (callback.call(step_index, *this, status, config)) {
          stop = true;
          break;
        }
      }
      if (stop) break;
    }
  }

  if (!config.skip_hessian) {
    auto h = transformed.hessian(x_);
    if (!h) return std::unexpected(std::move(h.error()));
    status.hessian_evaluations += 1;
    status.set_hess(std::move(*h), on_bound(transformed.external(x_), caller_box,
                                            config.held_fixed_on_bound));
  }
  return summarize(status, start, config);
}

template <class E>
std::expected<void, E> LBFGSB::step(const TransformedProblem<E>& problem, GradientStatus& status,
                                    const LBFGSBConfig& config) {
  Vector d = bound_constrained_direction(x_, g_, memory_, box_);
  drop_components_leaving_box(d, x_, box_);
  const StepLimit limit = step_limit(x_, d, box_, config.max_step);
  auto result = search(line_search_, x_, d, limit, problem,
                       EvaluationCounters{status.cost_evaluations, status.gradient_evaluations});
  if (!result) return std::unexpected(std::move(result.error()));
  if (!result->success) {
    // No acceptable step: stay at x and restart the model from B = θ I.
    memory_.reset(x_.size());
    return {};
  }
  accept(*result, d);
  status.best_point = problem.external(x_);
  status.message.step();
  status.best_value = f_;
  return {};
}

}  // namespace tarnwick::optimizer
