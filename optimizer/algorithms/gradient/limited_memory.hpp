// The compact limited-memory BFGS matrix (Byrd, Nocedal & Schnabel 1994):
//   B = θ I − W K⁻¹ Wᵀ,   W = [Y | θ S]  (n × 2k),
//   K = [[−D, Lᵀ], [L, θ SᵀS]]  (2k × 2k),
// with D = diag(s_i·y_i) and L_ij = s_i·y_j for i > j (0 on and above the
// diagonal). K is stored, never inverted; W and K are rebuilt from all stored
// pairs after every accepted pair.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>

#include "optimizer/interfaces/eigen_types.hpp"

namespace tarnwick::optimizer {

class LimitedMemory {
 public:
  // Empties the memory for n coordinates: θ = 1, W = n × 0, K absent, so the
  // model is B = θ I.
  void reset(Eigen::Index n);

  // Keeps at most max(limit, 1) pairs.
  void set_limit(std::size_t limit) { limit_ = limit == 0 ? 1 : limit; }

  // Offers the pair (s, y) of one accepted step. It is stored only when it
  // passes the curvature test s·y > ε (y·y), ε the machine epsilon; then the
  // oldest pair is evicted if the memory is full, θ = (y·y)/(s·y) and W and K
  // are rebuilt. Returns whether the pair was stored.
  bool offer(const Vector& s, const Vector& y);

  [[nodiscard]] double theta() const { return theta_; }
  [[nodiscard]] const Matrix& w_matrix() const { return w_; }
  [[nodiscard]] const std::optional<Matrix>& middle_matrix() const { return k_; }
  [[nodiscard]] const std::deque<Vector>& s_history() const { return s_; }
  [[nodiscard]] const std::deque<Vector>& y_history() const { return y_; }

 private:
  void rebuild();

  std::size_t limit_ = 10;
  double theta_ = 1.0;
  std::deque<Vector> s_;
  std::deque<Vector> y_;
  Matrix w_ = Matrix(0, 0);
  std::optional<Matrix> k_;
};

}  // namespace tarnwick::optimizer
