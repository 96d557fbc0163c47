// Convergence tests of an L-BFGS-B run, consulted after every step. Each
// stops the run as a success with its own text. All comparisons are
// strict, so a NaN on either side never stops.
#pragma once

#include <expected>
#include <memory>

#include "optimizer/interfaces/optimizer_error.hpp"
#include "optimizer/interfaces/terminator.hpp"

namespace tarnwick::optimizer {

// Stops with "F_EVAL CONVERGED" when eps_f > |f_previous − f|, an absolute
// change. Otherwise remembers f as f_previous (kept in the algorithm state,
// which the run resets to +∞, so the first check never stops).
class LBFGSBFTerminator final : public Terminator {
 public:
  // Fails with "eps_abs must be greater than 0" unless eps > 0 (NaN passes
  // and then never stops anything).
  [[nodiscard]] static std::expected<LBFGSBFTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBFTerminator(double eps) : eps_(eps) {}
  double eps_;
};

// Stops with "GRADIENT CONVERGED" when eps_g > ‖g‖₂ (the plain gradient).
class LBFGSBGTerminator final : public Terminator {
 public:
  [[nodiscard]] static std::expected<LBFGSBGTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBGTerminator(double eps) : eps_(eps) {}
  double eps_;
};

// Stops with "PROJECTED GRADIENT WITHIN TOLERANCE" when eps_pg > max_j |p_j|,
// where p is g with the components zeroed that point out of the box at a
// coordinate within 2⁻²⁶ (absolute) of its bound: p_j = 0 when x_j is at its
// lower bound and g_j > 0, or at its upper bound and g_j < 0. NaN
// components are passed over; the maximum of no components is 0.
class LBFGSBInfNormGTerminator final : public Terminator {
 public:
  [[nodiscard]] static std::expected<LBFGSBInfNormGTerminator, OptimizerError> create(double eps);
  [[nodiscard]] bool check_for_termination(std::uint64_t step, LBFGSB& state,
                                           GradientStatus& status,
                                           const LBFGSBConfig& config) override;

 private:
  explicit LBFGSBInfNormGTerminator(double eps) : eps_(eps) {}
  double eps_;
};

}  // namespace tarnwick::optimizer
