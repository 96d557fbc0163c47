// The interface through which the optimizer asks a problem for values and
// derivatives. The optimizer is generic over the problem's error type E: a
// problem's error is returned from the run unchanged.
#pragma once

#include <expected>
#include <utility>

#include "optimizer/core/diagonal_scale.hpp"
#include "optimizer/core/linalg.hpp"

namespace tarnwick::optimizer {

template <class E>
class ScalarCostFunction {
 public:
  virtual ~ScalarCostFunction() = default;
  // f(x).
  [[nodiscard]] virtual std::expected<double, E> evaluate(const Vector& x) const = 0;
};

template <class E>
class ScalarGradient {
 public:
  virtual ~ScalarGradient() = default;
  // ∇f(x), a vector of the length of x.
  [[nodiscard]] virtual std::expected<Vector, E> gradient(const Vector& x) const = 0;
  // (∇f(x), H(x)) with H square of the size of x.
  [[nodiscard]] virtual std::expected<std::pair<Vector, Matrix>, E> gradient_with_hessian(
      const Vector& x) const = 0;
};

// A problem the optimizer can minimise: value, gradient and Hessian.
template <class E>
class Problem : public ScalarCostFunction<E>, public ScalarGradient<E> {
 public:
  using Error = E;
};

// The object through which every optimizer component calls the problem, in
// the optimizer's internal coordinates. With a scale installed, points are
// mapped to the caller's coordinates before the problem sees them and
// gradients back (see diagonal_scale.hpp); without one every call passes
// straight through. It adds no counting, caching or checks (its callers
// count).
template <class E>
class TransformedProblem {
 public:
  // Borrows the problem and the scale for its lifetime; without a scale
  // every call passes through.
  TransformedProblem(const Problem<E>& problem, const DiagonalScale* scale)
      : problem_(problem), scale_(scale) {}
  explicit TransformedProblem(const Problem<E>& problem) : TransformedProblem(problem, nullptr) {}

  [[nodiscard]] std::expected<double, E> evaluate(const Vector& z) const {
    return problem_.evaluate(external(z));
  }
  [[nodiscard]] std::expected<Vector, E> gradient(const Vector& z) const {
    auto g = problem_.gradient(external(z));
    if (!g || !scale_) return g;
    return scale_->gradient_to_internal(*g);
  }
  // H at the point in the caller's coordinates, and in those coordinates:
  // the covariance is the caller's. One gradient_with_hessian of the
  // problem, gradient discarded.
  [[nodiscard]] std::expected<Matrix, E> hessian(const Vector& z) const {
    auto both = problem_.gradient_with_hessian(external(z));
    if (!both) return std::unexpected(std::move(both.error()));
    return std::move(both->second);
  }

  // The point in the caller's coordinates.
  [[nodiscard]] Vector external(const Vector& z) const {
    return scale_ ? scale_->to_external(z) : z;
  }

 private:
  const Problem<E>& problem_;
  const DiagonalScale* scale_;
};

}  // namespace tarnwick::optimizer
