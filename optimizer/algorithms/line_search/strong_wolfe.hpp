// Strong-Wolfe line search along a direction d from a point x.
//
// With φ(α) = f(x + α d) and φ′(α) = ∇f(x + α d)·d, a step α is accepted
// when it satisfies (Nocedal & Wright, Numerical Optimization, 2nd ed., §3.5)
//   sufficient decrease   φ(α) ≤ φ(0) + c1 α φ′(0),
//   curvature             |φ′(α)| ≤ c2 |φ′(0)|.
// The outward phase (Algorithm 3.5) moves towards the maximum step until an
// interval that must contain an acceptable step is found; the zoom
// (Algorithm 3.6) then halves that interval. Departures from the textbook:
//  * the zoom takes the plain midpoint (no interpolation) and evaluates
//    φ(lo) afresh in every iteration, so a zoom iteration costs two
//    objective evaluations;
//  * the search keeps inside a box whose edge is the maximum step:
//      - the first trial is min(1, α_max), not 1;
//      - from the second consecutive extrapolation on, when α_max is a limit
//        of the box, the next trial is α_max itself rather than another
//        80 % step towards it (which would creep towards the edge and then
//        repeat the same point);
//      - an extrapolating trial whose successor would be the same step
//        (α_next = α, as at α_max) is accepted: the minimum along d inside
//        the box lies on its edge.
//    None of these changes anything when no box limit is within reach.
//
// The search never clips: every trial point is x + α d exactly. Every
// evaluation is counted before it is made, whether or not it then succeeds.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "optimizer/algorithms/line_search/line_search_setting.hpp"
#include "optimizer/core/eigen_provider.hpp"
#include "optimizer/core/transformed_problem.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

// The largest step the search may take, and whether it is the edge of the
// box (rather than the configured maximum step length).
struct StepLimit {
  double value = 1.0;
  bool from_box = false;
};

struct LineSearchResult {
  Vector gradient;  // ∇f(x + step·d)
  double step = 0.0;
  double value = 0.0;  // f(x + step·d)
  bool success = false;
};

// The two evaluation counters of the run, lent to the search.
struct EvaluationCounters {
  std::uint64_t& cost;
  std::uint64_t& gradient;
};

namespace detail {

template <class E>
class StrongWolfeSearch {
 public:
  StrongWolfeSearch(const MoreThuenteLineSearch& params, const Vector& x, const Vector& d,
                    const TransformedProblem<E>& problem, EvaluationCounters counters)
      : params_(params), x_(x), d_(d), problem_(problem), counters_(counters) {}

  std::expected<LineSearchResult, E> run(std::optional<StepLimit> limit) {
    TARNWICK_REQUIRE(x_.size() == d_.size());
    ++counters_.cost;
    auto phi0 = problem_.evaluate(x_);
    if (!phi0) return std::unexpected(std::move(phi0.error()));
    ++counters_.gradient;
    auto g0 = problem_.gradient(x_);
    if (!g0) return std::unexpected(std::move(g0.error()));
    phi0_ = *phi0;
    g0_ = std::move(*g0);
    const double dphi0 = kEigen.vec_dot(g0_, d_);

    const double alpha_max = limit ? limit->value : 1.0;
    const bool box_limited = limit && limit->from_box;
    double alpha_prev = 0.0;
    double phi_prev = phi0_;
    double alpha = std::fmin(1.0, alpha_max);
    std::uint64_t extrapolations = 0;

    for (std::uint64_t i = 0;; ++i) {
      auto phi = value_at(alpha);
      if (!phi) return std::unexpected(std::move(phi.error()));
      if (*phi > phi0_ + params_.c1 * alpha * dphi0 || (i >= 2 && *phi >= phi_prev)) {
        return zoom(alpha_prev, alpha);
      }
      auto g = gradient_at(alpha);
      if (!g) return std::unexpected(std::move(g.error()));
      const double dphi = kEigen.vec_dot(*g, d_);
      if (std::abs(dphi) <= params_.c2 * std::abs(dphi0)) {
        return LineSearchResult{std::move(*g), alpha, *phi, true};
      }
      if (dphi >= 0.0) {
        return zoom(alpha, alpha_prev);
      }
      ++extrapolations;
      const double alpha_next =
          (box_limited && extrapolations >= 2) ? alpha_max : alpha + 0.8 * (alpha_max - alpha);
      if (alpha_next == alpha) {
        return LineSearchResult{std::move(*g), alpha, *phi, true};
      }
      if (i == params_.max_iterations) {
        return LineSearchResult{std::move(*g), alpha, *phi, false};
      }
      alpha_prev = alpha;
      phi_prev = *phi;
      alpha = alpha_next;
    }
  }

 private:
  std::expected<double, E> value_at(double alpha) {
    ++counters_.cost;
    return problem_.evaluate(x_ + alpha * d_);
  }

  std::expected<Vector, E> gradient_at(double alpha) {
    ++counters_.gradient;
    return problem_.gradient(x_ + alpha * d_);
  }

  // The result at alpha, whose value phi is known, with the gradient there
  // evaluated.
  std::expected<LineSearchResult, E> result_at(double alpha, double phi, bool accepted) {
    auto g = gradient_at(alpha);
    if (!g) return std::unexpected(std::move(g.error()));
    return LineSearchResult{std::move(*g), alpha, phi, accepted};
  }

  std::expected<LineSearchResult, E> zoom(double lo, double hi) {
    const double dphi0 = kEigen.vec_dot(g0_, d_);
    for (std::uint64_t j = 0;; ++j) {
      const double alpha = (lo + hi) * 0.5;
      auto phi = value_at(alpha);
      if (!phi) return std::unexpected(std::move(phi.error()));
      auto phi_lo = value_at(lo);
      if (!phi_lo) return std::unexpected(std::move(phi_lo.error()));
      if (*phi > phi0_ + params_.c1 * alpha * dphi0 || *phi >= *phi_lo) {
        hi = alpha;
        if (j == params_.max_zoom_iterations) return result_at(alpha, *phi, false);
        continue;
      }
      auto g = gradient_at(alpha);
      if (!g) return std::unexpected(std::move(g.error()));
      const double dphi = kEigen.vec_dot(*g, d_);
      if (std::abs(dphi) <= -params_.c2 * dphi0) {
        return LineSearchResult{std::move(*g), alpha, *phi, true};
      }
      if ((hi - lo) * dphi >= 0.0) hi = lo;
      lo = alpha;
      if (j == params_.max_zoom_iterations) {
        // The last zoom step met sufficient decrease but not curvature; it
        // is still accepted, with its gradient evaluated once more.
        return result_at(alpha, *phi, true);
      }
    }
  }

  const MoreThuenteLineSearch& params_;
  const Vector& x_;
  const Vector& d_;
  const TransformedProblem<E>& problem_;
  EvaluationCounters counters_;
  double phi0_ = 0.0;
  Vector g0_;
};

}  // namespace detail

// Finds a step along d from x. Without a limit the maximum step is 1.0.
// Returns the problem's first error unchanged, or the record; `success`
// false means no acceptable step was found and the record must be discarded.
template <class E>
[[nodiscard]] std::expected<LineSearchResult, E> search(const StrongWolfeLineSearch& setting,
                                                        const Vector& x, const Vector& d,
                                                        std::optional<StepLimit> limit,
                                                        const TransformedProblem<E>& problem,
                                                        EvaluationCounters counters) {
  const auto& params = std::get<MoreThuenteLineSearch>(setting);
  return detail::StrongWolfeSearch<E>(params, x, d, problem, counters).run(limit);
}

}  // namespace tarnwick::optimizer
