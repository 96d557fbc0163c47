// Small fake problems for the optimizer tests. Each counts and records
// every call the optimizer makes, so that tests can compare the run's
// evaluation counters with the calls that really happened, and can fail on
// a chosen call to check that the problem's error comes back unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/interfaces/eigen_types.hpp"
#include "optimizer/interfaces/problem.hpp"

namespace tarnwick::optimizer::testing {

// The problems' own error type: the optimizer must hand it back as it is.
struct ProblemError {
  std::string what;
  int call = 0;
  friend bool operator==(const ProblemError&, const ProblemError&) = default;
};

// A problem given by three plain functions. `value`, `grad` and `hess` can
// be called directly to compute reference values without being counted.
class FunctionProblem final : public Problem<ProblemError> {
 public:
  using Value = std::function<double(const Vector&)>;
  using Grad = std::function<Vector(const Vector&)>;
  using Hess = std::function<Matrix(const Vector&)>;

  FunctionProblem(Value value, Grad grad, Hess hess)
      : value(std::move(value)), grad(std::move(grad)), hess(std::move(hess)) {}

  std::expected<double, ProblemError> evaluate(const Vector& x) const override {
    evaluated.push_back(x);
    const int call = static_cast<int>(evaluated.size());
    if (fail_evaluate_at && *fail_evaluate_at == call) {
      return std::unexpected(ProblemError{"evaluate failed", call});
    }
    return value(x);
  }

  std::expected<Vector, ProblemError> gradient(const Vector& x) const override {
    differentiated.push_back(x);
    const int call = static_cast<int>(differentiated.size());
    if (fail_gradient_at && *fail_gradient_at == call) {
      return std::unexpected(ProblemError{"gradient failed", call});
    }
    return grad(x);
  }

  std::expected<std::pair<Vector, Matrix>, ProblemError> gradient_with_hessian(
      const Vector& x) const override {
    ++hessian_calls;
    if (fail_hessian) return std::unexpected(ProblemError{"hessian failed", hessian_calls});
    return std::pair{grad(x), hess(x)};
  }

  [[nodiscard]] std::uint64_t evaluate_calls() const { return evaluated.size(); }
  [[nodiscard]] std::uint64_t gradient_calls() const { return differentiated.size(); }

  Value value;
  Grad grad;
  Hess hess;

  // 1-based index of the call that fails, if any.
  std::optional<int> fail_evaluate_at;
  std::optional<int> fail_gradient_at;
  bool fail_hessian = false;

  // Every point passed to evaluate and to gradient, in call order.
  mutable std::vector<Vector> evaluated;
  mutable std::vector<Vector> differentiated;
  mutable int hessian_calls = 0;
};

// f(x) = ½ (x − c)ᵀ A (x − c),  ∇f = A (x − c),  H = A.
inline FunctionProblem quadratic(Matrix a, Vector c) {
  return FunctionProblem(
      [a, c](const Vector& x) { return 0.5 * (x - c).dot(a * (x - c)); },
      [a, c](const Vector& x) { return Vector(a * (x - c)); }, [a](const Vector&) { return a; });
}

// f(x) = ½ Σ (x_i − c_i)²,  ∇f = x − c,  H = I.
inline FunctionProblem sphere(Vector c) {
  const auto n = c.size();
  return quadratic(Matrix::Identity(n, n), std::move(c));
}

// The chained Rosenbrock function
//   f(x) = Σ_{i<n−1} 100 (x_{i+1} − x_i²)² + (1 − x_i)²,
//   ∂f/∂x_i = −400 x_i (x_{i+1} − x_i²) − 2 (1 − x_i) + 200 (x_i − x_{i−1}²),
//   H_ii = 1200 x_i² − 400 x_{i+1} + 2 + 200,  H_{i,i+1} = H_{i+1,i} = −400 x_i,
// (terms with an index outside 0 … n−1 left out). Its minimiser is x = 1,
// f = 0.
inline FunctionProblem rosenbrock() {
  return FunctionProblem(
      [](const Vector& x) {
        double f = 0.0;
        for (Eigen::Index i = 0; i + 1 < x.size(); ++i) {
          const double a = x[i + 1] - x[i] * x[i];
          const double b = 1.0 - x[i];
          f += 100.0 * a * a + b * b;
        }
        return f;
      },
      [](const Vector& x) {
        Vector g = Vector::Zero(x.size());
        for (Eigen::Index i = 0; i + 1 < x.size(); ++i) {
          const double a = x[i + 1] - x[i] * x[i];
          g[i] += -400.0 * x[i] * a - 2.0 * (1.0 - x[i]);
          g[i + 1] += 200.0 * a;
        }
        return g;
      },
      [](const Vector& x) {
        const Eigen::Index n = x.size();
        Matrix h = Matrix::Zero(n, n);
        for (Eigen::Index i = 0; i + 1 < n; ++i) {
          h(i, i) += 1200.0 * x[i] * x[i] - 400.0 * x[i + 1] + 2.0;
          h(i, i + 1) += -400.0 * x[i];
          h(i + 1, i) += -400.0 * x[i];
          h(i + 1, i + 1) += 200.0;
        }
        return h;
      });
}

}  // namespace tarnwick::optimizer::testing
