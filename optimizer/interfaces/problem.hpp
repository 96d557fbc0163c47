// The interface through which the optimizer asks a problem for values and
// derivatives. The optimizer is generic over the problem's error type E: a
// problem's error is returned from the run unchanged.
#pragma once

#include <expected>
#include <utility>

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

// The object through which every optimizer component calls the problem. No
// parameter transform is ever installed, so every call passes straight
// through; it adds no counting, caching or checks (its callers count).
template <class E>
class TransformedProblem {
 public:
  explicit TransformedProblem(const Problem<E>& problem) : problem_(problem) {}

  [[nodiscard]] std::expected<double, E> evaluate(const Vector& x) const {
    return problem_.evaluate(x);
  }
  [[nodiscard]] std::expected<Vector, E> gradient(const Vector& x) const {
    return problem_.gradient(x);
  }
  [[nodiscard]] std::expected<std::pair<Vector, Matrix>, E> gradient_with_hessian(
      const Vector& x) const {
    return problem_.gradient_with_hessian(x);
  }
  // H(x) alone: one gradient_with_hessian of the problem, gradient discarded.
  [[nodiscard]] std::expected<Matrix, E> hessian(const Vector& x) const {
    auto both = problem_.gradient_with_hessian(x);
    if (!both) return std::unexpected(std::move(both.error()));
    return std::move(both->second);
  }

 private:
  const Problem<E>& problem_;
};

}  // namespace tarnwick::optimizer
