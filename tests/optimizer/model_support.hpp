// Helpers for the direction-finder tests: limited memories built from the
// pairs of a known quadratic, and the dense model matrix they stand for.
#pragma once

#include <initializer_list>

#include "optimizer/algorithms/gradient/limited_memory.hpp"
#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer::testing {

// A memory holding the pairs (s_i, A s_i) of the quadratic with Hessian A,
// for n coordinates.
inline LimitedMemory memory_from_pairs(const Matrix& a, std::initializer_list<Vector> steps) {
  LimitedMemory memory;
  memory.reset(a.rows());
  for (const Vector& s : steps) memory.offer(s, a * s);
  return memory;
}

// B = θ I − W K⁻¹ Wᵀ formed densely (θ I without pairs).
inline Matrix model_matrix(const LimitedMemory& memory, Eigen::Index n) {
  Matrix b = memory.theta() * Matrix::Identity(n, n);
  if (memory.middle_matrix()) {
    const Matrix& w = memory.w_matrix();
    b -= w * memory.middle_matrix()->fullPivLu().solve(w.transpose());
  }
  return b;
}

// The model m(z) = g·(z − x) + ½ (z − x)ᵀ B (z − x).
inline double model_value(const Matrix& b, const Vector& x, const Vector& g, const Vector& z) {
  const Vector step = z - x;
  return g.dot(step) + 0.5 * step.dot(b * step);
}

}  // namespace tarnwick::optimizer::testing
