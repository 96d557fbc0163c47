// The interface through which the optimizer asks a problem for values and
// derivatives. The optimizer is generic over the problem's error type E: a
// problem's error is returned from the run unchanged.
#pragma once

#include <expected>
#include <utility>

#include "optimizer/interfaces/eigen_types.hpp"

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

}  // namespace tarnwick::optimizer
